// The tool's only contact with the operating system besides the library:
// whole writes to a descriptor, whole reads of an input file, new files
// that replace their target only once complete, terminals and the signals
// that writes may raise.
#ifndef OSTRAND_DAT_TOOL_PLATFORM_IO_H_
#define OSTRAND_DAT_TOOL_PLATFORM_IO_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "ostrand_dat/error.h"

namespace ostrand_dat::tool {

inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Makes a write to a pipe without reader fail with BrokenPipe, and a write
// past the process's file size limit fail with FileTooLarge, instead of
// ending the process: both are failures the tool reports and cleans up.
void ignore_write_signals();

// From this call on, SIGINT, SIGTERM and SIGHUP remove the temporary files
// of every PendingFile not yet in place, then end the process by the same
// signal (so its status is the usual one, 130 for SIGINT). Call once,
// before any other thread starts: the signals are blocked in every thread
// and taken by a thread of their own, which waits for them.
void remove_temporaries_on_signals();

// Whether `fd` is a terminal.
bool is_terminal(int fd);

// Writes all of `bytes` to `fd`, retrying short and interrupted writes: one
// write(2) when the descriptor takes everything at once.
std::expected<void, IoError> write_all(int fd,
                                       std::span<const std::byte> bytes);

// The whole contents of the file at `path`, read to its end (pipes and
// other unsized files included). A file of more than `limit` bytes fails
// with FileTooLarge once the limit is passed, so an endless source ends.
std::expected<std::vector<std::byte>, IoError> read_whole_file(
    const std::filesystem::path& path, std::uint64_t limit);

// An input file read in pieces at any offset. Owns its descriptor;
// move-only.
class InputFile {
 public:
  static std::expected<InputFile, IoError> open(
      const std::filesystem::path& path);

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&&) = delete;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // Its size now.
  std::expected<std::uint64_t, IoError> size() const;
  // Reads into the start of `buffer` from `offset`, retrying interrupted
  // reads; fewer bytes than asked only at the end of the file (0 there).
  std::expected<std::size_t, IoError> read_at(
      std::uint64_t offset, std::span<std::byte> buffer) const;

 private:
  explicit InputFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The size of the file at `path` (symbolic links followed), and whether it
// is a regular file.
struct FileStatus {
  std::uint64_t size = 0;
  bool regular = false;
};
std::expected<FileStatus, IoError> file_status(
    const std::filesystem::path& path);

// A file under construction: written under a temporary name in its
// target's directory and renamed to the target only when complete, so that
// the target never holds a partial file. Until in place, releasing it (or
// a signal of remove_temporaries_on_signals) removes the temporary file.
// Move-only; one thread at a time.
class PendingFile {
 public:
  // Creates the temporary file beside `target` (mode 0666 less the umask).
  static std::expected<PendingFile, IoError> create(
      const std::filesystem::path& target);

  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  // Appends `bytes`, retrying short and interrupted writes.
  std::expected<void, IoError> write(std::span<const std::byte> bytes);

  // Writes all of `bytes` at `offset`, retrying short and interrupted
  // writes; the file grows as needed.
  std::expected<void, IoError> write_at(std::uint64_t offset,
                                        std::span<const std::byte> bytes);
  // Cuts the file, or lengthens it with zeros, to `size` bytes.
  std::expected<void, IoError> resize(std::uint64_t size);

  // Flushes the file to disk, closes it and puts it in place().
  std::expected<void, IoError> commit(bool replace);

  // Closes the file without flushing it, for a caller that flushes many
  // files at once (sync_file_system) before it puts them in place. On
  // failure the temporary file is removed.
  std::expected<void, IoError> close();

  // Renames the closed file to the target. With `replace` an existing
  // target is replaced in one step; without, an existing target fails with
  // AlreadyExists and stays as it was. On failure the temporary file is
  // removed.
  std::expected<void, IoError> place(bool replace);

  const std::filesystem::path& target() const { return target_; }

 private:
  PendingFile(int fd, std::filesystem::path temporary,
              std::filesystem::path target)
      : fd_(fd), temporary_(std::move(temporary)), target_(std::move(target)) {}
  void discard();

  int fd_ = -1;                      // -1 once closed
  std::filesystem::path temporary_;  // empty once committed or removed
  std::filesystem::path target_;
};

// Removes from `dir` the temporary files that PendingFiles of dead
// processes left behind (a process killed by SIGKILL cleans nothing up):
// regular files named as PendingFile::create names them, ".NAME.tmp-PID-N",
// whose NAME `ours` accepts and whose PID no process has. A file of a live
// process, or of one this process may not signal, stays. Best effort:
// nothing is reported.
void remove_stale_temporaries(
    const std::filesystem::path& dir,
    const std::function<bool(std::string_view name)>& ours);
// The same for the temporary files of `target` alone, beside it.
void remove_stale_temporaries(const std::filesystem::path& target);

// Flushes the directory `dir` (its entries, such as renames) to disk. Best
// effort: file systems that cannot do it are not an error.
void sync_directory(const std::filesystem::path& dir);

// Flushes every file of the file system that holds `dir` to disk, in one
// call: what a fsync of each file would do, for many files at once.
std::expected<void, IoError> sync_file_system(
    const std::filesystem::path& dir);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_PLATFORM_IO_H_
