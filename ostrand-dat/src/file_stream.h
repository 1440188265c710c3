// Streaming a stored file: its chain read in batches of blocks and, for a
// compressed entry, decoded as the stored bytes arrive, in bounded memory.
// get_file, read_file and the streamed read_file_data are made of this.
#ifndef OSTRAND_DAT_SRC_FILE_STREAM_H_
#define OSTRAND_DAT_SRC_FILE_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

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

// A file's bytes pulled a piece at a time: the stored bytes of a chain as
// they are, or an entry's contents, decoded when it is compressed. Joined,
// the pieces are exactly what read_file_data() or get_file() returns; a
// failure is the one they fail with, reported after every byte read and
// decoded before it has been handed out. Memory: the chain's buffer and the
// decoder's window, a few hundred KiB at most whatever the file or block
// size. Borrows the chain; one thread.
class FileStream {
 public:
  // The `size` stored bytes of the chain at `offset`.
  FileStream(const BlockChain& chain, std::uint32_t offset, std::uint32_t size,
             StreamPieces pieces = {}, BlockObserver observer = {});
  // The contents of `entry`.
  FileStream(const BlockChain& chain, const DatFileEntry& entry,
             StreamPieces pieces = {}, BlockObserver observer = {});

  // The next piece, valid until the next call; empty at the end. After a
  // failure the stream is done.
  std::expected<std::span<const std::byte>, DatError> next();
  // The next bytes, at most out.size(), into `out`: how many, 0 at the
  // end. Stored bytes are read straight into `out`.
  std::expected<std::size_t, DatError> read(std::span<std::byte> out);

  // The size of the whole stream when it is known before reading (stored
  // bytes, of an item that can be in the file): what read() can fill in
  // place.
  std::optional<std::uint64_t> exact_size() const;
  // For a decoded stream, once its size prefix has arrived: the size it
  // declares, and the most it can decode to.
  std::optional<std::uint32_t> declared_size() const;
  std::optional<std::uint64_t> output_limit() const;

 private:
  std::expected<std::span<const std::byte>, DatError> next_decoded();

  ChainStream stored_;
  std::uint64_t stored_size_;
  std::uint64_t file_length_;
  std::optional<LrsStreamDecoder> decoder_;
  std::span<const std::byte> input_;    // stored bytes not yet decoded
  std::span<const std::byte> pending_;  // decoded bytes read() left over
  std::optional<DatError> failure_;     // to report on the next call
};

// Every byte of `stream` collected into one vector, or its failure: the
// whole-file reads.
std::expected<std::vector<std::byte>, DatError> collect(FileStream& stream);

// Hands `sink` the `size` stored bytes of the chain at `offset`: exactly
// what gather() fills, or its failure after the bytes before it.
std::expected<FileReadSummary, DatError> stream_stored(
    const BlockChain& chain, std::uint32_t offset, std::uint32_t size,
    const FileSink& sink, StreamPieces pieces = {});

// Hands `sink` the contents of `entry`, decoded when it is compressed:
// exactly what get_file() returns for it, or its failure after the bytes
// before it.
std::expected<FileReadSummary, DatError> stream_contents(
    const BlockChain& chain, const DatFileEntry& entry, const FileSink& sink,
    StreamPieces pieces = {});

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_FILE_STREAM_H_
