#include "file_stream.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

namespace ostrand_dat {

FileStream::FileStream(const BlockChain& chain, std::uint32_t offset,
                       std::uint32_t size, StreamPieces pieces,
                       BlockObserver observer)
    : stored_(chain, offset, size, pieces.batch_bytes, std::move(observer)),
      stored_size_(size),
      file_length_(chain.file_length()) {}

// A compressed entry of fewer than 4 stored bytes holds no size prefix: its
// stored bytes are its contents.
FileStream::FileStream(const BlockChain& chain, const DatFileEntry& entry,
                       StreamPieces pieces, BlockObserver observer)
    : FileStream(chain, entry.offset, entry.size, pieces, std::move(observer)) {
  if (entry.is_compressed() && entry.size >= 4) {
    decoder_.emplace(entry.size, pieces.chunk);
  }
}

std::optional<std::uint64_t> FileStream::exact_size() const {
  if (decoder_ || stored_size_ > file_length_) return std::nullopt;
  return stored_size_;
}

std::optional<std::uint32_t> FileStream::declared_size() const {
  return decoder_ ? decoder_->declared_size() : std::nullopt;
}

std::optional<std::uint64_t> FileStream::output_limit() const {
  return decoder_ ? decoder_->output_limit() : std::nullopt;
}

std::expected<std::span<const std::byte>, DatError> FileStream::next() {
  if (!decoder_) return stored_.next();
  if (!pending_.empty()) return std::exchange(pending_, {});
  return next_decoded();
}

std::expected<std::size_t, DatError> FileStream::read(
    std::span<std::byte> out) {
  if (!decoder_) return stored_.read(out);
  if (out.empty()) return 0;
  if (pending_.empty()) {
    auto piece = next_decoded();
    if (!piece) return std::unexpected(std::move(piece.error()));
    pending_ = *piece;
  }
  const std::size_t n = std::min(out.size(), pending_.size());
  if (n != 0) std::memcpy(out.data(), pending_.data(), n);
  pending_ = pending_.subspan(n);
  return n;
}

// Stored pieces go through the decoder as they arrive. When the chain
// fails, what the stored bytes before the failure decode to is handed out
// first. Once decoding has ended on its own, the rest of the chain is still
// read, unused: get_file() fails where the chain does, however early its
// decoding ends.
std::expected<std::span<const std::byte>, DatError> FileStream::next_decoded() {
  if (failure_) {
    DatError error = std::move(*failure_);
    failure_.reset();
    return std::unexpected(std::move(error));
  }
  // Each round takes decoded bytes, or stored bytes from the chain, which
  // ends after at most `size` stored bytes.
  while (true) {
    if (decoder_->decode(input_)) {
      const auto decoded = decoder_->take();
      if (!decoded.empty()) return decoded;
      continue;
    }
    // All of input_ is used, or decoding has ended with nothing to take.
    auto piece = stored_.next();
    if (decoder_->ended()) {
      if (!piece) return std::unexpected(std::move(piece.error()));
      if (piece->empty()) return *piece;
      continue;
    }
    if (!piece) {
      decoder_->end_input();
      const auto decoded = decoder_->take();
      if (decoded.empty()) return std::unexpected(std::move(piece.error()));
      failure_ = std::move(piece.error());
      return decoded;
    }
    if (piece->empty()) decoder_->end_input();
    input_ = *piece;
  }
}

// Stored bytes are read in place; decoded ones are gathered in a vector
// reserved once, when the size prefix has arrived, for the most they can
// decode to (as decompress_lrs reserves), so that it never moves.
std::expected<std::vector<std::byte>, DatError> collect(FileStream& stream) {
  std::vector<std::byte> out;
  if (const auto size = stream.exact_size()) {
    out.resize(static_cast<std::size_t>(*size));
    for (std::size_t filled = 0; filled < out.size();) {
      auto read = stream.read(std::span(out).subspan(filled));
      if (!read) return std::unexpected(std::move(read.error()));
      assert(*read != 0);  // the stream ends only after exact_size bytes
      filled += *read;
    }
    return out;
  }
  while (true) {
    auto piece = stream.next();
    if (!piece) return std::unexpected(std::move(piece.error()));
    if (piece->empty()) return out;
    if (out.capacity() == 0) {
      if (const auto limit = stream.output_limit()) {
        out.reserve(static_cast<std::size_t>(*limit));
      }
    }
    out.insert(out.end(), piece->begin(), piece->end());
  }
}

namespace {

std::expected<FileReadSummary, DatError> stream_into(FileStream& stream,
                                                     const FileSink& sink) {
  FileReadSummary summary;
  // Invariant: summary.size bytes of the stream have gone to the sink.
  while (true) {
    auto piece = stream.next();
    if (!piece) return std::unexpected(std::move(piece.error()));
    if (piece->empty()) break;
    summary.size += piece->size();
    if (!sink(*piece)) {
      summary.stopped = true;
      break;
    }
  }
  summary.declared_size = stream.declared_size();
  return summary;
}

}  // namespace

std::expected<FileReadSummary, DatError> stream_stored(const BlockChain& chain,
                                                       std::uint32_t offset,
                                                       std::uint32_t size,
                                                       const FileSink& sink,
                                                       StreamPieces pieces) {
  FileStream stream(chain, offset, size, pieces);
  return stream_into(stream, sink);
}

std::expected<FileReadSummary, DatError> stream_contents(
    const BlockChain& chain, const DatFileEntry& entry, const FileSink& sink,
    StreamPieces pieces) {
  FileStream stream(chain, entry, pieces);
  return stream_into(stream, sink);
}

}  // namespace ostrand_dat
