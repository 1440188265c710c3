// Replays saved inputs through a fuzz target without libFuzzer, so that a
// normal (g++, ASan/UBSan) build runs every seed and every past finding as
// a regression test. Arguments are files or directories; a directory
// contributes its regular files, in name order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

namespace {

namespace fs = std::filesystem;

// The inputs named by `argument`, or false after printing why there are none.
bool collect(const fs::path& argument, std::vector<fs::path>& inputs) {
  std::error_code error;
  if (fs::is_directory(argument, error)) {
    std::vector<fs::path> found;
    for (fs::directory_iterator it(argument, error), end; !error && it != end;
         it.increment(error)) {
      if (it->is_regular_file(error)) found.push_back(it->path());
    }
    if (error) {
      std::fprintf(stderr, "error: cannot list %s: %s\n", argument.c_str(),
                   error.message().c_str());
      return false;
    }
    std::sort(found.begin(), found.end());
    inputs.insert(inputs.end(), found.begin(), found.end());
    return true;
  }
  if (fs::is_regular_file(argument, error)) {
    inputs.push_back(argument);
    return true;
  }
  std::fprintf(stderr, "error: %s: %s\n", argument.c_str(),
               error ? error.message().c_str()
                     : "not a regular file or directory");
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "Usage: %s FILE_OR_DIRECTORY...\n"
                 "Runs each file (each regular file of each directory) "
                 "through the fuzz target once.\n",
                 argc > 0 ? argv[0] : "replay");
    return 2;
  }
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!collect(argv[i], inputs)) return 1;
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "error: no inputs to replay\n");
    return 1;
  }
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                            std::istreambuf_iterator<char>());
    if (in.bad() || !in.is_open()) {
      std::fprintf(stderr, "error: cannot read %s\n", path.c_str());
      return 1;
    }
    // Named before running, so that a crash report says which input it was.
    std::fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stderr);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           bytes.size());
  }
  std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
  return 0;
}
