// The reference tool's line protocol, as the stand-in speaks it: one JSON
// request per input line; one answer line per resolve request, in request
// order; an error line for a line that is not a request; the quit request
// or the end of input ends the conversation.
#ifndef SAMPLES_GT_TERMINAL_STANDIN_PROTOCOL_H_
#define SAMPLES_GT_TERMINAL_STANDIN_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>
#include <variant>

#include "gt-terminal-standin/answer_table.h"

namespace gt_standin {

inline constexpr std::string_view kResolveCommand = "quillon-resolve-sound";
inline constexpr std::string_view kQuitCommand = "quit";

// The longest request line that is read; a longer one gets an error line.
inline constexpr std::size_t kMaxRequestLine = 64 * 1024;

struct ResolveRequest {
  std::uint32_t table_id = 0;
  std::uint32_t sound = 0;

  friend bool operator==(const ResolveRequest&,
                         const ResolveRequest&) = default;
};
struct QuitRequest {
  friend bool operator==(const QuitRequest&, const QuitRequest&) = default;
};
using Request = std::variant<ResolveRequest, QuitRequest>;

// Decodes one request line (without its line end): a JSON object whose
// "command" is "quit", or the resolve command with "soundTableDid", a string
// of hexadecimal digits ("0x" optional), and "sound", a whole number from 0
// to 4294967295. Keys may come in any order with white space between
// tokens; other keys with string, number, true, false or null values are
// ignored. Anything else fails with one line saying what is wrong.
std::expected<Request, std::string> parse_request(std::string_view line);

// How answer lines are written. The stand-in writes the defaults; the other
// forms let tests see how a reader copes with tools that write them.
struct AnswerStyle {
  bool lowercase_hex = false;   // waveDid digits in lower case
  bool wave_as_number = false;  // waveDid as a JSON number, in decimal
  bool raw_source = false;      // source bytes unescaped, even when not JSON
};

// The answer, without line end, for example
// {"command":"quillon-resolve-sound","soundTableDid":"0x20000001","sound":88,
//  "waveDid":"0x0A000262","source":"client_portal.txt:40"}
// (one line); waveDid is null when the kind resolves to nothing, and source
// is left out when the answer has none.
std::string answer_line(const ResolveRequest& request, const Answer& answer,
                        const AnswerStyle& style = {});

// {"error":"<message>"}: it lacks the resolve command, so readers skip it.
std::string error_line(std::string_view message);

// `text` as the inside of a JSON string: '"', '\\' and control bytes
// escaped, other bytes as they are.
std::string json_escape(std::string_view text);

// How a conversation goes. The stand-in uses the defaults; the other
// settings make the misbehaving tools that tests of a reader need.
struct ServeOptions {
  AnswerStyle style;
  std::string_view line_end = "\n";
  bool banner = false;       // a greeting line before the first answer
  bool answer_quit = false;  // a line answering the quit request
  std::uint64_t drop = 0;    // no answer to this resolve request (1-based)
};

struct ServeResult {
  std::uint64_t requests = 0;  // resolve requests read
  std::uint64_t errors = 0;    // error lines written
  bool quit = false;           // ended by the quit request
};

// Reads request lines from `in` until the quit request or the end of input
// and writes the replies to `out`. Blank lines are skipped. A "\r" before a
// line end is dropped. `out` is flushed whenever `in` has nothing buffered,
// so that a person typing requests sees each answer at once. The caller
// checks `out` for write failures afterwards.
ServeResult serve(std::istream& in, std::ostream& out,
                  const AnswerTable& answers, const ServeOptions& options = {});

}  // namespace gt_standin

#endif  // SAMPLES_GT_TERMINAL_STANDIN_PROTOCOL_H_
