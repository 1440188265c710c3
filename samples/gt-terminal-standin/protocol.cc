#include "gt-terminal-standin/protocol.h"

#include <cstdio>
#include <istream>
#include <optional>
#include <ostream>
#include <set>
#include <streambuf>
#include <utility>
#include <vector>

namespace gt_standin {
namespace {

// A JSON scalar; numbers keep their text.
struct JsonValue {
  enum class Type { kString, kNumber, kLiteral };
  Type type = Type::kLiteral;
  std::string text;
};
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Reads one JSON object whose values are all scalars. Single forward pass;
// `at_` only grows and never passes text_.size(), so every loop ends.
class FlatObjectParser {
 public:
  explicit FlatObjectParser(std::string_view text) : text_(text) {}

  std::expected<JsonObject, std::string> parse() {
    JsonObject object;
    skip_space();
    if (!take('{')) return fail("expected '{'");
    skip_space();
    if (!take('}')) {
      while (true) {
        skip_space();
        if (peek() != '"') return fail("expected a key in double quotes");
        auto key = string();
        if (!key) return std::unexpected(key.error());
        skip_space();
        if (!take(':')) return fail("expected ':'");
        skip_space();
        auto value = scalar();
        if (!value) return std::unexpected(value.error());
        object.emplace_back(std::move(*key), std::move(*value));
        skip_space();
        if (take('}')) break;
        if (!take(',')) return fail("expected ',' or '}'");
      }
    }
    skip_space();
    if (at_ != text_.size()) return fail("text after the closing '}'");
    return object;
  }

 private:
  int peek() const {
    return at_ < text_.size() ? static_cast<unsigned char>(text_[at_]) : -1;
  }
  bool take(char c) {
    if (peek() != static_cast<unsigned char>(c)) return false;
    ++at_;
    return true;
  }
  void skip_space() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')
      ++at_;
  }
  std::unexpected<std::string> fail(std::string_view what) const {
    return std::unexpected("not a JSON request: " + std::string(what) +
                           " at byte " + std::to_string(at_ + 1));
  }

  std::expected<JsonValue, std::string> scalar() {
    const int c = peek();
    if (c == '"') {
      auto text = string();
      if (!text) return std::unexpected(text.error());
      return JsonValue{JsonValue::Type::kString, std::move(*text)};
    }
    if (c == '-' || (c >= '0' && c <= '9')) return number();
    for (std::string_view literal : {"true", "false", "null"}) {
      if (text_.substr(at_).starts_with(literal)) {
        at_ += literal.size();
        return JsonValue{JsonValue::Type::kLiteral, std::string(literal)};
      }
    }
    if (c == '{' || c == '[')
      return fail("nested objects and arrays are not read");
    return fail("expected a value");
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  std::expected<JsonValue, std::string> number() {
    const std::size_t start = at_;
    auto digits = [&] {
      const std::size_t first = at_;
      while (peek() >= '0' && peek() <= '9') ++at_;
      return at_ > first;
    };
    take('-');
    if (!take('0') && !digits()) return fail("expected a digit");
    if (take('.') && !digits()) return fail("expected a digit");
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits()) return fail("expected a digit");
    }
    return JsonValue{JsonValue::Type::kNumber,
                     std::string(text_.substr(start, at_ - start))};
  }

