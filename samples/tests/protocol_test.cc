#include "gt-terminal-standin/protocol.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace gt_standin {
namespace {

constexpr std::string_view kHead =
    "{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":";

TEST(ParseRequest, ReadsResolveAndQuitRequestsInAnyLayout) {
  struct Case {
    std::string line;
    Request request;
  } cases[] = {
      {std::string(kHead) + "\"0x20000001\",\"sound\":88}",
       ResolveRequest{0x20000001, 88}},
      {" { \"sound\" : 0 ,\t\"soundTableDid\" : \"200000a8\", \"command\" : "
       "\"quillon-resolve-sound\" } ",
       ResolveRequest{0x200000A8, 0}},
      {std::string(kHead) + "\"0X1\",\"sound\":4294967295,\"id\":7,"
                            "\"note\":\"\\\"x\\\"\",\"debug\":true,\"t\":null,"
                            "\"w\":-1.5e3}",
       ResolveRequest{1, 4294967295u}},
      {"{\"\\u0063ommand\":\"quit\"}", QuitRequest{}},
      {"{\"command\":\"quit\",\"sound\":\"anything\"}", QuitRequest{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto request = parse_request(c.line);
    ASSERT_TRUE(request) << request.error();
    EXPECT_EQ(*request, c.request);
  }
}

TEST(ParseRequest, SaysWhatIsWrongWithAMalformedLine) {
  const std::string head(kHead);
  struct Case {
    std::string line;
    std::string error;
  } cases[] = {
      {"", "not a JSON request: expected '{' at byte 1"},
      {"hello", "not a JSON request: expected '{' at byte 1"},
      {"{", "not a JSON request: expected a key in double quotes at byte 2"},
      {"{\"command\" \"quit\"}", "not a JSON request: expected ':' at byte 12"},
      {"{\"command\":\"quit\"",
       "not a JSON request: expected ',' or '}' at byte 18"},
      {"{\"command\":\"quit\"} x",
       "not a JSON request: text after the closing '}' at byte 20"},
      {"{\"command\":\"qu",
       "not a JSON request: unterminated string at byte 15"},
      {"{\"command\":\"q\\",
       "not a JSON request: unterminated string at byte 15"},
      {"{\"command\":\"q\\x\"}",
       "not a JSON request: unknown escape at byte 16"},
      {"{\"command\":\"\\ud800\"}",
       "not a JSON request: lone surrogate at byte 19"},
      {"{\"command\":\"a\tb\"}",
       "not a JSON request: control character in a string at byte 14"},
      {"{\"command\":[1]}",
       "not a JSON request: nested objects and arrays are not read at byte 12"},
      {"{\"command\":01}",
       "not a JSON request: expected ',' or '}' at byte 13"},
      {"{\"command\":-}", "not a JSON request: expected a digit at byte 13"},
      {"{\"command\":nul}", "not a JSON request: expected a value at byte 12"},
      {"{}", "no \"command\" field"},
      {"{\"command\":7}", "\"command\" is not a string"},
      {"{\"command\":\"quit\",\"command\":\"quit\"}",
       "key \"command\" appears twice"},
      {"{\"command\":\"resolve\"}",
       "unknown command \"resolve\"; expected \"quillon-resolve-sound\" or "
       "\"quit\""},
      {"{\"command\":\"quillon-resolve-sound\",\"sound\":1}",
       "no \"soundTableDid\" field"},
      {head + "536870913,\"sound\":1}",
       "\"soundTableDid\" is not a string of hexadecimal digits such as "
       "\"0x20000001\""},
      {head + "\"0x100000000\",\"sound\":1}",
       "\"soundTableDid\" is not a string of hexadecimal digits such as "
       "\"0x20000001\""},
      {head + "\"0x20000001\"}", "no \"sound\" field"},
      {head + "\"0x20000001\",\"sound\":\"88\"}",
       "\"sound\" is not a whole number from 0 to 4294967295"},
      {head + "\"0x20000001\",\"sound\":-1}",
       "\"sound\" is not a whole number from 0 to 4294967295"},
      {head + "\"0x20000001\",\"sound\":88.0}",
       "\"sound\" is not a whole number from 0 to 4294967295"},
      {head + "\"0x20000001\",\"sound\":4294967296}",
       "\"sound\" is not a whole number from 0 to 4294967295"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto request = parse_request(c.line);
    ASSERT_FALSE(request);
    EXPECT_EQ(request.error(), c.error);
  }
}

TEST(AnswerLine, WritesTheAnswerInTheChosenStyle) {
  const ResolveRequest request{0x200000A8, 31};
  const std::string head =
      "{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":\"0x200000A8\","
      "\"sound\":31,\"waveDid\":";
  const Answer plain{0x0A000519, "s.txt:1"};
  const Answer none{std::nullopt, std::nullopt};
  const Answer tricky{0x0A00051A, "C:\\t \"q\"\x01"};
  const Answer wave_only{0x0A000519, std::nullopt};
  struct Case {
    const char* name;
    Answer answer;
    AnswerStyle style;
    std::string line;
  } cases[] = {
      {"wave and source",
       plain,
       {},
       head + "\"0x0A000519\",\"source\":\"s.txt:1\"}"},
      {"null without source", none, {}, head + "null}"},
      {"source escaped",
       tricky,
       {},
       head + "\"0x0A00051A\",\"source\":\"C:\\\\t \\\"q\\\"\\u0001\"}"},
      {"lower-case hex",
       tricky,
       {.lowercase_hex = true, .raw_source = true},
       head + "\"0x0a00051a\",\"source\":\"C:\\t \"q\"\x01\"}"},
      {"wave as a number",
       wave_only,
       {.wave_as_number = true},
       head + "167773465}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(answer_line(request, c.answer, c.style), c.line);
  }
  EXPECT_EQ(error_line("line 2: \"x\"\n"),
            "{\"error\":\"line 2: \\\"x\\\"\\u000a\"}");
}

std::string resolve(const char* table, int sound) {
  return std::string(kHead) + "\"" + table +
         "\",\"sound\":" + std::to_string(sound) + "}";
}

std::string answered(const char* table, int sound, std::string_view wave) {
  return std::string(kHead) + "\"" + table +
         "\",\"sound\":" + std::to_string(sound) +
         ",\"waveDid\":" + std::string(wave);
}

TEST(Serve, AnswersInOrderAndStopsAtQuit) {
  const AnswerTable answers = {
      {{0x20000001, 88}, {0x0A000262, "d:40"}},
      {{0x20000001, 70}, {std::nullopt, "d:52"}},
  };
  std::istringstream in(
      resolve("0x20000001", 88) + "\n" +    // known, with a wave
      "\n  \t\n" +                          // blank lines: no answer
      resolve("0x20000001", 70) + "\r\n" +  // known, null; CRLF
      resolve("0x20000001", 71) + "\n" +    // kind without an answer
      resolve("0x12345678", 88) + "\n" +    // unknown table
      "garbage\n" +                         // line 7: an error line
      "{\"command\":\"quit\"}\n" +          //
      resolve("0x20000001", 88) + "\n");    // after quit: unread
  std::ostringstream out;
  const ServeResult result = serve(in, out, answers);
  EXPECT_EQ(
      out.str(),
      answered("0x20000001", 88, "\"0x0A000262\",\"source\":\"d:40\"}\n") +
          answered("0x20000001", 70, "null,\"source\":\"d:52\"}\n") +
          answered("0x20000001", 71, "null}\n") +
          answered("0x12345678", 88, "null}\n") +
          "{\"error\":\"line 7: not a JSON request: expected '{' at "
          "byte 1\"}\n");
  EXPECT_EQ(result.requests, 4u);
  EXPECT_EQ(result.errors, 1u);
  EXPECT_TRUE(result.quit);
}

TEST(Serve, EndOfInputEndsWithoutQuit) {
  std::istringstream in(resolve("0x1", 1));  // no final line end
  std::ostringstream out;
  const ServeResult result = serve(in, out, {});
  EXPECT_EQ(out.str(), answered("0x00000001", 1, "null}\n"));
  EXPECT_FALSE(result.quit);
}

TEST(Serve, AnswersAnOverlongLineWithAnErrorAndGoesOn) {
  std::istringstream in(std::string(kMaxRequestLine + 1, ' ') + "\n" +
                        std::string(kMaxRequestLine, ' ') + "\n" +
                        resolve("0x1", 1) + "\n");
  std::ostringstream out;
  const ServeResult result = serve(in, out, {});
  EXPECT_EQ(out.str(), "{\"error\":\"line 1: longer than 65536 bytes\"}\n" +
                           answered("0x00000001", 1, "null}\n"));
  EXPECT_EQ(result.errors, 1u);
}

TEST(Serve, MisbehavesAsTold) {
  std::istringstream in(resolve("0x1", 1) + "\n" + resolve("0x1", 2) + "\n" +
                        resolve("0x1", 3) + "\n{\"command\":\"quit\"}\n");
  std::ostringstream out;
  ServeOptions options;
  options.line_end = "\r\n";
  options.banner = true;
  options.answer_quit = true;
  options.drop = 2;
  serve(in, out, {{{1, 3}, {7, std::nullopt}}}, options);
  EXPECT_EQ(out.str(), "gt-terminal-standin ready\r\n" +
                           answered("0x00000001", 1, "null}\r\n") +
                           answered("0x00000001", 3, "\"0x00000007\"}\r\n") +
                           "{\"command\":\"quit\",\"ok\":true}\r\n");
}

}  // namespace
}  // namespace gt_standin
