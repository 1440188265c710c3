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
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

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

const Json& missing() {
  static const Json none{nullptr};
  ADD_FAILURE() << "no such JSON member";
  return none;
}

// A recursive-descent reader over the JSON grammar; `at` moves past what
// was read. Returns false on the first character that does not fit.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool document(Json& out) {
    return value(out, 0) && (skip_space(), at_ == text_.size());
  }

 private:
  static constexpr int kMaxDepth = 64;

  void skip_space() {
    while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) &&
           text_[at_] != '\0') {
      ++at_;
    }
  }
  bool eat(char c) {
    skip_space();
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  bool literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool digits() {
    const std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > start;
  }
  bool number(Json& out) {
    const std::size_t start = at_;
    if (text_[at_] == '-') ++at_;
    if (text_.substr(at_, 1) == "0") {
      ++at_;
    } else if (!digits()) {
      return false;
    }
    if (text_.substr(at_, 1) == "." && (++at_, !digits())) return false;
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!digits()) return false;
    }
    out.value = Json::Number{std::string(text_.substr(start, at_ - start))};
    return true;
  }
  bool string(std::string& out) {
    if (!eat('"')) return false;
    while (at_ < text_.size() && text_[at_] != '"') {
      const char c = text_[at_++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ == text_.size()) return false;
      const char e = text_[at_++];
      const std::string_view simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
      if (const auto k = simple.find(e); k != simple.npos) {
        out += meaning[k];
      } else if (e == 'u' && at_ + 4 <= text_.size()) {
        // Only the control characters the tool escapes are needed here.
        out += static_cast<char>(
            std::stoi(std::string(text_.substr(at_, 4)), nullptr, 16));
        at_ += 4;
      } else {
        return false;
      }
    }
    return eat('"');
  }
  bool value(Json& out, int depth) {
    skip_space();
    if (at_ == text_.size() || depth > kMaxDepth) return false;
    const char c = text_[at_];
    if (c == '{') {
      ++at_;
      Json::Object object;
      if (!eat('}')) {
        do {
          std::string key;
          Json member;
          if (!string(key) || !eat(':') || !value(member, depth + 1))
            return false;
          object[key] = std::move(member);
        } while (eat(','));
        if (!eat('}')) return false;
      }
      out.value = std::move(object);
      return true;
    }
    if (c == '[') {
      ++at_;
      Json::Array array;
      if (!eat(']')) {
        do {
          array.emplace_back();
          if (!value(array.back(), depth + 1)) return false;
        } while (eat(','));
        if (!eat(']')) return false;
      }
      out.value = std::move(array);
      return true;
    }
    if (c == '"') {
      std::string s;
      if (!string(s)) return false;
      out.value = std::move(s);
      return true;
    }
    if (literal("true")) return out.value = true, true;
    if (literal("false")) return out.value = false, true;
    if (literal("null")) return out.value = nullptr, true;
    return number(out);
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

const Json& Json::operator[](const std::string& key) const {
  const auto* object = std::get_if<Object>(&value);
  if (object == nullptr || !object->contains(key)) return missing();
  return object->at(key);
}

const Json& Json::operator[](std::size_t index) const {
  const auto* array = std::get_if<Array>(&value);
  if (array == nullptr || index >= array->size()) return missing();
  return (*array)[index];
}

std::uint64_t Json::u64() const {
  const auto* number = std::get_if<Number>(&value);
  EXPECT_NE(number, nullptr) << "not a number";
  return number ? std::stoull(number->text) : 0;
}

std::int64_t Json::i64() const {
  const auto* number = std::get_if<Number>(&value);
  EXPECT_NE(number, nullptr) << "not a number";
  return number ? std::stoll(number->text) : 0;
}

float Json::f32() const {
  if (const auto* name = std::get_if<std::string>(&value)) {
    if (*name == "NaN") return std::numeric_limits<float>::quiet_NaN();
    if (*name == "Infinity") return std::numeric_limits<float>::infinity();
    if (*name == "-Infinity") return -std::numeric_limits<float>::infinity();
  }
  const auto* number = std::get_if<Number>(&value);
  EXPECT_NE(number, nullptr) << "not a float";
  return number ? std::strtof(number->text.c_str(), nullptr) : 0;
}

const std::string& Json::str() const {
  static const std::string none;
  const auto* s = std::get_if<std::string>(&value);
  EXPECT_NE(s, nullptr) << "not a string";
  return s ? *s : none;
}

std::size_t Json::size() const {
  if (const auto* array = std::get_if<Array>(&value)) return array->size();
  if (const auto* object = std::get_if<Object>(&value)) return object->size();
  ADD_FAILURE() << "neither array nor object";
  return 0;
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
