// The built stand-in run as a process: its conversation, its usage and
// table errors, and a failed write of its answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

extern char** environ;

namespace samples_test {
namespace {

const std::string kStandin = GT_TERMINAL_STANDIN;

// A fresh directory of this process's own, removed with its contents when
// released: tests of several builds may run at the same time.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::path(::testing::TempDir()) / "standin-XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp " << pattern << ": errno " << errno;
    }
    path_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  // Writes `text` to the file `name` in the directory; returns its path.
  std::string write(const std::string& name, std::string_view text) const {
    const std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::string read(const std::string& name) const {
    std::ifstream file(path_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

 private:
  std::string path_;
};

struct ChildRun {
  int exit_code = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` (searched on PATH when it has no '/') with `args`, its
// standard input read from a file holding `input` and its two outputs
// written to files, so no pipe can fill up. A failure to start it fails
// the test and gives exit_code -1.
ChildRun run(const std::string& program, const std::vector<std::string>& args,
             std::string_view input = "") {
  ScratchDir dir;
  const std::string in = dir.write("in", input);
  const std::string out = dir.write("out", "");
  const std::string err = dir.write("err", "");

  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  int rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "posix_spawn_file_actions_init: errno " << rc;
    return {};
  }
  const struct {
    int fd;
    const std::string& path;
    int flags;
  } routes[] = {{0, in, O_RDONLY}, {1, out, O_WRONLY}, {2, err, O_WRONLY}};
  for (const auto& route : routes) {
    if (rc != 0) break;
    rc = posix_spawn_file_actions_addopen(&actions, route.fd,
                                          route.path.c_str(), route.flags, 0);
  }
  pid_t pid = 0;
  if (rc == 0) {
    rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(),
                      environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  while (rc == 0 && ::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) rc = errno;
  }
  if (rc != 0) {
    ADD_FAILURE() << "cannot run " << program << ": errno " << rc;
    return {};
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, dir.read("out"),
          dir.read("err")};
}

TEST(StandinRun, HandlesRequestsErrorsAndQuit) {
  ScratchDir dir;
  const std::string table =
      dir.write("answers.txt", "0x20000001 88 0x0A000262 here\n");
  const std::string head =
      "{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":";
  const std::string input =
      head + "\"0x20000001\",\"sound\":88}\n" + head +
      "\"0x20000002\",\"sound\":88}\n" + "{\"command\":\"frob\"}\n" +
      "{\"command\":\"quit\"}\n" + head + "\"0x20000001\",\"sound\":88}\n";
  struct Case {
    const char* name;
    std::string input;
    std::string out;
  } cases[] = {
      {"answers, null, error line, nothing after quit", input,
       head +
           "\"0x20000001\",\"sound\":88,\"waveDid\":\"0x0A000262\","
           "\"source\":\"here\"}\n" +
           head + "\"0x20000002\",\"sound\":88,\"waveDid\":null}\n" +
           "{\"error\":\"line 3: unknown command \\\"frob\\\"; expected "
           "\\\"quillon-resolve-sound\\\" or \\\"quit\\\"\"}\n"},
      {"end of input without quit",
       input.substr(0, input.find("{\"command\":\"frob")),
       head +
           "\"0x20000001\",\"sound\":88,\"waveDid\":\"0x0A000262\","
           "\"source\":\"here\"}\n" +
           head + "\"0x20000002\",\"sound\":88,\"waveDid\":null}\n"},
      {"no input", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildRun r = run(kStandin, {table, "--stdin"}, c.input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST(StandinRun, ReportsUsageTableAndWriteFailures) {
  ScratchDir dir;
  const std::string bad = dir.write("bad.txt", "0x1 2 0x3\nflag\n");
  const std::string good = dir.write("good.txt", "0x1 2 0x3\n");
  const std::string request =
      "{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":\"0x1\","
      "\"sound\":2}\n";
  struct Case {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    int exit_code;
    std::string err_start;
  } cases[] = {
      {"no table",
       kStandin,
       {"--stdin"},
       2,
       "gt-terminal-standin: no answer table given\nusage: "},
      {"two tables",
       kStandin,
       {good, good},
       2,
       "gt-terminal-standin: more than one answer table: "},
      {"unknown option",
       kStandin,
       {good, "--verbose"},
       2,
       "gt-terminal-standin: unknown option --verbose\nusage: "},
      {"missing table",
       kStandin,
       {"/nonexistent/answers.txt"},
       2,
       "gt-terminal-standin: cannot read /nonexistent/answers.txt: No such "
       "file or directory\n"},
      {"bad table line",
       kStandin,
       {bad},
       2,
       "gt-terminal-standin: " + bad +
           ":2: table id \"flag\" is not a hexadecimal u32\n"},
      {"answers cannot be written",
       "/bin/sh",
       {"-c", "exec \"$0\" \"$1\" >/dev/full", kStandin, good},
       1,
       "gt-terminal-standin: cannot write the answers to standard output\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildRun r = run(c.program, c.args, request);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_TRUE(r.err.starts_with(c.err_start)) << r.err;
    EXPECT_EQ(r.out, "");
  }
  ChildRun help = run(kStandin, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.out.starts_with("usage: gt-terminal-standin ANSWER_TABLE"))
      << help.out;
  EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
}

TEST(StandinRun, VersionPrintsTheProjectVersionAndRunsNothing) {
  // The project's version, as the top-level project() declares it.
  const std::string version = PROJECT_VERSION;
  ASSERT_FALSE(version.empty());
  ASSERT_EQ(version.find_first_not_of("0123456789."), std::string::npos);
  ScratchDir dir;
  const std::string bad = dir.write("bad.txt", "not a table\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"},
        std::vector<std::string>{"--stdin", "--version", bad}}) {
    SCOPED_TRACE(args.back());
    ChildRun r = run(kStandin, args, "{\"command\":\"quit\"}\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "gt-terminal-standin " + version + "\n");
    EXPECT_EQ(r.err, "");
  }
}

}  // namespace
}  // namespace samples_test
