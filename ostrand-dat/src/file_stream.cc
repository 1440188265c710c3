#include "file_stream.h"

#include <span>
#include <utility>

namespace ostrand_dat {

std::expected<FileReadSummary, DatError> stream_stored(const BlockChain& chain,
                                                       std::uint32_t offset,
                                                       std::uint32_t size,
                                                       const FileSink& sink,
                                                       StreamPieces pieces) {
  ChainStream stored(chain, offset, size, pieces.batch_bytes);
  FileReadSummary summary;
  // Invariant: summary.size bytes of the item have gone to the sink.
  while (true) {
    auto piece = stored.next();
    if (!piece) return std::unexpected(std::move(piece.error()));
    if (piece->empty()) return summary;
    summary.size += piece->size();
    if (!sink(*piece)) {
      summary.stopped = true;
      return summary;
    }
  }
}

// The stored bytes go through the decoder as they arrive. Once decoding has
// ended on its own, the rest of the chain is still read, unused: get_file()
// reads every stored byte before it decodes, and fails where the chain
// does, so this read must too.
std::expected<FileReadSummary, DatError> stream_contents(
    const BlockChain& chain, const DatFileEntry& entry, const FileSink& sink,
    StreamPieces pieces) {
  if (!entry.is_compressed()) {
    return stream_stored(chain, entry.offset, entry.size, sink, pieces);
  }
  ChainStream stored(chain, entry.offset, entry.size, pieces.batch_bytes);
  LrsStreamDecoder decoder(entry.size, pieces.chunk);
  FileReadSummary summary;
  auto hand_on = [&](std::span<const std::byte> decoded) {
    summary.size += decoded.size();
    summary.stopped = !sink(decoded);
    return !summary.stopped;
  };
  while (true) {
    auto piece = stored.next();
    if (!piece) return std::unexpected(std::move(piece.error()));
    if (piece->empty()) break;
    if (!decoder.ended()) {
      decoder.feed(*piece, hand_on);
      if (summary.stopped) return summary;
    }
  }
  summary.declared_size = decoder.declared_size();
  return summary;
}

}  // namespace ostrand_dat
