// The archive as a read-only folder. Every entry is a file XXXXXXXX.bin
// whose contents are what cat gives (cat --raw with --raw). Reads come from
// one FileReader per open file, which goes on where the last read ended, so
// a program reading a file front to back decodes it once; a read that jumps
// back starts the reader again, one that jumps ahead reads on to it. At most
// kMaxStreams open files hold a reader at once: the one read least recently
// gives its reader up, and starts again if it is read once more.
//
// Sizes: a file's size is what the directory and, for a compressed entry,
// the 4-byte prefix of its stream declare, read once per entry. A damaged
// stream that ends before its declared size is found when a read reaches
// its end: from then on its real length is reported, and the kernel, which
// sees the short read, shortens the file at once.
#include "mount.h"

#include <string>

#include "errors.h"
#include "ostrand_dat/ostrand_dat.h"
#include "platform/io.h"

#ifdef OSTRAND_DAT_HAVE_FUSE
#define FUSE_USE_VERSION 35
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <expected>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <vector>
#endif

namespace ostrand_dat::tool {
namespace {

// Text on standard error; nothing more can be done if that fails.
[[maybe_unused]] void write_text(const std::string& text) {
  (void)write_all(kStandardError, std::as_bytes(std::span(text)));
}

void say(const std::string& line) { write_text(line + "\n"); }

}  // namespace

#ifndef OSTRAND_DAT_HAVE_FUSE

bool mount_supported() { return false; }

int mount(const MountCommand&) {
  say("error: mount: this ostrand-dat was built without FUSE (libfuse3); "
      "rebuild it with libfuse3-dev installed");
  return 1;
}

#else

namespace {

constexpr char kRoot[] = "/";

// The id a path names, "/XXXXXXXX.bin" exactly as entry_name writes it.
std::optional<std::uint32_t> path_id(const char* path) {
  if (std::strlen(path) != 13 || path[0] != '/' ||
      std::strcmp(path + 9, ".bin") != 0) {
    return std::nullopt;
  }
  std::uint32_t id = 0;
  for (int i = 1; i <= 8; ++i) {
    const char c = path[i];
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    id = id << 4 | static_cast<std::uint32_t>(digit);
  }
  return id;
}

// An open file: its reader, which one thread at a time uses, and the last
// bytes it gave. The kernel reads ahead with several requests at once,
// which FUSE's threads may serve out of order: a request for bytes just
// behind the reader is served from the kept bytes instead of starting
// again. They lie in a ring, each byte at its offset modulo kKept, so that
// nothing is moved or filled as the reader goes on.
struct OpenFile {
  explicit OpenFile(const DatFileEntry* opened) : entry(opened) {}

  // Bytes kept behind the reader at most; a read asks for less than this.
  static constexpr std::size_t kKept = std::size_t{2} << 20;

  // Gives up the reader and the bytes kept; the next read starts again.
  void drop_stream() {
    reader.reset();
    ring.reset();
    kept = 0;
  }

  // The offset of the first byte kept.
  std::uint64_t kept_start() const { return reader->position() - kept; }

  // Reads up to `n` more bytes into the ring; 0 at the end of the file.
  std::expected<std::size_t, DatError> pull(std::size_t n) {
    if (!ring) ring = std::make_unique_for_overwrite<std::byte[]>(kKept);
    std::size_t pulled = 0;
    while (pulled < n) {
      const auto at = static_cast<std::size_t>(reader->position() % kKept);
      const std::size_t piece = std::min(n - pulled, kKept - at);
      auto got = reader->read({ring.get() + at, piece});
      if (!got) return got;
      if (*got == 0) break;
      pulled += *got;
      kept = std::min(kKept, kept + *got);
    }
    return pulled;
  }

  // Copies the kept bytes from `offset` on into `out`.
  void copy_kept(std::uint64_t offset, std::span<std::byte> out) const {
    const auto at = static_cast<std::size_t>(offset % kKept);
    const std::size_t first = std::min(out.size(), kKept - at);
    std::memcpy(out.data(), ring.get() + at, first);
    std::memcpy(out.data() + first, ring.get(), out.size() - first);
  }

  const DatFileEntry* entry;
  std::mutex mutex;
  std::optional<FileReader> reader;
  std::unique_ptr<std::byte[]> ring;  // the bytes kept, once a read made it
  std::size_t kept = 0;               // bytes just before the reader, kept
  bool reported = false;
  // Its place among the files holding a reader (Streams), when it is there.
  std::list<OpenFile*>::iterator place;
  bool streaming = false;
};

// The open files that hold a reader, most recently read first. Their number
// is bounded, so the mount's memory is too, however many files are open:
// each reader takes a few hundred KiB and its kept bytes up to 2 MiB.
class Streams {
 public:
  static constexpr std::size_t kMaxStreams = 16;

