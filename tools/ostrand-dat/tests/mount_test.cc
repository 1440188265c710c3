// mount: archives made by the writer, mounted with the built tool in the
// foreground, read through the file system and compared with the library.
#include "mount.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "test_support.h"
#include "tool_test_support.h"

namespace ostrand_dat::tool {
namespace {

using namespace testing;
using MountTest = ToolTest;

constexpr long kFuseMagic = 0x65735546;

bool is_mounted(const fs::path& dir) {
  struct statfs st {};
  return ::statfs(dir.c_str(), &st) == 0 && st.f_type == kFuseMagic;
}

// `ostrand-dat mount -f` in a child process, unmounted by SIGTERM.
class Mount {
 public:
  Mount(const std::vector<std::string>& args, const fs::path& log) {
    std::vector<std::string> argv = {OSTRAND_DAT_TOOL, "mount", "-f"};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      // Relative paths are relative to the log's folder.
      if (::chdir(log.parent_path().c_str()) != 0) ::_exit(126);
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 2);
      std::vector<char*> raw;
      for (std::string& arg : argv) raw.push_back(arg.data());
      raw.push_back(nullptr);
      ::execv(raw[0], raw.data());
      ::_exit(127);
    }
  }
  // Waits up to 10 s for `dir` to be mounted; false if the child ended.
  bool wait_mounted(const fs::path& dir) {
    for (int i = 0; i < 1000; ++i) {
      if (is_mounted(dir)) return true;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // SIGTERM; the exit status (-1 when it did not exit by itself).
  int stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // fusermount3 -u, as a user unmounts; the exit status as stop() gives.
  // The kernel hands the releases of files just closed on before the end.
  int unmount(const fs::path& dir) {
    const std::string command = "fusermount3 -u '" + dir.string() + "'";
    if (pid_ <= 0 || std::system(command.c_str()) != 0) return stop();
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~Mount() { stop(); }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// What a file under the mount holds, or the error number of reading it.
struct Read {
  Bytes data;
  int error = 0;
};

Read read_all(const fs::path& path) {
  Read read;
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return {{}, errno};
  std::byte buffer[10000];  // not a multiple of any page
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      read.error = errno;
      break;
    }
    if (n == 0) break;
    read.data.insert(read.data.end(), buffer, buffer + n);
  }
  ::close(fd);
  return read;
}

// Skips the test where mounting cannot work.
#define SKIP_WITHOUT_FUSE()                                          \
  do {                                                               \
    if (!mount_supported()) GTEST_SKIP() << "built without libfuse3"; \
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {                   \
      GTEST_SKIP() << "/dev/fuse is missing or not ours to open";    \
    }                                                                \
  } while (false)

TEST_F(MountTest, EveryFileReadsAsTheLibraryReadsIt) {
  SKIP_WITHOUT_FUSE();
  // A large compressed file, a stream that ends before its declared size,
  // and a chain that runs past the end of the archive, beside the usual.
  std::mt19937 random(7);
  Bytes large(3 << 20);
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<std::byte>(i % 251 < 40 ? random() % 7 : i % 13);
  }
  Bytes cut = compress_lrs(compressible_data());
  cut.resize(cut.size() / 2);
  ArchiveWriter writer = test_archive();
  writer.add({.id = 0x02000001,
              .data = large,
              .compress = true,
              .timestamp = 1700000000});
  writer.add({.id = 0x02000002, .data = cut, .extra_flags = 1});
  writer.add({.id = 0x02000003, .data = large});
  Bytes image = *writer.build();
  put_u32(image, entry_of(image, 0x02000003).offset + 40 * 64, 0xFFFFFF00u);
  const std::string archive = file("mounted.dat", image);
  const DatDatabase db = *DatDatabase::open(archive);
  const fs::path mountpoint = dir_ / "mnt";
  fs::create_directory(mountpoint);

  for (const bool raw : {false, true}) {
    SCOPED_TRACE(raw ? "--raw" : "contents");
    std::vector<std::string> args = {archive, mountpoint.string()};
    if (raw) args.insert(args.begin(), "--raw");
    Mount mount(args, dir_ / "mount.log");
    if (!mount.wait_mounted(mountpoint)) {
      GTEST_SKIP() << "could not mount here: " << read_text(dir_ / "mount.log");
    }
    std::vector<std::string> names;
    for (const DatFileEntry& entry : db.files()) {
      const std::string name = format_id(entry.id).substr(2) + ".bin";
      names.push_back(name);
      SCOPED_TRACE(name);
      const fs::path path = mountpoint / name;
      auto expected = db.get_file(entry.id, {.raw = raw});
      const Read got = read_all(path);
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mtime, static_cast<time_t>(entry.timestamp));
      if (!expected) {
        EXPECT_EQ(got.error, EIO);
        continue;
      }
      EXPECT_EQ(got.error, 0);
      EXPECT_EQ(got.data, *expected);
      EXPECT_EQ(static_cast<std::size_t>(st.st_size), expected->size())
          << "the real length once read";
    }
    EXPECT_EQ(names_in(mountpoint), names);

    // Random ranges of the large compressed file, backwards and forwards,
    // on one open file; the kernel's cached pages are dropped before each,
    // so that every range reaches the mount's reader.
    const Bytes whole = *db.get_file(0x02000001, {.raw = raw});
    const int fd = ::open((mountpoint / "02000001.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 40; ++i) {
      const std::size_t at = random() % whole.size();
      const std::size_t length = 1 + random() % 300000;
      Bytes got(length);
      ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
      const ssize_t n = ::pread(fd, got.data(), length, static_cast<off_t>(at));
      ASSERT_GE(n, 0) << at;
      got.resize(static_cast<std::size_t>(n));
      const std::size_t end = std::min(whole.size(), at + length);
      EXPECT_EQ(got, Bytes(whole.begin() + at, whole.begin() + end)) << at;
    }
    ::close(fd);

    // Nothing can be written, created or removed.
    errno = 0;
    EXPECT_LT(::open((mountpoint / names[0]).c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, EROFS);
    errno = 0;
    EXPECT_LT(::open((mountpoint / "new").c_str(), O_CREAT | O_WRONLY, 0644),
              0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_LT(::unlink((mountpoint / names[0]).c_str()), 0);

    EXPECT_EQ(mount.stop(), 0);
    EXPECT_FALSE(is_mounted(mountpoint));
    if (!raw) {
      EXPECT_NE(read_text(dir_ / "mount.log").find("02000003.bin"),
                std::string::npos)
          << "the damaged entry is named";
    }
  }
}

// The most memory process `pid` has held, in KiB (VmHWM).
long peak_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  long kib = -1;
  while (status >> word) {
    if (word == "VmHWM:") status >> kib;
  }
  return kib;
}

TEST_F(MountTest, ManyOpenFilesShareABoundedNumberOfReaders) {
  SKIP_WITHOUT_FUSE();
  // More open files than the mount keeps readers for, each read in two
  // halves in turns, so that readers are given up and started again.
  constexpr int kFiles = 64;
  constexpr std::size_t kSize = 5 << 19;  // 2.5 MiB
  ArchiveWriter writer;
  std::vector<Bytes> contents;
  for (int i = 0; i < kFiles; ++i) {
    Bytes data(kSize);
    for (std::size_t j = 0; j < kSize; ++j) {
      data[j] = static_cast<std::byte>((j / (7 + i)) * 31 + i);
    }
    writer.add({.id = 0x03000000u + static_cast<std::uint32_t>(i),
                .data = data,
                .compress = true});
    contents.push_back(std::move(data));
  }
  // And enough names that a listing takes several requests.
  std::vector<std::string> names;
  for (int i = 0; i < kFiles; ++i) names.push_back(entry_file_name(0x03000000u + i));
  for (std::uint32_t id = 0x04000000; id < 0x04000400; ++id) {
    writer.add({.id = id, .data = {}});
    names.push_back(entry_file_name(id));
  }
  const std::string archive = file("many.dat", *writer.build());
  const fs::path mountpoint = dir_ / "mnt";
  fs::create_directory(mountpoint);
  Mount mount({archive, "mnt"}, dir_ / "mount.log");  // a relative path
  if (!mount.wait_mounted(mountpoint)) {
    GTEST_SKIP() << "could not mount here: " << read_text(dir_ / "mount.log");
  }
  EXPECT_EQ(names_in(mountpoint), names);
  std::vector<int> fds;
  for (int i = 0; i < kFiles; ++i) {
    fds.push_back(::open((mountpoint / entry_file_name(0x03000000u + i))
                             .c_str(), O_RDONLY));
    ASSERT_GE(fds.back(), 0);
  }
  for (const std::size_t from : {std::size_t{0}, kSize / 2}) {
    for (int i = 0; i < kFiles; ++i) {
      SCOPED_TRACE(i);
      Bytes got(kSize / 2);
      ASSERT_EQ(::pread(fds[i], got.data(), got.size(),
                        static_cast<off_t>(from)),
                static_cast<ssize_t>(got.size()));
      EXPECT_TRUE(std::equal(got.begin(), got.end(),
                             contents[i].begin() +
                                 static_cast<std::ptrdiff_t>(from)))
          << "from " << from;
    }
  }
  const long peak = peak_kib(mount.pid());
  for (const int fd : fds) ::close(fd);
  EXPECT_EQ(mount.unmount(mountpoint), 0) << read_text(dir_ / "mount.log");
  EXPECT_FALSE(is_mounted(mountpoint));
#ifndef OSTRAND_MEMORY_SANITIZED
  // 64 readers with their kept bytes would take over 200 MiB; 16 take
  // about 70.
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 110 * 1024) << "KiB at the peak";
#else
  (void)peak;  // the sanitizers' own memory hides the mount's
#endif
}

// Every archive of the fuzzers' seed corpora, mounted: every file is read
// (an error is EIO), and the mount neither crashes nor hangs; an archive
// that does not open is refused in one line.
TEST_F(MountTest, FuzzCorpusArchivesMountAndReadWithoutCrashing) {
  SKIP_WITHOUT_FUSE();
  const fs::path mountpoint = dir_ / "mnt";
  fs::create_directory(mountpoint);
  int mounted = 0;
  for (const char* target : {"archive", "stream_read"}) {
    for (const auto& seed :
         fs::directory_iterator(fs::path(OSTRAND_DAT_FUZZ_CORPUS) / target)) {
      SCOPED_TRACE(seed.path().string());
      // The seeds hold the archive from its header on; stream_read's begin
      // with 4 bytes of read sizes.
      const std::string bytes = read_text(seed.path());
      const std::size_t skip = std::string(target) == "stream_read" ? 4 : 0;
      Bytes image(320);
      for (std::size_t i = skip; i < bytes.size(); ++i) {
        image.push_back(static_cast<std::byte>(bytes[i]));
      }
      const std::string archive = file("seed.dat", image);
      Mount mount({archive, mountpoint.string()}, dir_ / "mount.log");
      if (!mount.wait_mounted(mountpoint)) {
        const std::string log = read_text(dir_ / "mount.log");
        EXPECT_FALSE(DatDatabase::open(archive)) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        continue;
      }
      ++mounted;
      for (const std::string& name : names_in(mountpoint)) {
        const Read got = read_all(mountpoint / name);
        EXPECT_TRUE(got.error == 0 || got.error == EIO) << name;
      }
      EXPECT_EQ(mount.unmount(mountpoint), 0) << read_text(dir_ / "mount.log");
      EXPECT_FALSE(is_mounted(mountpoint));
    }
  }
  EXPECT_GT(mounted, 6);
}

TEST_F(MountTest, AMissingMountpointOrArchiveIsOneLine) {
  const std::string missing = (dir_ / "missing").string();
  const struct {
    std::vector<std::string> args;
    std::string words;
  } cases[] = {
      {{archive_, missing}, missing + ": No such file or directory"},
      {{archive_, archive_}, archive_ + ": not a directory"},
      {{missing, dir_.string()}, missing},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"mount", "-f"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run_result = run(args);
    SCOPED_TRACE(run_result.err);
    EXPECT_EQ(run_result.status, 1);
    EXPECT_NE(run_result.err.find(mount_supported() ? c.words : "libfuse3"),
              std::string::npos);
    EXPECT_EQ(std::count(run_result.err.begin(), run_result.err.end(), '\n'),
              1);
  }
}

}  // namespace
}  // namespace ostrand_dat::tool
