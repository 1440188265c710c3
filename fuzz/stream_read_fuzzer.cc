// Any bytes as an archive, every listed file read whole (get_file,
// read_file_data), streamed in pieces whose sizes the input picks, and
// pulled through a FileReader into a buffer whose size it picks: the
// same bytes or the same error, and before an error every byte of the file
// that lies in the archive, decoded when it is compressed. Chains in any
// order and archives cut anywhere come from the input.
//
// The input: 4 bytes that pick the stored batch and the decoded chunk of
// the stream, then the archive from its header on (the 320 bytes before
// the header, which nothing reads, are zeros).
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "block_chain.h"
#include "file_stream.h"
#include "fuzz_support.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/file.h"
#include "ostrand_dat/ostrand_dat.h"
#include "plain_reference.h"

namespace {

using ostrand_dat::DatError;
using ostrand_dat::FileReadSummary;
using ostrand_fuzz::check;
using Bytes = std::vector<std::byte>;

constexpr std::size_t kMaxFilesRead = 64;
constexpr std::uint64_t kMaxBytesRead = 16ull << 20;

std::string outcome(const std::expected<Bytes, DatError>& whole) {
  return whole ? "bytes" : ostrand_dat::debug_string(whole.error());
}

// The streamed bytes joined, checked against `whole`, and on failure
// against `prefix`, what lies in the file before the damage.
void check_stream(const std::expected<Bytes, DatError>& whole,
                  const std::expected<FileReadSummary, DatError>& summary,
                  const Bytes& joined, const Bytes& prefix) {
  check(summary.has_value() == whole.has_value(),
        "the stream fails exactly when the whole read does");
  if (!summary) {
    check(ostrand_dat::debug_string(summary.error()) == outcome(whole),
          "the stream fails with the whole read's error");
    check(joined == prefix,
          "the stream hands on every byte before the failure");
    return;
  }
  check(joined == *whole, "the stream hands over the whole read's bytes");
  check(summary->size == joined.size() && !summary->stopped,
        "the summary counts what was handed over");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 4) return 0;
  const ostrand_dat::StreamPieces pieces{
      .batch_bytes = 1 + (std::size_t{data[0]} << 10 | data[1]),
      .chunk = 256 + (std::size_t{data[2]} << 9 | std::size_t{data[3]} << 1)};
  const std::size_t pull = 1 + (std::size_t{data[1]} << 8 | data[3]);
  const ostrand_fuzz::ScratchFile scratch =
      ostrand_fuzz::archive_from_header(ostrand_fuzz::as_bytes(data + 4, size - 4));
  const std::uint64_t archive_size = ostrand_dat::DatHeader::kFileOffset + (size - 4);

  auto db = ostrand_dat::DatDatabase::open(scratch.path());
  if (!db) return 0;
  auto file = ostrand_dat::File::open_read_only(scratch.path());
  check(file.has_value(), "the scratch file opens again");
  const ostrand_dat::BlockChain chain(*file, db->header().block_size,
                                      archive_size);
  std::size_t files_read = 0;
  std::uint64_t bytes_read = 0;
  const std::uint32_t block_size = db->header().block_size;
  for (const auto& entry : db->files()) {
    if (files_read++ == kMaxFilesRead || bytes_read > kMaxBytesRead) break;
    Bytes joined;
    auto join = [&joined](std::span<const std::byte> piece) {
      check(!piece.empty(), "no empty pieces");
      joined.insert(joined.end(), piece.begin(), piece.end());
      return true;
    };

    // What the chain holds before the file ends (an item larger than the
    // file fails before anything is read).
    const Bytes prefix =
        entry.size > archive_size
            ? Bytes()
            : ostrand_dat::plain::gather_prefix(*file, archive_size,
                                                block_size, entry.offset,
                                                entry.size);
    const auto stored = db->read_file_data(entry.offset, entry.size);
    check_stream(stored,
                 ostrand_dat::stream_stored(chain, entry.offset, entry.size,
                                            join, pieces),
                 joined, prefix);

    const auto contents = db->get_file(entry.id);
    joined.clear();
    const auto streamed =
        ostrand_dat::stream_contents(chain, entry, join, pieces);
    const bool decodes = entry.is_compressed() && entry.size >= 4;
    const Bytes contents_prefix =
        !decodes ? prefix
        : prefix.size() < 4 ? Bytes()
                            : ostrand_dat::plain::decompress(prefix);
    check_stream(contents, streamed, joined, contents_prefix);
    if (streamed && entry.is_compressed() && entry.size >= 4) {
      check(streamed->declared_size.has_value(),
            "a compressed entry of 4 or more bytes declares its size");
    }
    // Pulled: the same bytes, then the same error on every later call.
    auto reader = db->open_file(entry.id);
    check(reader.has_value(), "a listed file opens for reading");
    joined.clear();
    Bytes buffer(pull);
    std::expected<std::size_t, DatError> got;
    while ((got = reader->read(buffer)) && *got != 0) {
      joined.insert(joined.end(), buffer.begin(), buffer.begin() + *got);
    }
    if (got) {
      check(contents && joined == *contents && reader->read(buffer) == 0u,
            "a reader hands over the whole read's bytes, then nothing");
    } else {
      check(!contents, "a reader fails only where the whole read does");
      check(ostrand_dat::debug_string(got.error()) == outcome(contents) &&
                !reader->read(buffer),
            "a reader fails with the whole read's error, and again");
      check(joined == contents_prefix, "a reader hands over every byte before the failure");
    }
    check(reader->position() == joined.size(), "a reader counts its bytes");
    if (contents) bytes_read += contents->size();
  }
  return 0;
}
