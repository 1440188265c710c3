// Streaming a stored file: its chain read in batches of blocks and, for a
// compressed entry, decoded as the stored bytes arrive, in bounded memory.
// DatDatabase::read_file and read_file_data are made of this.
#ifndef OSTRAND_DAT_SRC_FILE_STREAM_H_
#define OSTRAND_DAT_SRC_FILE_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <expected>

#include "block_chain.h"
#include "lrs_stream.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

// The sizes of the pieces a stream works in. The defaults serve the
// library; the tests vary them to cut files every way.
struct StreamPieces {
  std::size_t batch_bytes = ChainStream::kDefaultBatchBytes;  // stored bytes
  std::size_t chunk = LrsStreamDecoder::kChunk;               // decoded bytes
};

// Hands `sink` the `size` stored bytes of the chain at `offset`: exactly
// what gather() fills, or its failure.
std::expected<FileReadSummary, DatError> stream_stored(
    const BlockChain& chain, std::uint32_t offset, std::uint32_t size,
    const FileSink& sink, StreamPieces pieces = {});

// Hands `sink` the contents of `entry`, decoded when it is compressed:
// exactly what get_file() returns for it, or its failure.
std::expected<FileReadSummary, DatError> stream_contents(
    const BlockChain& chain, const DatFileEntry& entry, const FileSink& sink,
    StreamPieces pieces = {});

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_FILE_STREAM_H_