  // `file`, whose mutex the caller holds, is about to be read: it moves to
  // the front, and when it is new among them the least recently read file
  // not being read right now gives its reader up. Files being read are never
  // touched, so the bound can be passed by as many as FUSE's threads.
  void touch(OpenFile& file) {
    const std::lock_guard lock(mutex_);
    if (file.streaming) {
      files_.splice(files_.begin(), files_, file.place);
      return;
    }
    for (auto it = files_.end(); files_.size() >= kMaxStreams &&
                                 it != files_.begin();) {
      --it;
      OpenFile* other = *it;
      std::unique_lock other_lock(other->mutex, std::try_to_lock);
      if (!other_lock.owns_lock()) continue;
      other->drop_stream();
      other->streaming = false;
      it = files_.erase(it);
    }
    files_.push_front(&file);
    file.place = files_.begin();
    file.streaming = true;
  }

  // `file` is closed (no read of it is running) or gave its reader up.
  void forget(OpenFile& file) {
    const std::lock_guard lock(mutex_);
    if (!file.streaming) return;
    files_.erase(file.place);
    file.streaming = false;
  }

 private:
  std::mutex mutex_;
  std::list<OpenFile*> files_;
};

// The mounted archive, shared by FUSE's worker threads: the database is
// only read, and each entry's size is settled once, atomically.
struct Mounted {
  Mounted(DatDatabase database, const MountCommand& command,
          const struct stat& archive_stat)
      : db(std::move(database)),
        raw(command.raw),
        foreground(command.foreground),
        archive(command.archive),
        archive_time(archive_stat.st_mtim),
        sizes(db.files().size()) {}

  // The entry's position in the map.
  std::size_t index_of(const DatFileEntry& entry) const {
    return static_cast<std::size_t>(&entry - db.files().entries().data());
  }

  // The size to report for `entry`: the real length once a read reached
  // the end, else what the archive declares.
  std::uint64_t size_of(const DatFileEntry& entry) {
    std::atomic<std::uint64_t>& known = sizes[index_of(entry)];
    const std::uint64_t seen = known.load(std::memory_order_relaxed);
    if (seen != 0) return seen - 1;
    std::uint64_t size = entry.size;
    if (!raw && entry.is_compressed()) {
      auto info = db.file_info(entry.id);
      // An unreadable prefix leaves the stored size; the read says why.
      if (info) size = info->size();
    }
    std::uint64_t unknown = 0;
    known.compare_exchange_strong(unknown, size + 1, std::memory_order_relaxed);
    return known.load(std::memory_order_relaxed) - 1;
  }

  // A read reached the end of `entry` after `length` bytes.
  void confirm_size(const DatFileEntry& entry, std::uint64_t length) {
    sizes[index_of(entry)].store(length + 1, std::memory_order_relaxed);
  }

  void fill_stat(const DatFileEntry& entry, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(size_of(entry));
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_mtim.tv_sec = static_cast<time_t>(entry.timestamp);
    st->st_atim = st->st_ctim = st->st_mtim;
  }

  // Reports what reading `id` met, once per file handle, in the words of
  // cat and verify, naming the file as the mount shows it.
  void report(std::uint32_t id, const DatError& error) const {
    if (!foreground) return;
    Failure failure = entry_failure(archive, id, error);
    failure.subject = shown_name(archive) + ": " + entry_file_name(id);
    write_text(error_line(failure, false));
  }

  const DatDatabase db;
  const bool raw;
  const bool foreground;
  const std::string archive;
  const timespec archive_time;
  // Per entry: 0 while unknown, else the size to report plus 1.
  std::vector<std::atomic<std::uint64_t>> sizes;
  Streams streams;
  // Every open file, so that those the kernel never released (the mount
  // ended while they were open) are freed at the end.
  std::mutex open_mutex;
  std::set<OpenFile*> open_files;
};

Mounted& mounted() {
  return *static_cast<Mounted*>(fuse_get_context()->private_data);
}

void* on_init(struct fuse_conn_info* connection, struct fuse_config* config) {
  // Every listing gives each name's attributes with it, not only the
  // first batch of it: `ls -l` of a large folder then asks nothing more.
  connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  // Nothing changes under the mount: the kernel may keep what it read and
  // what it learned about names for as long as it likes.
  config->kernel_cache = 1;
  config->entry_timeout = 3600;
  config->attr_timeout = 3600;
  config->negative_timeout = 3600;
  return fuse_get_context()->private_data;
}

int on_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
  Mounted& m = mounted();
  if (std::strcmp(path, kRoot) == 0) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    st->st_mtim = st->st_atim = st->st_ctim = m.archive_time;
    return 0;
  }
  const auto id = path_id(path);
  const DatFileEntry* entry = id ? m.db.files().find(*id) : nullptr;
  if (entry == nullptr) return -ENOENT;
  m.fill_stat(*entry, st);
  return 0;
}

