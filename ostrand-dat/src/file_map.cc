// The directory map: entries sorted by id in storage made for large maps.
#include <algorithm>
#include <cassert>
#include <new>
#include <utility>

#include "map_storage.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

FileMap::FileMap() noexcept = default;

FileMap::FileMap(std::unique_ptr<Storage> storage) noexcept
    : storage_(std::move(storage)) {
  if (storage_ != nullptr) entries_ = {storage_->data, storage_->size};
}

FileMap::FileMap(FileMap&& other) noexcept
    : storage_(std::move(other.storage_)),
      entries_(std::exchange(other.entries_, {})) {}

FileMap& FileMap::operator=(FileMap&& other) noexcept {
  storage_ = std::move(other.storage_);
  entries_ = std::exchange(other.entries_, {});
  return *this;
}

FileMap::~FileMap() = default;

const DatFileEntry* FileMap::find(std::uint32_t id) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), id,
                             [](const DatFileEntry& entry, std::uint32_t key) {
                               return entry.id < key;
                             });
  return it != entries_.end() && it->id == id ? &*it : nullptr;
}

std::optional<FileMap> EntryBuffer::into_map() && {
  assert(std::adjacent_find(items().begin(), items().end(),
                            [](const DatFileEntry& a, const DatFileEntry& b) {
                              return a.id >= b.id;
                            }) == items().end());
  auto* storage = new (std::nothrow) FileMap::Storage(nullptr, 0, 0);
  if (storage == nullptr) return std::nullopt;
  storage->data = release(storage->size, storage->capacity);
  return FileMap(std::unique_ptr<FileMap::Storage>(storage));
}

}  // namespace ostrand_dat
