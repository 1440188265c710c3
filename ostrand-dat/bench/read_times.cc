// Times DatDatabase::get_file of one file: prints the milliseconds of each
// of N reads, one per line, after checking that each gave the same size.
// The anchor of the Python package's archive.read (python/bench/).
//   read_times ARCHIVE ID N
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "ostrand_dat/ostrand_dat.h"

int main(int argc, char** argv) {
  if (argc != 4) return std::fprintf(stderr, "usage: read_times ARCHIVE ID N\n"), 2;
  auto db = ostrand_dat::DatDatabase::open(argv[1]);
  if (!db) return std::fprintf(stderr, "%s\n", debug_string(db.error()).c_str()), 1;
  const auto id = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
  const int runs = std::atoi(argv[3]);
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    auto bytes = db->get_file(id);
    std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - start;
    if (!bytes) return std::fprintf(stderr, "%s\n", debug_string(bytes.error()).c_str()), 1;
    std::printf("%.3f %zu\n", took.count(), bytes->size());
  }
}
