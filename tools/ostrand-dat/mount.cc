// The archive as a read-only folder. Every entry is a file XXXXXXXX.bin
// whose contents are what cat gives (cat --raw with --raw). Reads come from
// one FileReader per open file, which goes on where the last read ended, so
// a program reading a file front to back decodes it once; a read that jumps
// back starts the reader again, one that jumps ahead reads on to it.
//
// Sizes: a file's size is what the directory and, for a compressed entry,
// the 4-byte prefix of its stream declare, read once per entry. A damaged
// stream that ends before its declared size is found when a read reaches
// its end: from then on its real length is reported, and the kernel, which
// sees the short read, shortens the file at once.
#include "mount.h"

#include <string>

#include "ostrand_dat/ostrand_dat.h"
#include "platform/io.h"

#ifdef OSTRAND_DAT_HAVE_FUSE
#define FUSE_USE_VERSION 35
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>
#endif

namespace ostrand_dat::tool {
namespace {

// One line on standard error; nothing more can be done if that fails.
void say(const std::string& line) {
  const std::string text = line + "\n";
  (void)write_all(kStandardError, std::as_bytes(std::span(text)));
}

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

// The file name of entry `id`: eight upper-case hex digits and ".bin".
std::string entry_name(std::uint32_t id) {
  char name[16];
  std::snprintf(name, sizeof name, "%08X.bin", static_cast<unsigned>(id));
  return name;
}

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
    known.compare_exchange_strong(unknown, size + 1,
                                  std::memory_order_relaxed);
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

  // Reports damage met reading `id`, once per file handle.
  void report(std::uint32_t id, const DatError& error) const {
    if (foreground) {
      say("error: " + archive + ": " + entry_name(id) + ": " +
          debug_string(error));
    }
  }

  const DatDatabase db;
  const bool raw;
  const bool foreground;
  const std::string archive;
  const timespec archive_time;
  // Per entry: 0 while unknown, else the size to report plus 1.
  std::vector<std::atomic<std::uint64_t>> sizes;
};

// An open file: its reader, which one thread at a time uses.
struct OpenFile {
  const DatFileEntry* entry;
  std::mutex mutex;
  std::optional<FileReader> reader;
  bool reported = false;
};

Mounted& mounted() {
  return *static_cast<Mounted*>(fuse_get_context()->private_data);
}

void* on_init(struct fuse_conn_info*, struct fuse_config* config) {
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

int on_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t,
               struct fuse_file_info*, enum fuse_readdir_flags flags) {
  if (std::strcmp(path, kRoot) != 0) return -ENOTDIR;
  Mounted& m = mounted();
  const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
  const auto fill_flags =
      plus ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0);
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  struct stat st;
  for (const DatFileEntry& entry : m.db.files()) {
    if (plus) m.fill_stat(entry, &st);
    if (fill(buffer, entry_name(entry.id).c_str(), plus ? &st : nullptr, 0,
             fill_flags) != 0) {
      return -ENOMEM;
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
  auto* file = new (std::nothrow) OpenFile{entry, {}, {}, false};
  if (file == nullptr) return -ENOMEM;
  info->fh = reinterpret_cast<std::uint64_t>(file);
  info->keep_cache = 1;
  return 0;
}

int on_read(const char*, char* buffer, std::size_t size, off_t offset,
            struct fuse_file_info* info) {
  Mounted& m = mounted();
  auto* file = reinterpret_cast<OpenFile*>(info->fh);
  const std::lock_guard lock(file->mutex);
  const ReadOptions options{.raw = m.raw};
  const auto target = static_cast<std::uint64_t>(offset);
  auto fail = [&](const DatError& error) {
    if (!file->reported) m.report(file->entry->id, error);
    file->reported = true;
    file->reader.reset();
    return -EIO;
  };
  if (!file->reader || file->reader->position() > target) {
    auto reader = m.db.open_file(file->entry->id, options);
    if (!reader) return fail(reader.error());
    file->reader.emplace(std::move(*reader));
  }
  FileReader& reader = *file->reader;
  // Reads on to `offset` when it lies ahead.
  std::byte skip[64 << 10];
  while (reader.position() < target) {
    const std::uint64_t gap = target - reader.position();
    auto n = reader.read(std::span(skip).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(gap, sizeof skip))));
    if (!n) return fail(n.error());
    if (*n == 0) {
      m.confirm_size(*file->entry, reader.position());
      return 0;
    }
  }
  auto out = std::as_writable_bytes(std::span(buffer, size));
  std::size_t filled = 0;
  while (filled < size) {
    auto n = reader.read(out.subspan(filled));
    if (!n) return fail(n.error());
    if (*n == 0) {
      m.confirm_size(*file->entry, reader.position());
      break;
    }
    filled += *n;
  }
  return static_cast<int>(filled);
}

int on_release(const char*, struct fuse_file_info* info) {
  delete reinterpret_cast<OpenFile*>(info->fh);
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
    say("error: " + command.archive + ": " + debug_string(db.error()));
    return 1;
  }
  // Lives as long as the process: FUSE's threads use it until the end.
  auto state =
      std::make_unique<Mounted>(std::move(*db), command, archive_stat);

  struct fuse_operations operations {};
  operations.init = on_init;
  operations.getattr = on_getattr;
  operations.readdir = on_readdir;
  operations.open = on_open;
  operations.read = on_read;
  operations.release = on_release;
  operations.statfs = on_statfs;

  std::string fuse_options = "ro,default_permissions,fsname=ostrand-dat,"
                             "subtype=ostrand-dat";
  for (const std::string& option : command.options) {
    fuse_options += "," + option;
  }
  // libfuse warns about its own default thread limit unless one is given.
  std::vector<std::string> args = {"ostrand-dat", "-o", fuse_options,
                                   "-o", "max_threads=16"};
  if (command.foreground) args.push_back("-f");
  args.push_back(command.mountpoint);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int status =
      fuse_main(static_cast<int>(args.size()), argv.data(), &operations,
                state.get());
  return status == 0 ? 0 : 1;
}

#endif

}  // namespace ostrand_dat::tool
