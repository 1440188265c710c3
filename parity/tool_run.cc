#include "tool_run.h"

#include <cstddef>
#include <string>
#include <utility>

#include "platform/process_posix.h"
#include "platform/terminal.h"
#include "runner/utf8.h"

namespace parity {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The white space character that starts at text[at], if one does: its
// length, or 0.
std::size_t white_space_at(std::string_view text, std::size_t at) {
  Utf8Char c = decode_utf8(text, at);
  return c.valid && is_white_space(c.code_point) ? c.length : 0;
}

std::string_view trim_start(std::string_view text) {
  while (!text.empty()) {
    std::size_t length = white_space_at(text, 0);
    if (length == 0) break;
    text.remove_prefix(length);
  }
  return text;
}

std::string_view trim_end(std::string_view text) {
  while (!text.empty()) {
    // Step back to the start of the last character, over at most the three
    // continuation bytes a character can hold.
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 &&
           !is_char_boundary(text, start)) {
      --start;
    }
    std::size_t length = white_space_at(text, start);
    if (length == 0 || start + length != text.size()) break;
    text.remove_suffix(length);
  }
  return text;
}

// "No such file or directory (os error 2)" and the like, after the step.
// The input pipe is created with the others before the start, so a started
// tool always has one: there is no "no stdin handle" case.
std::string process_error_text(const platform::ProcessError& error) {
  std::string text = platform::error_text(error.code);
  switch (error.step) {
    case platform::ProcessStep::kSpawn:
      return "spawn GT.Terminal: " + text;
    case platform::ProcessStep::kWriteStdin:
      return "write stdin: " + text;
    case platform::ProcessStep::kWait:
      break;
  }
  return "wait GT.Terminal: " + text;
}

}  // namespace

std::expected<std::vector<std::string>, std::string> run_gt_terminal(
    const std::string& dotnet, const std::string& dll,
    std::span<const std::string> commands) {
  std::string input;
  std::size_t size = kQuitRequest.size() + 1;
  for (const std::string& command : commands) size += command.size() + 1;
  input.reserve(size);
  for (const std::string& command : commands) {
    input += command;
    input += '\n';
  }
  input += kQuitRequest;
  input += '\n';

  const std::string args[] = {dll, "--stdin"};
  auto run = platform::run_process(dotnet, args, input);
  if (!run) return std::unexpected(process_error_text(run.error()));
  // Success is a normal exit with code 0, which is the raw status 0.
  if (run->wait_status != 0) {
    return std::unexpected(
        "GT.Terminal non-zero exit: ExitStatus(unix_wait_status(" +
        std::to_string(run->wait_status) +
        "))\nstderr: " + lossy_utf8(run->err));
  }
  return answer_lines(run->out);
}

std::vector<std::string> answer_lines(std::string_view output) {
  std::string text = lossy_utf8(output);
  std::vector<std::string> lines;
  std::string_view rest = text;
  // Each pass takes one line off the front of `rest`; a final "\n" leaves
  // `rest` empty and so starts no further line.
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (end != std::string_view::npos && line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    line = trim_end(trim_start(line));
    if (!line.empty()) lines.emplace_back(line);
  }
  return lines;
}

std::optional<std::string> extract_string_field(std::string_view line,
                                                std::string_view key) {
  std::string needle;
  needle.reserve(key.size() + 3);
  needle += '"';
  needle += key;
  needle += "\":";
  std::size_t at = line.find(needle);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = trim_start(line.substr(at + needle.size()));
  if (rest.starts_with("null") || !rest.starts_with('"')) return std::nullopt;
  std::size_t close = rest.find('"', 1);
  if (close == std::string_view::npos) return std::nullopt;
  return std::string(rest.substr(1, close - 1));
}

std::optional<std::uint32_t> extract_wave_did_u32(std::string_view line) {
  auto field = extract_string_field(line, "waveDid");
  if (!field) return std::nullopt;
  std::string_view digits = *field;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    digits.remove_prefix(2);
  }
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace parity
