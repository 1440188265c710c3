// A program outside the library, as a user would write it: opens an archive,
// fetches a sound table and resolves one kind, through the installed
// headers only.
//   consumer ARCHIVE TABLE_ID KIND     (numbers in decimal or 0x hex)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/version.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s ARCHIVE TABLE_ID KIND\n", argv[0]);
    return 2;
  }
  using namespace ostrand_dat;
  const auto table_id = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
  const auto kind = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 0));
  auto db = DatDatabase::open(argv[1]);
  if (!db) return std::fprintf(stderr, "%s\n", debug_string(db.error()).c_str()), 1;
  auto bytes = db->get_file(table_id);
  if (!bytes) return std::fprintf(stderr, "%s\n", debug_string(bytes.error()).c_str()), 1;
  auto table = file_type::SoundTable::unpack(*bytes);
  if (!table) return std::fprintf(stderr, "%s\n", debug_string(table.error()).c_str()), 1;
  const auto wave = table->resolve_sound(kind);
  std::printf("ostrand_dat %s: %zu files, kind 0x%02X -> %s\n",
              std::string(kVersionString).c_str(), db->files().size(),
              static_cast<unsigned>(kind),
              wave ? ("Some(" + std::to_string(*wave) + ")").c_str() : "None");
  return 0;
}