// Entries carry offsets (the next one's position: 1 after ".", 2 after
// "..", 3 + i after the i-th file), so a listing is served in pieces as the
// kernel asks, and with readdirplus FUSE registers every name with its
// attributes: `ls -l` then looks nothing up one by one.
int on_readdir(const char* path, void* buffer, fuse_fill_dir_t fill,
               off_t offset, struct fuse_file_info*,
               enum fuse_readdir_flags flags) {
  if (std::strcmp(path, kRoot) != 0) return -ENOTDIR;
  Mounted& m = mounted();
  const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
  const auto fill_flags =
      plus ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0);
  const auto no_flags = static_cast<fuse_fill_dir_flags>(0);
  if (offset < 1 && fill(buffer, ".", nullptr, 1, no_flags) != 0) return 0;
  if (offset < 2 && fill(buffer, "..", nullptr, 2, no_flags) != 0) return 0;
  const auto entries = m.db.files().entries();
  struct stat st;
  for (std::size_t i = offset < 2 ? 0 : static_cast<std::size_t>(offset) - 2;
       i < entries.size(); ++i) {
    if (plus) m.fill_stat(entries[i], &st);
    if (fill(buffer, entry_file_name(entries[i].id).c_str(),
             plus ? &st : nullptr, static_cast<off_t>(i + 3),
             fill_flags) != 0) {
      return 0;  // the buffer is full; the kernel asks on from here
    }
  }
  return 0;
}

int on_open(const char* path, struct fuse_file_info* info) {
  if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  Mounted& m = mounted();
  const auto id = path_id(path);
  const DatFileEntry* entry = id ? m.db.files().find(*id) : nullptr;
  if (entry == nullptr) return -ENOENT;
  auto* file = new (std::nothrow) OpenFile(entry);
  if (file == nullptr) return -ENOMEM;
  {
    const std::lock_guard lock(m.open_mutex);
    m.open_files.insert(file);
  }
  info->fh = reinterpret_cast<std::uint64_t>(file);
  info->keep_cache = 1;
  return 0;
}

int on_read(const char*, char* buffer, std::size_t size, off_t offset,
            struct fuse_file_info* info) {
  Mounted& m = mounted();
  auto* file = reinterpret_cast<OpenFile*>(info->fh);
  const std::lock_guard lock(file->mutex);
  const auto target = static_cast<std::uint64_t>(offset);
  auto fail = [&](const DatError& error) {
    if (!file->reported) m.report(file->entry->id, error);
    file->reported = true;
    file->drop_stream();
    m.streams.forget(*file);
    return -EIO;
  };
  m.streams.touch(*file);
  if (!file->reader || target < file->kept_start()) {
    auto reader = m.db.open_file(file->entry->id, ReadOptions{.raw = m.raw});
    if (!reader) return fail(reader.error());
    file->reader.emplace(std::move(*reader));
    file->kept = 0;
  }
  // Reads on until the requested bytes are behind the reader, or the file
  // ends.
  const std::uint64_t end = target + size;
  while (file->reader->position() < end) {
    const std::uint64_t missing = end - file->reader->position();
    auto n = file->pull(static_cast<std::size_t>(
        std::min<std::uint64_t>(missing, OpenFile::kKept / 2)));
    if (!n) return fail(n.error());
    if (*n == 0) {
      m.confirm_size(*file->entry, file->reader->position());
      break;
    }
  }
  const std::uint64_t have = file->reader->position();
  if (target >= have) return 0;
  // The ring holds the request's bytes while a request asks for at most
  // kKept: libfuse takes 1 MiB requests at most (its buffer's size). A
  // larger one fails, and says so, rather than be served from bytes given
  // up.
  if (target < file->kept_start()) {
    if (m.foreground) {
      write_text(error_line(
          {shown_name(m.archive) + ": " + entry_file_name(file->entry->id),
           "a read of " + std::to_string(size) +
               " bytes is larger than the " +
               std::to_string(OpenFile::kKept >> 20) +
               " MiB the mount keeps per file",
           ""},
          false));
    }
    return -EIO;
  }
  const auto n =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, have - target));
  file->copy_kept(target, {reinterpret_cast<std::byte*>(buffer), n});
  return static_cast<int>(n);
}

