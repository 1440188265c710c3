// A stand-in for the reference tool in tests: invoked as `dotnet DLL
// --stdin`, it answers resolve requests on standard input from a table in
// the DLL file, one answer line per request, and can be told to misbehave.
//
// The DLL file holds one directive per line ('#' starts a comment):
//   0x20000001 88 0x0A000262 [source]  answer: table, kind, wave or "null",
//                                       then an optional source text
//   drop N          leave out the answer to the N-th request (1-based)
//   numbers         write waveDid as a JSON number instead of a string
//   banner          write a banner line before the first answer
//   answer-quit     answer the quit request too
//   lowercase       lower-case hex digits in waveDid
//   crlf            end every output line with "\r\n"
//   fail            read the input, write "boom" to stderr, exit 1
//   close-stdin     close standard input unread and exit 0
//   record PATH     write the exact bytes read from standard input to PATH
// Kinds without an answer line get a null waveDid.

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include "tool_run.h"

namespace {

struct Answer {
  std::optional<std::uint32_t> wave;
  std::optional<std::string> source;
};

struct Behaviour {
  std::map<std::pair<std::uint32_t, std::uint32_t>, Answer> answers;
  std::optional<unsigned long> drop;
  bool numbers = false;
  bool banner = false;
  bool answer_quit = false;
  bool lowercase = false;
  bool crlf = false;
  bool fail = false;
  bool close_stdin = false;
  std::optional<std::string> record;
};

// The directives that only switch a behaviour on.
struct Flag {
  std::string_view word;
  bool Behaviour::*member;
};
constexpr Flag kFlags[] = {
    {"numbers", &Behaviour::numbers},
    {"banner", &Behaviour::banner},
    {"answer-quit", &Behaviour::answer_quit},
    {"lowercase", &Behaviour::lowercase},
    {"crlf", &Behaviour::crlf},
    {"fail", &Behaviour::fail},
    {"close-stdin", &Behaviour::close_stdin},
};

std::optional<std::uint32_t> parse_number(std::string_view text, int base) {
  if (base == 16 && (text.starts_with("0x") || text.starts_with("0X"))) {
    text.remove_prefix(2);
  }
  std::uint32_t value = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// Reads the directives; an unreadable file or a bad line is reported on
// standard error and ends the tool with status 2.
std::optional<Behaviour> read_behaviour(const char* path) {
  std::ifstream file(path);
  if (!file) {
    std::cerr << "fake_gt_terminal: cannot read " << path << "\n";
    return std::nullopt;
  }
  Behaviour behaviour;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word) || word.starts_with('#')) continue;
    bool ok = true;
    if (auto flag = std::find_if(std::begin(kFlags), std::end(kFlags),
                                 [&](const Flag& f) { return f.word == word; });
        flag != std::end(kFlags)) {
      behaviour.*(flag->member) = true;
    } else if (word == "drop") {
      unsigned long n = 0;
      ok = static_cast<bool>(words >> n);
      behaviour.drop = n;
    } else if (word == "record") {
      std::string target;
      ok = static_cast<bool>(words >> target);
      behaviour.record = target;
    } else {
      std::string kind, wave;
      words >> kind >> wave;
      auto table_id = parse_number(word, 16);
      auto sound = parse_number(kind, 10);
      auto wave_id = parse_number(wave, 16);
      ok = table_id && sound && (wave_id || wave == "null");
      Answer answer{wave_id, std::nullopt};
      std::string source;
      if (std::getline(words >> std::ws, source) && !source.empty()) {
        answer.source = source;
      }
      behaviour.answers[{table_id.value_or(0), sound.value_or(0)}] = answer;
    }
    if (!ok) {
      std::cerr << "fake_gt_terminal: " << path << ":" << number
                << ": bad line: " << line << "\n";
      return std::nullopt;
    }
  }
  return behaviour;
}

std::string hex(std::uint32_t value, bool lowercase) {
  const char* digits = lowercase ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[i] = digits[value & 0xF];
  return text;
}

std::string answer_line(const Behaviour& behaviour, std::string_view table,
                        std::uint32_t sound, const Answer& answer) {
  std::string line =
      "{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":\"" +
      std::string(table) + "\",\"sound\":" + std::to_string(sound) +
      ",\"waveDid\":";
  if (!answer.wave) {
    line += "null";
  } else if (behaviour.numbers) {
    line += std::to_string(*answer.wave);
  } else {
    line += "\"0x" + hex(*answer.wave, behaviour.lowercase) + "\"";
  }
  if (answer.source) line += ",\"source\":\"" + *answer.source + "\"";
  return line + "}";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::string_view(argv[2]) != "--stdin") {
    std::cerr << "usage: dotnet BEHAVIOUR_FILE --stdin\n";
    return 2;
  }
  auto behaviour = read_behaviour(argv[1]);
  if (!behaviour) return 2;
  if (behaviour->close_stdin) {
    ::close(0);
    return 0;
  }

  // Every line read is copied to the record file as it came in.
  std::ofstream record;
  if (behaviour->record) record.open(*behaviour->record, std::ios::binary);
  auto take_line = [&](std::string& line) {
    if (!std::getline(std::cin, line)) return false;
    if (record.is_open()) {
      record << line;
      if (!std::cin.eof()) record << '\n';
    }
    return true;
  };
  std::string line;
  if (behaviour->fail) {
    while (take_line(line)) {
    }
    std::cerr << "boom";
    return 1;
  }

  // Answers go out while requests still come in, as a real tool's would.
  const std::string end = behaviour->crlf ? "\r\n" : "\n";
  if (behaviour->banner) std::cout << "Gantrel terminal stand-in ready" << end;
  unsigned long requests = 0;
  while (take_line(line)) {
    if (line == parity::kQuitRequest) {
      if (behaviour->answer_quit) {
        std::cout << "{\"command\":\"quit\",\"ok\":true}" << end;
      }
      while (record.is_open() && take_line(line)) {
      }
      break;
    }
    auto table = parity::extract_string_field(line, "soundTableDid");
    auto table_id = table ? parse_number(*table, 16) : std::nullopt;
    std::size_t at = line.find("\"sound\":");
    std::optional<std::uint32_t> sound;
    if (at != std::string::npos) {
      std::string_view digits = std::string_view(line).substr(at + 8);
      digits = digits.substr(0, digits.find_first_not_of("0123456789"));
      sound = parse_number(digits, 10);
    }
    if (!table_id || !sound) {
      std::cerr << "fake_gt_terminal: bad request: " << line << "\n";
      continue;
    }
    if (behaviour->drop == ++requests) continue;
    auto found = behaviour->answers.find({*table_id, *sound});
    Answer answer =
        found == behaviour->answers.end() ? Answer{} : found->second;
    std::cout << answer_line(*behaviour, *table, *sound, answer) << end;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
