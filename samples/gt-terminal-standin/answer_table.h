// The answer table of the stand-in reference tool: to which wave each
// (sound table, sound kind) pair resolves, and where that answer came from.
// A plain text file, one answer per line; the sample generator writes it and
// the stand-in reads it.
#ifndef SAMPLES_GT_TERMINAL_STANDIN_ANSWER_TABLE_H_
#define SAMPLES_GT_TERMINAL_STANDIN_ANSWER_TABLE_H_

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace gt_standin {

// A u32 written in decimal, or in hexadecimal after "0x" or "0X". No sign,
// no spaces, at least one digit, at most 4294967295.
std::optional<std::uint32_t> parse_u32(std::string_view text);
// A u32 written in hexadecimal, with or without "0x" or "0X": at least one
// digit of either case, no sign, no spaces, at most 0xFFFFFFFF.
std::optional<std::uint32_t> parse_hex_u32(std::string_view text);

// One answer. A source never holds a double quote or a line end, so that it
// can stand in an answer line as it is.
struct Answer {
  std::optional<std::uint32_t> wave;  // nullopt: resolves to nothing
  std::optional<std::string> source;

  friend bool operator==(const Answer&, const Answer&) = default;
};

// (table id, sound kind) -> answer.
using AnswerKey = std::pair<std::uint32_t, std::uint32_t>;
using AnswerTable = std::map<AnswerKey, Answer>;

// One line of an answer table, without line end:
//   0x20000001 88 0x0A000262 client_portal.txt:40
//   0x20000001 70 null client_portal.txt:52
std::string format_answer_row(std::uint32_t table_id, std::uint32_t sound,
                              const Answer& answer);

// Offered each line that is not blank or a comment before it is read as an
// answer: the line's first word and the rest of the line after it, trimmed.
// Returns true when it took the line, false to leave it to the answer
// reader, or the text of what is wrong with the line.
using DirectiveHandler = std::function<std::expected<bool, std::string>(
    std::string_view word, std::string_view rest)>;

// Reads an answer table. Each line is blank, a comment ('#' as its first
// non-blank character), or an answer: TABLE KIND WAVE [SOURCE], separated by
// spaces or tabs, where TABLE is hexadecimal ("0x" optional), KIND decimal or
// 0x-hexadecimal, WAVE hexadecimal or "null", and SOURCE the rest of the
// line. A later answer for the same pair replaces the earlier one. A line end
// may be "\n" or "\r\n". Fails with "<name>:<line>: <what is wrong>".
std::expected<AnswerTable, std::string> parse_answer_table(
    std::string_view text, std::string_view name,
    const DirectiveHandler& directive = nullptr);

// parse_answer_table() over the file at `path`, which also names it in
// errors; a file that cannot be read fails with "cannot read <path>: <why>".
std::expected<AnswerTable, std::string> read_answer_table(
    const std::string& path, const DirectiveHandler& directive = nullptr);

// `text` in double quotes for messages: at most 40 bytes of it, bytes that
// are not printable ASCII as \xNN, and "..." when it was cut.
std::string quote_for_message(std::string_view text);

}  // namespace gt_standin

#endif  // SAMPLES_GT_TERMINAL_STANDIN_ANSWER_TABLE_H_