  std::optional<char32_t> hex4() {
    if (text_.size() - at_ < 4) return std::nullopt;
    char32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const int c = peek();
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<char32_t>(digit);
      ++at_;
    }
    return value;
  }

  // A string at peek() == '"', escapes decoded into UTF-8.
  std::expected<std::string, std::string> string() {
    ++at_;
    std::string out;
    while (true) {
      const int c = peek();
      if (c < 0) return fail("unterminated string");
      if (c < 0x20) return fail("control character in a string");
      ++at_;
      if (c == '"') return out;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      const int escape = peek();
      if (escape < 0) return fail("unterminated string");
      ++at_;
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out += static_cast<char>(escape);
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          auto unit = hex4();
          if (!unit) return fail("expected four hexadecimal digits");
          char32_t code = *unit;
          if (code >= 0xDC00 && code <= 0xDFFF) return fail("lone surrogate");
          if (code >= 0xD800 && code <= 0xDBFF) {
            if (!take('\\') || !take('u')) return fail("lone surrogate");
            auto low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) {
              return fail("lone surrogate");
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
          }
          append_utf8(out, code);
          break;
        }
        default:
          return fail("unknown escape");
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

const JsonValue* find(const JsonObject& object, std::string_view key) {
  for (const auto& [name, value] : object) {
    if (name == key) return &value;
  }
  return nullptr;
}

// The u32 that `parse` reads from field `key`, which must be of `type`;
// otherwise what is wrong, naming the `form` it should have.
std::expected<std::uint32_t, std::string> u32_field(
    const JsonObject& object, std::string_view key, JsonValue::Type type,
    std::optional<std::uint32_t> (*parse)(std::string_view),
    std::string_view form) {
  const std::string name = "\"" + std::string(key) + "\"";
  const JsonValue* value = find(object, key);
  if (value == nullptr) return std::unexpected("no " + name + " field");
  std::optional<std::uint32_t> number;
  if (value->type == type) number = parse(value->text);
  if (!number) {
    return std::unexpected(name + " is not " + std::string(form));
  }
  return *number;
}

std::string wave_text(std::uint32_t wave, const AnswerStyle& style) {
  if (style.wave_as_number) return std::to_string(wave);
  char text[16];
  std::snprintf(text, sizeof text,
                style.lowercase_hex ? "\"0x%08x\"" : "\"0x%08X\"", wave);
  return text;
}

enum class LineRead { kLine, kTooLong, kEnd };

// The next line of `in` without its "\n", at most kMaxRequestLine bytes of
// it kept; a longer line is read to its end and reported as kTooLong.
LineRead read_line(std::streambuf& in, std::string& line) {
  line.clear();
  bool any = false;
  bool too_long = false;
  for (int c = in.sbumpc(); c != std::char_traits<char>::eof();
       c = in.sbumpc()) {
    any = true;
    if (c == '\n') break;
    if (line.size() < kMaxRequestLine) {
      line += static_cast<char>(c);
    } else {
      too_long = true;
    }
  }
  if (!any) return LineRead::kEnd;
  return too_long ? LineRead::kTooLong : LineRead::kLine;
}

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

std::expected<Request, std::string> parse_request(std::string_view line) {
  auto object = FlatObjectParser(line).parse();
  if (!object) return std::unexpected(object.error());
  std::set<std::string_view> keys;
  for (const auto& [key, value] : *object) {
    if (!keys.insert(key).second) {
      return std::unexpected("key " + quote_for_message(key) +
                             " appears twice");
    }
  }
  const JsonValue* command = find(*object, "command");
  if (command == nullptr)
    return std::unexpected(std::string("no \"command\" field"));
  if (command->type != JsonValue::Type::kString) {
    return std::unexpected(std::string("\"command\" is not a string"));
  }
  if (command->text == kQuitCommand) return QuitRequest{};
  if (command->text != kResolveCommand) {
    return std::unexpected("unknown command " +
                           quote_for_message(command->text) + "; expected \"" +
                           std::string(kResolveCommand) + "\" or \"quit\"");
  }

  auto table_id = u32_field(
      *object, "soundTableDid", JsonValue::Type::kString, parse_hex_u32,
      "a string of hexadecimal digits such as \"0x20000001\"");
  if (!table_id) return std::unexpected(table_id.error());
  // A JSON number with a sign, fraction or exponent does not parse.
  auto kind = u32_field(*object, "sound", JsonValue::Type::kNumber, parse_u32,
                        "a whole number from 0 to 4294967295");
  if (!kind) return std::unexpected(kind.error());
  return ResolveRequest{*table_id, *kind};
}

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

std::string answer_line(const ResolveRequest& request, const Answer& answer,
                        const AnswerStyle& style) {
  char head[128];
  std::snprintf(head, sizeof head,
                "{\"command\":\"%s\",\"soundTableDid\":\"0x%08X\",\"sound\":%u,"
                "\"waveDid\":",
                std::string(kResolveCommand).c_str(), request.table_id,
                request.sound);
  std::string line = head;
  line += answer.wave ? wave_text(*answer.wave, style) : "null";
  if (answer.source) {
    line += ",\"source\":\"" +
            (style.raw_source ? *answer.source : json_escape(*answer.source)) +
            "\"";
  }
  return line + "}";
}

std::string error_line(std::string_view message) {
  return "{\"error\":\"" + json_escape(message) + "\"}";
}

ServeResult serve(std::istream& in, std::ostream& out,
                  const AnswerTable& answers, const ServeOptions& options) {
  ServeResult result;
  std::streambuf& input = *in.rdbuf();
  if (options.banner) out << "gt-terminal-standin ready" << options.line_end;
  std::string line;
  // One pass over the input lines; ends at the quit request or the end of
  // input. `number` counts every line read, blank ones too.
  for (std::uint64_t number = 1;; ++number) {
    if (input.in_avail() <= 0) out.flush();
    const LineRead read = read_line(input, line);
    if (read == LineRead::kEnd) break;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (read == LineRead::kTooLong) {
      out << error_line(where + "longer than " +
                        std::to_string(kMaxRequestLine) + " bytes")
          << options.line_end;
      ++result.errors;
      continue;
    }
    if (line.ends_with('\r')) line.pop_back();
    if (is_blank(line)) continue;
    auto request = parse_request(line);
    if (!request) {
      out << error_line(where + request.error()) << options.line_end;
      ++result.errors;
      continue;
    }
    if (std::holds_alternative<QuitRequest>(*request)) {
      if (options.answer_quit) {
        out << "{\"command\":\"quit\",\"ok\":true}" << options.line_end;
      }
      result.quit = true;
      break;
    }
    const auto& resolve = std::get<ResolveRequest>(*request);
    if (++result.requests == options.drop) continue;
    auto found = answers.find({resolve.table_id, resolve.sound});
    const Answer answer = found == answers.end() ? Answer{} : found->second;
    out << answer_line(resolve, answer, options.style) << options.line_end;
  }
  out.flush();
  return result;
}

}  // namespace gt_standin
