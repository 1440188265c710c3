// Reading a file by pulling: the chain's stored bytes come from a
// ChainStream and, for a compressed entry, go through the stream decoder in
// small pieces, so that what one piece decodes stays within a bound before
// the caller takes it.
#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "block_chain.h"
#include "lrs_stream.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {
namespace {

// Stored bytes fed to the decoder at a time. A token of 2 bytes yields at
// most 17, so one feed decodes at most about 140 KiB, plus a chunk the
// decoder may hand out with it.
constexpr std::size_t kFeedBytes = std::size_t{16} << 10;

}  // namespace

struct FileReader::State {
  State(const BlockChain& blocks, const DatFileEntry& file,
        ReadOptions read_options)
      : chain(blocks),
        entry(file),
        options(read_options),
        stored(chain, file.offset, file.size) {
    if (entry.is_compressed() && !options.raw) decoder.emplace(entry.size);
  }

  // Takes the next step of the read once the bytes handed out so far are
  // gone: the next stored piece from the chain, or a part of it fed to the
  // decoder, whose output lands in `decoded`. False once nothing more
  // will come.
  bool refill();

  const BlockChain chain;
  const DatFileEntry entry;
  const ReadOptions options;
  ChainStream stored;
  std::optional<LrsStreamDecoder> decoder;
  // Stored bytes taken from the chain and not yet handed out (plain) or
  // fed to the decoder (compressed).
  std::span<const std::byte> piece;
  std::vector<std::byte> decoded;  // decoded bytes not yet handed out
  std::size_t decoded_taken = 0;
  std::uint64_t decoded_total = 0;
  std::uint64_t position = 0;
  bool chain_done = false;
  std::optional<DatError> failure;  // reported once the bytes before it are
};

bool FileReader::State::refill() {
  auto keep = [this](std::span<const std::byte> out) {
    decoded.insert(decoded.end(), out.begin(), out.end());
    decoded_total += out.size();
    return true;
  };
  decoded.clear();
  decoded_taken = 0;
  if (!piece.empty()) {
    if (!decoder) return true;  // plain bytes are handed out from `piece`
    if (decoder->ended()) {
      // The rest of the chain is still read, as get_file() reads it all.
      piece = {};
      return true;
    }
    const std::size_t take = std::min(piece.size(), kFeedBytes);
    decoder->feed(piece.first(take), keep);
    piece = piece.subspan(take);
    return true;
  }
  if (chain_done) return false;
  auto next = stored.next();
  if (!next) {
    failure = std::move(next.error());
    chain_done = true;
    if (decoder && !decoder->ended()) decoder->finish(keep);
    return true;
  }
  if (next->empty()) {
    chain_done = true;
    if (!decoder) return false;
    if (!decoder->ended()) decoder->finish(keep);
    const auto declared = decoder->declared_size();
    if (options.strict && declared && decoded_total < *declared) {
      failure = DatError(DatError::DecompressionFailed{*declared});
    }
    return true;
  }
  piece = *next;
  return true;
}

FileReader::FileReader(std::unique_ptr<State> state) noexcept
    : state_(std::move(state)) {}
FileReader::FileReader(FileReader&& other) noexcept = default;
FileReader& FileReader::operator=(FileReader&& other) noexcept = default;
FileReader::~FileReader() = default;

std::expected<std::size_t, DatError> FileReader::read(
    std::span<std::byte> out) {
  State& s = *state_;
  std::size_t filled = 0;
  while (filled < out.size()) {
    const bool from_decoded = s.decoded_taken < s.decoded.size();
    const std::span<const std::byte> from =
        from_decoded
            ? std::span<const std::byte>(s.decoded).subspan(s.decoded_taken)
            : (s.decoder ? std::span<const std::byte>() : s.piece);
    if (from.empty()) {
      if (!s.refill()) break;
      continue;
    }
    const std::size_t n = std::min(from.size(), out.size() - filled);
    std::memcpy(out.data() + filled, from.data(), n);
    filled += n;
    if (from_decoded) {
      s.decoded_taken += n;
    } else {
      s.piece = s.piece.subspan(n);
    }
  }
  if (filled == 0 && s.failure) return std::unexpected(*s.failure);
  s.position += filled;
  return filled;
}

std::uint64_t FileReader::position() const { return state_->position; }
const DatFileEntry& FileReader::entry() const { return state_->entry; }

std::expected<FileReader, DatError> DatDatabase::open_file(
    std::uint32_t id, ReadOptions options) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError(DatError::NotFound{id}));
  return FileReader(std::make_unique<FileReader::State>(
      BlockChain(file_, header_.block_size, file_length_), *entry, options));
}

}  // namespace ostrand_dat
