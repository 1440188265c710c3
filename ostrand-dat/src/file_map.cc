// The directory map: entries sorted by id in storage made for large maps.
#include <algorithm>
#include <cassert>
#include <utility>

#include "map_storage.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

FileMap::FileMap(FileMap&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

FileMap& FileMap::operator=(FileMap&& other) noexcept {
  if (this != &other) {
    FileMap(std::move(other)).swap_with(*this);
  }
  return *this;
}

FileMap::~FileMap() {
  if (data_ != nullptr)
    free_map_storage(data_, capacity_ * sizeof(DatFileEntry));
}

const DatFileEntry* FileMap::find(std::uint32_t id) const {
  const auto all = entries();
  auto it = std::lower_bound(all.begin(), all.end(), id,
                             [](const DatFileEntry& entry, std::uint32_t key) {
                               return entry.id < key;
                             });
  return it != all.end() && it->id == id ? &*it : nullptr;
}

FileMap EntryBuffer::into_map() && {
  assert(std::adjacent_find(items().begin(), items().end(),
                            [](const DatFileEntry& a, const DatFileEntry& b) {
                              return a.id >= b.id;
                            }) == items().end());
  std::size_t size = 0;
  std::size_t capacity = 0;
  DatFileEntry* data = release(size, capacity);
  return FileMap(data, size, capacity);
}

}  // namespace ostrand_dat
