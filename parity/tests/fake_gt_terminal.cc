// A stand-in for the reference tool in tests: invoked as `dotnet DLL
// --stdin`, it answers resolve requests on standard input from an answer
// table in the DLL file, as gt-terminal-standin does, and can be told to
// misbehave. Sources are written as they stand, unescaped.
//
// The DLL file holds answer rows and directives, one per line ('#' starts
// a comment):
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

#include <cerrno>
#include <expected>
#include <fstream>
#include <iostream>
#include <istream>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>

#include "gt-terminal-standin/answer_table.h"
#include "gt-terminal-standin/protocol.h"

namespace {

struct Behaviour {
  gt_standin::ServeOptions serve;
  bool crlf = false;
  bool fail = false;
  bool close_stdin = false;
  std::optional<std::string> record;
};

// Reads the directives of `behaviour` and hands the answer rows to the
// answer table reader.
gt_standin::DirectiveHandler directives(Behaviour& behaviour) {
  return
      [&behaviour](std::string_view word,
                   std::string_view rest) -> std::expected<bool, std::string> {
        gt_standin::ServeOptions& serve = behaviour.serve;
        const struct {
          std::string_view word;
          bool* flag;
        } flags[] = {
            {"numbers", &serve.style.wave_as_number},
            {"banner", &serve.banner},
            {"answer-quit", &serve.answer_quit},
            {"lowercase", &serve.style.lowercase_hex},
            {"crlf", &behaviour.crlf},
            {"fail", &behaviour.fail},
            {"close-stdin", &behaviour.close_stdin},
        };
        for (const auto& flag : flags) {
          if (word != flag.word) continue;
          *flag.flag = true;
          return true;
        }
        if (word == "drop") {
          auto n = gt_standin::parse_u32(rest);
          if (!n) return std::unexpected(std::string("drop needs a number"));
          serve.drop = *n;
          return true;
        }
        if (word == "record") {
          if (rest.empty())
            return std::unexpected(std::string("record needs a path"));
          behaviour.record = std::string(rest);
          return true;
        }
        return false;
      };
}

// Standard input, with every byte read from it also written to a file.
class RecordingInput : public std::streambuf {
 public:
  explicit RecordingInput(const std::string& path)
      : copy_(path, std::ios::binary) {}

 protected:
  int_type underflow() override {
    ssize_t got = 0;
    do {
      got = ::read(0, buffer_, sizeof buffer_);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return traits_type::eof();
    copy_.write(buffer_, got);
    copy_.flush();
    setg(buffer_, buffer_, buffer_ + got);
    return traits_type::to_int_type(buffer_[0]);
  }

 private:
  std::ofstream copy_;
  char buffer_[4096];
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::string_view(argv[2]) != "--stdin") {
    std::cerr << "usage: dotnet BEHAVIOUR_FILE --stdin\n";
    return 2;
  }
  Behaviour behaviour;
  auto answers = gt_standin::read_answer_table(argv[1], directives(behaviour));
  if (!answers) {
    std::cerr << "fake_gt_terminal: " << answers.error() << "\n";
    return 2;
  }
  if (behaviour.close_stdin) {
    ::close(0);
    return 0;
  }
  behaviour.serve.style.raw_source = true;
  if (behaviour.crlf) behaviour.serve.line_end = "\r\n";

  std::ios::sync_with_stdio(false);
  std::optional<RecordingInput> recording;
  if (behaviour.record) recording.emplace(*behaviour.record);
  std::istream in(recording ? &*recording : std::cin.rdbuf());
  // Read to the end, so that the whole input is recorded.
  auto drain = [&] {
    while (in.rdbuf()->sbumpc() != std::char_traits<char>::eof()) {
    }
  };
  if (behaviour.fail) {
    drain();
    std::cerr << "boom";
    return 1;
  }
  gt_standin::serve(in, std::cout, *answers, behaviour.serve);
  if (recording) drain();
  std::cout.flush();
  return std::cout ? 0 : 1;
}
