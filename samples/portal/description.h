// The plain-text description of the synthetic sample archive: its block
// size, its sound tables record by record, its other files, and the
// deliberate disagreements of the drift demonstration. The format is told
// at the top of samples/portal/client_portal.txt.
#ifndef SAMPLES_PORTAL_DESCRIPTION_H_
#define SAMPLES_PORTAL_DESCRIPTION_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ostrand_dat/file_type/sound_table.h"

namespace portal_sample {

// Wave stubs a single `waves` line may make; keeps a typo from making an
// archive of millions of files.
inline constexpr std::uint32_t kMaxWavesPerLine = 65536;

struct SoundRecord {
  std::uint32_t kind = 0;
  ostrand_dat::file_type::SoundData data;
  std::size_t line = 0;  // where the record stands in the description
};

struct TableDescription {
  std::uint32_t id = 0;
  std::int32_t hash_key = 0;
  bool compress = false;
  std::vector<std::pair<std::uint32_t, ostrand_dat::file_type::SoundHashData>>
      hashes;                       // in the order written, repeats kept
  std::vector<SoundRecord> sounds;  // in the order written, repeats kept
};

// A file that is not a sound table: a wave stub or a text.
struct FileDescription {
  std::uint32_t id = 0;
  std::string data;
  bool compress = false;
};

// An answer that answers-drift.txt gives instead of the sample's.
struct DriftDescription {
  std::uint32_t table_id = 0;
  std::uint32_t sound = 0;
  std::optional<std::uint32_t> wave;
  std::size_t line = 0;
};

struct Description {
  std::uint32_t block_size = 0;
  std::vector<TableDescription> tables;
  std::vector<FileDescription> files;
  std::vector<DriftDescription> drifts;
};

// The contents of wave stub `id`: a short line naming it.
std::string wave_stub(std::uint32_t id);

// Reads a description. Every file id is described once; `block-size` is
// given once, before any file. Fails with "<name>:<line>: <what is wrong>".
std::expected<Description, std::string> parse_description(
    std::string_view text, std::string_view name);

}  // namespace portal_sample

#endif  // SAMPLES_PORTAL_DESCRIPTION_H_
