// Reading a file by pulling: the same FileStream that every other read of
// a file is made of, filling the caller's buffer.
#include <optional>
#include <utility>

#include "block_chain.h"
#include "file_stream.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

struct FileReader::State {
  State(const BlockChain& blocks, const DatFileEntry& file,
        ReadOptions read_options)
      : chain(blocks),
        entry(file),
        options(read_options),
        stream(options.raw ? FileStream(chain, file.offset, file.size)
                           : FileStream(chain, file)) {}

  const BlockChain chain;  // the stream borrows it
  const DatFileEntry entry;
  const ReadOptions options;
  FileStream stream;
  std::uint64_t position = 0;
  std::optional<DatError> failure;  // reported once the bytes before it are
};

FileReader::FileReader(std::unique_ptr<State> state) noexcept
    : state_(std::move(state)) {}
FileReader::FileReader(FileReader&& other) noexcept = default;
FileReader& FileReader::operator=(FileReader&& other) noexcept = default;
FileReader::~FileReader() = default;

std::expected<std::size_t, DatError> FileReader::read(
    std::span<std::byte> out) {
  State& s = *state_;
  std::size_t filled = 0;
  while (filled < out.size() && !s.failure) {
    auto n = s.stream.read(out.subspan(filled));
    if (!n) {
      s.failure = std::move(n.error());
    } else if (*n == 0) {
      // The end: a strict read of a stream that ended before its declared
      // size fails there.
      const auto declared = s.stream.declared_size();
      if (s.options.strict && !s.options.raw && declared &&
          s.position + filled < *declared) {
        s.failure = DatError(DatError::DecompressionFailed{*declared});
      }
      break;
    } else {
      filled += *n;
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