int on_release(const char*, struct fuse_file_info* info) {
  auto* file = reinterpret_cast<OpenFile*>(info->fh);
  Mounted& m = mounted();
  m.streams.forget(*file);
  {
    const std::lock_guard lock(m.open_mutex);
    m.open_files.erase(file);
  }
  delete file;
  return 0;
}

int on_statfs(const char*, struct statvfs* st) {
  Mounted& m = mounted();
  std::memset(st, 0, sizeof *st);
  const std::uint32_t block = m.db.header().block_size;
  st->f_bsize = st->f_frsize = block == 0 ? 512 : block;
  st->f_blocks = m.db.header().file_size / st->f_bsize;
  st->f_files = m.db.files().size();
  st->f_namemax = 12;
  st->f_flag = ST_RDONLY;
  return 0;
}

}  // namespace

bool mount_supported() { return true; }

int mount(const MountCommand& command) {
  struct stat folder {};
  if (::stat(command.mountpoint.c_str(), &folder) != 0) {
    say("error: " + command.mountpoint + ": " + std::strerror(errno));
    return 1;
  }
  if (!S_ISDIR(folder.st_mode)) {
    say("error: " + command.mountpoint + ": not a directory");
    return 1;
  }
  struct stat archive_stat {};
  if (::stat(command.archive.c_str(), &archive_stat) != 0) {
    archive_stat = {};
  }
  auto db = DatDatabase::open(command.archive);
  if (!db) {
    write_text(error_line(archive_failure(command.archive, db.error()), false));
    return 1;
  }
  // Lives as long as the process: FUSE's threads use it until the end.
  auto state = std::make_unique<Mounted>(std::move(*db), command, archive_stat);

  struct fuse_operations operations {};
  operations.init = on_init;
  operations.getattr = on_getattr;
  operations.readdir = on_readdir;
  operations.open = on_open;
  operations.read = on_read;
  operations.release = on_release;
  operations.statfs = on_statfs;

  std::string fuse_options =
      "ro,default_permissions,fsname=ostrand-dat,"
      "subtype=ostrand-dat";
  for (const std::string& option : command.options) {
    fuse_options += "," + option;
  }
  std::vector<std::string> args = {"ostrand-dat", "-o", fuse_options};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  struct fuse_args fuse_args =
      FUSE_ARGS_INIT(static_cast<int>(args.size()), argv.data());
  struct fuse* fuse =
      fuse_new(&fuse_args, &operations, sizeof operations, state.get());
  fuse_opt_free_args(&fuse_args);
  if (fuse == nullptr) {
    say("error: mount: FUSE does not accept the options '" + fuse_options +
        "'");
    return 1;
  }
  // FUSE changes to / once mounted, and unmounts by this name: it must not
  // be relative.
  std::error_code error;
  const std::string mountpoint =
      std::filesystem::canonical(command.mountpoint, error).string();
  if (error || fuse_mount(fuse, mountpoint.c_str()) != 0) {
    fuse_destroy(fuse);
    say("error: " + command.mountpoint + ": cannot mount there");
    return 1;
  }
  struct fuse_session* session = fuse_get_session(fuse);
  int status = fuse_set_signal_handlers(session);
  // In the background, the parent returns from here once the child has
  // detached; the mount is ready by then.
  if (status == 0) status = fuse_daemonize(command.foreground ? 1 : 0);
  if (status == 0) {
    struct fuse_loop_config loop {};
    loop.max_idle_threads = 10;
    status = fuse_loop_mt(fuse, &loop);
  }
  fuse_remove_signal_handlers(session);
  fuse_unmount(fuse);
  fuse_destroy(fuse);
  for (OpenFile* file : state->open_files) delete file;
  // A signal that ends the loop is the way to unmount in the foreground.
  if (status == SIGINT || status == SIGTERM || status == SIGHUP) status = 0;
  if (status != 0) {
    say("error: " + command.mountpoint +
        ": serving the mount failed: " + std::strerror(-status));
  }
  return status == 0 ? 0 : 1;
}

#endif

}  // namespace ostrand_dat::tool
