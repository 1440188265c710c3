#include "gt-terminal-standin/answer_table.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

namespace gt_standin {
namespace {

constexpr std::string_view kBlank = " \t";

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// Splits off the first word of `rest` (which starts at a non-blank byte)
// and leaves `rest` at the next word.
std::string_view next_word(std::string_view& rest) {
  const std::size_t end = std::min(rest.find_first_of(kBlank), rest.size());
  const std::string_view word = rest.substr(0, end);
  rest = trim(rest.substr(end));
  return word;
}

std::optional<std::uint32_t> parse_digits(std::string_view text, int base) {
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

bool strip_hex_prefix(std::string_view& text) {
  if (!text.starts_with("0x") && !text.starts_with("0X")) return false;
  text.remove_prefix(2);
  return true;
}

// One answer line; the caller has dropped blank lines and comments.
std::expected<std::pair<AnswerKey, Answer>, std::string> parse_row(
    std::string_view rest) {
  const std::string_view table = next_word(rest);
  const std::string_view kind = next_word(rest);
  const std::string_view wave = next_word(rest);
  auto table_id = parse_hex_u32(table);
  if (!table_id) {
    return std::unexpected("table id " + quote_for_message(table) +
                           " is not a hexadecimal u32");
  }
  if (kind.empty()) return std::unexpected(std::string("sound kind missing"));
  auto sound = parse_u32(kind);
  if (!sound) {
    return std::unexpected("sound kind " + quote_for_message(kind) +
                           " is not a decimal or 0x-hexadecimal u32");
  }
  Answer answer;
  if (wave.empty()) return std::unexpected(std::string("wave missing"));
  if (wave != "null") {
    answer.wave = parse_hex_u32(wave);
    if (!answer.wave) {
      return std::unexpected("wave " + quote_for_message(wave) +
                             " is neither a hexadecimal u32 nor null");
    }
  }
  if (!rest.empty()) {
    if (rest.find('"') != std::string_view::npos) {
      return std::unexpected(std::string("a source may not hold '\"'"));
    }
    answer.source = std::string(rest);
  }
  return std::pair{AnswerKey{*table_id, *sound}, std::move(answer)};
}

}  // namespace

std::optional<std::uint32_t> parse_u32(std::string_view text) {
  const bool hex = strip_hex_prefix(text);
  return parse_digits(text, hex ? 16 : 10);
}

std::optional<std::uint32_t> parse_hex_u32(std::string_view text) {
  strip_hex_prefix(text);
  return parse_digits(text, 16);
}

std::string format_answer_row(std::uint32_t table_id, std::uint32_t sound,
                              const Answer& answer) {
  char head[48];
  std::snprintf(head, sizeof head, "0x%08X %u ", table_id, sound);
  std::string row = head;
  if (answer.wave) {
    char wave[16];
    std::snprintf(wave, sizeof wave, "0x%08X", *answer.wave);
    row += wave;
  } else {
    row += "null";
  }
  if (answer.source) row += " " + *answer.source;
  return row;
}

std::expected<AnswerTable, std::string> parse_answer_table(
    std::string_view text, std::string_view name,
    const DirectiveHandler& directive) {
  AnswerTable table;
  // Invariant: `text` holds the lines after line `number`.
  for (std::size_t number = 1; !text.empty(); ++number) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = trim(line);
    if (line.empty() || line.starts_with('#')) continue;

    auto failure = [&](const std::string& what) {
      return std::unexpected(std::string(name) + ":" + std::to_string(number) +
                             ": " + what);
    };
    if (line.find_first_of("\r\n") != std::string_view::npos ||
        line.find('\0') != std::string_view::npos) {
      return failure("not a text line");
    }
    if (directive) {
      std::string_view rest = line;
      const std::string_view word = next_word(rest);
      auto taken = directive(word, rest);
      if (!taken) return failure(taken.error());
      if (*taken) continue;
    }
    auto row = parse_row(line);
    if (!row) return failure(row.error());
    table.insert_or_assign(row->first, std::move(row->second));
  }
  return table;
}

std::expected<AnswerTable, std::string> read_answer_table(
    const std::string& path, const DirectiveHandler& directive) {
  auto failure = [&] {
    return std::unexpected("cannot read " + path + ": " + std::strerror(errno));
  };
  // stdio rather than a stream: a directory opens and then fails its first
  // read with EISDIR, which stdio reports as an error value.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return failure();
  std::string text;
  char buffer[8192];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    text.append(buffer, got);
  }
  if (std::ferror(file.get())) return failure();
  return parse_answer_table(text, path, directive);
}

std::string quote_for_message(std::string_view text) {
  constexpr std::size_t kShown = 40;
  std::string quoted = "\"";
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      quoted += static_cast<char>(byte);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      quoted += escape;
    }
  }
  quoted += text.size() > kShown ? "\"..." : "\"";
  return quoted;
}

}  // namespace gt_standin
