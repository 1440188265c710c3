#include "tool_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>

#include "archive_image.h"

namespace ostrand_dat::tool::testing {

using file_type::SoundData;

Bytes bytes(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return Bytes(p, p + text.size());
}

std::string text(const Bytes& data) {
  return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const fs::path& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary) << text(data);
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ToolRun run_program(const std::vector<std::string>& argv,
                    const fs::path& scratch, const RunOptions& options) {
  const std::string out = (scratch / "stdout").string();
  const std::string err = (scratch / "stderr").string();
  int terminal = -1;  // the pseudo-terminal's master side
  std::string terminal_name;
  if (options.stderr_on_terminal) {
    terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(terminal, 0);
    EXPECT_EQ(::grantpt(terminal), 0);
    EXPECT_EQ(::unlockpt(terminal), 0);
    terminal_name = ::ptsname(terminal);
  }
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {  // only async-signal-safe calls until exec
    const int out_fd =
        options.stdout_fd
            ? *options.stdout_fd
            : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd =
        options.stderr_on_terminal
            ? ::open(terminal_name.c_str(), O_RDWR | O_NOCTTY)
            : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0 || ::dup2(out_fd, 1) < 0 ||
        ::dup2(err_fd, 2) < 0) {
      ::_exit(127);
    }
    ::signal(SIGPIPE, SIG_DFL);
    if (options.file_size_limit) {
      const rlimit limit{*options.file_size_limit, *options.file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
    }
    if (options.address_space_limit) {
      const rlimit limit{*options.address_space_limit,
                         *options.address_space_limit};
      if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(127);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ToolRun result;
  EXPECT_GT(pid, 0) << "cannot fork";
  int wstatus = 0;
  while (pid > 0 && ::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  if (!options.stdout_fd) result.out = read_text(out);
  if (terminal < 0) {
    result.err = read_text(err);
    return result;
  }
  // The child has ended; what it wrote waits in the terminal. A read fails
  // (EIO) once it is drained and no one holds the other side.
  char buffer[4096];
  for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;) {
    result.err.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(terminal);
  return result;
}

Bytes multi_block_data() {
  Bytes data(200);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::byte(i * 7 + 3);
  return data;
}

Bytes compressible_data() {
  std::string data;
  for (int i = 0; i < 40; ++i) data += "abcabc-" + std::to_string(i % 4);
  return bytes(data);
}

ArchiveWriter test_archive() {
  ArchiveWriter w(64);
  DatHeader& h = w.header();
  h = {.magic = 21570,
       .dataset = 1,
       .subset = 2,
       .free_head = 3,
       .free_tail = 4,
       .free_count = 5,
       .new_lru = 6,
       .old_lru = 7,
       .use_lru = 8,
       .master_map_id = 9,
       .engine_version = 10,
       .game_version = 11,
       .version_minor = 12};
  for (int i = 0; i < 16; ++i) h.version_string[i] = std::byte(i * 0x11);
  SoundTableRecords table{kTable, -3, {}, {}};
  table.hashes = {{7, {0.5f, 1, 0.25f}}, {2, {1, 0.1f, 2}}};
  table.sounds = {{0x58, SoundData{{{0x0A000519, 0.5f, 1, 0.25f}}, 0}},
                  {0x00, SoundData{{}, -1}},
                  {0x05, SoundData{{{0, 1, 1, 1}, {0x0A000600, 1, 1, 1}}, 3}},
                  {0x100, SoundData{{{0x0A000700, 0, 0.75f, 1}}, 0}}};
  w.add({.id = kTable, .data = encode_sound_table(table)});
  w.add({.id = kBadTable, .data = bytes("too short")});
  w.add({.id = kMultiBlock, .data = multi_block_data(), .timestamp = 99});
  w.add({.id = kEmpty, .data = {}});
  w.add({.id = kCompressed, .data = compressible_data(), .compress = true});
  w.add({.id = kPlain,
         .data = bytes("plain text\n"),
         .extra_flags = 0x10,
         .timestamp = 1234,
         .version = 2});
  return w;
}

Bytes with_next_pointer(Bytes archive, std::uint32_t id, std::uint32_t next) {
  put_u32(archive, entry_of(archive, id).offset, next);
  return archive;
}

DatFileEntry entry_of(const Bytes& archive, std::uint32_t id) {
  const fs::path path = fs::temp_directory_path() /
                        ("ostrand-dat-entry-" + std::to_string(::getpid()));
  write_bytes(path, archive);
  auto db = DatDatabase::open(path);
  fs::remove(path);
  EXPECT_TRUE(db) << debug_string(db.error());
  const DatFileEntry* entry = db ? db->files().find(id) : nullptr;
  EXPECT_NE(entry, nullptr);
  return entry != nullptr ? *entry : DatFileEntry{};
}

void put_u32(Bytes& data, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i)
    data.at(at + i) = std::byte(value >> (8 * i));
}

Bytes with_entry_field(Bytes archive, std::uint32_t id, std::size_t field,
                       std::uint32_t value) {
  const auto record = encode_entry(entry_of(archive, id));
  const auto at =
      std::search(archive.begin(), archive.end(), record.begin(), record.end());
  EXPECT_NE(at, archive.end());
  if (at != archive.end()) {
    put_u32(archive, static_cast<std::size_t>(at - archive.begin()) + field,
            value);
  }
  return archive;
}

namespace {

// A recursive-descent reader of the JSON grammar; false at the first
// character that does not fit.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}
  bool document(Json& out) {
    return value(out, 0) && (space(), at_ == text_.size());
  }

 private:
  void space() {
    while (at_ < text_.size() && one_of(" \t\r\n")) {
    }
  }
  // Takes the next character when it is one of `chars`.
  bool one_of(std::string_view chars) {
    return at_ < text_.size() && chars.find(text_[at_]) != chars.npos && ++at_;
  }
  bool eat(char c) { return space(), one_of(std::string_view(&c, 1)); }
  bool digits() {
    const std::size_t start = at_;
    while (one_of("0123456789")) {
    }
    return at_ > start;
  }
  bool number(Json& out) {
    const std::size_t start = at_;
    one_of("-");
    if (!one_of("0") && !digits()) return false;
    if (one_of(".") && !digits()) return false;
    if (one_of("eE") && (one_of("+-"), !digits())) return false;
    out.value = Json::Number{std::string(text_.substr(start, at_ - start))};
    return true;
  }
  bool string(std::string& out) {
    if (!eat('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ == text_.size()) return false;
      const auto k = std::string_view("\"\\/bfnrtu").find(text_[at_++]);
      if (k == std::string_view::npos) return false;
      if (k < 8) {
        out += "\"\\/\b\f\n\r\t"[k];
        continue;
      }
      // \uXXXX; the tool escapes only control characters this way.
      unsigned code = 0;
      const char* first = text_.data() + std::min(at_, text_.size());
      const char* last = text_.data() + std::min(at_ + 4, text_.size());
      const auto [end, error] = std::from_chars(first, last, code, 16);
      if (error != std::errc() || end != first + 4 || code > 0x7F) return false;
      out += static_cast<char>(code);
      at_ += 4;
    }
    return false;
  }
  bool value(Json& out, int depth) {
    space();
    if (depth > 64 || at_ == text_.size()) return false;
    if (eat('{')) {
      Json::Object object;
      if (!eat('}')) {
        do {
          std::string key;
          if (!string(key) || !eat(':') || !value(object[key], depth + 1)) {
            return false;
          }
        } while (eat(','));
        if (!eat('}')) return false;
      }
      out.value = std::move(object);
      return true;
    }
    if (eat('[')) {
      Json::Array array;
      if (!eat(']')) {
        do {
          if (!value(array.emplace_back(), depth + 1)) return false;
        } while (eat(','));
        if (!eat(']')) return false;
      }
      out.value = std::move(array);
      return true;
    }
    if (text_[at_] == '"') {
      std::string text;
      if (!string(text)) return false;
      out.value = std::move(text);
      return true;
    }
    for (const auto& [word, literal] :
         {std::pair<std::string_view, Json>{"true", {true}},
          {"false", {false}},
          {"null", {nullptr}}}) {
      if (text_.substr(at_, word.size()) == word) {
        at_ += word.size();
        out = literal;
        return true;
      }
    }
    return number(out);
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

// Asking for what is not there throws, which fails the test.
const Json& Json::operator[](const std::string& key) const {
  return std::get<Object>(value).at(key);
}
const Json& Json::operator[](std::size_t index) const {
  return std::get<Array>(value).at(index);
}
std::uint64_t Json::u64() const {
  return std::stoull(std::get<Number>(value).text);
}
std::int64_t Json::i64() const {
  return std::stoll(std::get<Number>(value).text);
}
float Json::f32() const {
  if (const auto* name = std::get_if<std::string>(&value)) {
    if (*name == "NaN") return std::numeric_limits<float>::quiet_NaN();
    if (*name == "Infinity") return std::numeric_limits<float>::infinity();
    if (*name == "-Infinity") return -std::numeric_limits<float>::infinity();
  }
  return std::strtof(std::get<Number>(value).text.c_str(), nullptr);
}
const std::string& Json::str() const { return std::get<std::string>(value); }
std::size_t Json::size() const {
  if (const auto* array = std::get_if<Array>(&value)) return array->size();
  return std::get<Object>(value).size();
}

std::optional<Json> parse_json(std::string_view text) {
  Json json;
  if (!JsonReader(text).document(json)) return std::nullopt;
  return json;
}

void ToolTest::SetUp() {
  dir_ = fs::temp_directory_path() /
         ("ostrand-dat-tool-" + std::to_string(::getpid()) + "-" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  auto image = test_archive().build();
  ASSERT_TRUE(image) << debug_string(image.error());
  image_ = std::move(*image);
  archive_ = file("test.dat", image_);
}

ToolRun ToolTest::run(const std::vector<std::string>& args,
                      const RunOptions& options) {
  std::vector<std::string> argv{OSTRAND_DAT_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, dir_, options);
}

std::string ToolTest::output_of(const std::vector<std::string>& args) {
  const ToolRun r = run(args);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  return r.out;
}

std::string ToolTest::file(const std::string& name, const Bytes& data) {
  const fs::path path = dir_ / name;
  write_bytes(path, data);
  return path.string();
}

}  // namespace ostrand_dat::tool::testing
