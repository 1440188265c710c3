// Files the input describes, at a block size it picks, written by both
// writers: the stream writer (files in ascending id order, some tried and
// abandoned first) gives the bytes build() gives; the archive opens and
// gives every file back; and the check finds nothing in it.
//
// The input: 2 bytes that pick the block size (5 to 2052), then records of
// a flags byte (bit 0: compress; bit 1: abandon a try first), a 2-byte id,
// a 2-byte length, a count n and n bytes, which the file's data repeats up
// to its length (so that short inputs make long files).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "ostrand_dat/check.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/writer.h"

namespace {

using ostrand_fuzz::check;
using Bytes = std::vector<std::byte>;

struct File {
  bool compress = false;
  bool abandon_first = false;
  Bytes data;
};

// The records, the last of one id kept (as ArchiveWriter::add keeps it).
std::map<std::uint32_t, File> files_of(std::span<const std::byte> input) {
  std::map<std::uint32_t, File> files;
  auto byte = [&](std::size_t at) { return std::to_integer<unsigned>(input[at]); };
  std::size_t at = 0;
  // Kept low, for many runs a second: each compressed file makes an
  // encoder's tables anew.
  std::size_t total = 0;
  std::size_t compressed = 0;
  while (at + 6 <= input.size() && files.size() < 400 && total < (64 << 10)) {
    File file{(byte(at) & 1) != 0 && compressed++ < 16, (byte(at) & 2) != 0, {}};
    const std::uint32_t id = byte(at + 1) | byte(at + 2) << 8;
    const std::size_t length = byte(at + 3) | byte(at + 4) << 8;
    const std::size_t count = byte(at + 5);
    at += 6;
    const auto source = input.subspan(at, std::min(input.size() - at, count));
    for (std::size_t i = 0; !source.empty() && i < length; ++i) {
      file.data.push_back(source[i % source.size()]);
    }
    at += source.size();
    total += file.data.size();
    files[id] = std::move(file);
  }
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t block_size = 5 + (std::uint32_t{data[0]} << 8 | data[1]) % 2048;
  const auto files = files_of(ostrand_fuzz::as_bytes(data + 2, size - 2));

  ostrand_dat::ArchiveWriter writer(block_size);
  for (const auto& [id, file] : files) {
    writer.add({.id = id, .data = file.data, .compress = file.compress,
                .timestamp = id ^ 0x5A5A, .version = id + 1});
  }
  auto built = writer.build();
  check(built.has_value(), "a small archive builds");

  Bytes streamed;
  auto stream = ostrand_dat::ArchiveStreamWriter::create(
      block_size, [&streamed](std::uint64_t offset, std::span<const std::byte> bytes)
                      -> std::expected<void, ostrand_dat::IoError> {
        if (offset + bytes.size() > streamed.size()) {
          streamed.resize(offset + bytes.size());
        }
        std::memcpy(streamed.data() + offset, bytes.data(), bytes.size());
        return {};
      });
  check(stream.has_value(), "the stream writer takes the block size");
  for (const auto& [id, file] : files) {
    const Bytes stored =
        file.compress ? ostrand_dat::compress_lrs(file.data) : file.data;
    if (file.abandon_first) {
      stream->begin_file({.id = id});
      check(stream->write(stored).has_value(), "a try is written");
      stream->abandon();
    }
    stream->begin_file({.bit_flags = file.compress ? 1u : 0u, .id = id,
                        .timestamp = id ^ 0x5A5A, .version = id + 1});
    check(stream->write(stored).has_value() && stream->end_file().has_value(),
          "a file is written");
  }
  auto streamed_size = stream->finish();
  check(streamed_size.has_value() && *streamed_size <= streamed.size(),
        "the stream writer finishes");
  streamed.resize(*streamed_size);
  check(streamed == *built, "the stream writer writes what build() builds");

  ostrand_fuzz::ScratchFile scratch(*built);
  auto db = ostrand_dat::DatDatabase::open(scratch.path());
  check(db.has_value(), "a written archive opens");
  check(db->files().size() == files.size(), "every file is listed once");
  for (const auto& [id, file] : files) {
    auto contents = db->get_file(id);
    check(contents.has_value() && *contents == file.data,
          "every file reads back as written");
  }
  auto found = ostrand_dat::check_archive(scratch.path());
  check(found.has_value() && found->findings.empty() &&
            found->entries == files.size(),
        "the check finds nothing in a written archive");
  return 0;
}
