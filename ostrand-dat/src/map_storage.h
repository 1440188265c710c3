// The growable buffer of entries that the directory walk fills and the
// directory map then owns, 24 bytes per entry, tens of megabytes filled
// front to back on a large archive.
#ifndef OSTRAND_DAT_SRC_MAP_STORAGE_H_
#define OSTRAND_DAT_SRC_MAP_STORAGE_H_

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "ostrand_dat/ostrand_dat.h"
#include "platform/map_memory.h"

namespace ostrand_dat {

// A growable array in map storage, appended front to back, for the
// directory walk's entries and the notes it keeps beside them. New slots are
// handed out unwritten: the walk writes every one in whole right after, and
// a second pass over tens of megabytes is what that saves. A small array
// stays in one small allocation; a larger one moves at once to storage from
// the system, whose pages are taken only as they are written, and from there
// doubles by remapping, so no buffer in between is filled and copied.
// Nothing throws: when memory runs out, extend() and reserve() say so and
// the contents stay as they were. Move-only; one thread.
template <class T>
class MapBuffer {
  static_assert(std::is_trivially_copyable_v<T> &&
                std::is_trivially_destructible_v<T>);

 public:
  MapBuffer() = default;
  MapBuffer(MapBuffer&& other) noexcept { swap(other); }
  MapBuffer& operator=(MapBuffer&& other) noexcept {
    MapBuffer(std::move(other)).swap(*this);
    return *this;
  }
  ~MapBuffer() {
    if (data_ != nullptr) free_map_storage(data_, capacity_ * sizeof(T));
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }
  std::span<T> items() { return {data_, size_}; }
  std::span<const T> items() const { return {data_, size_}; }

  // Room for `count` items in all, without further growth.
  bool reserve(std::size_t count) noexcept {
    if (count <= capacity_) return true;
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
      return false;
    }
    void* grown =
        grow_map_storage(data_, capacity_ * sizeof(T), count * sizeof(T));
    if (grown == nullptr) return false;
    data_ = static_cast<T*>(grown);
    capacity_ = count;
    return true;
  }

  // `count` more items at the end, for the caller to write in whole;
  // nullptr when memory runs out.
  T* extend(std::size_t count) noexcept {
    if (count > capacity_ - size_ && !grow_for(count)) return nullptr;
    T* added = data_ + size_;
    size_ += count;
    return added;
  }
  bool push_back(const T& item) noexcept {
    T* slot = extend(1);
    if (slot == nullptr) return false;
    *slot = item;
    return true;
  }

 protected:
  // Hands the storage over: its items, their count and the capacity it
  // was allocated for (free_map_storage needs capacity * sizeof(T)).
  T* release(std::size_t& size, std::size_t& capacity) noexcept {
    size = std::exchange(size_, 0);
    capacity = std::exchange(capacity_, 0);
    return std::exchange(data_, nullptr);
  }

 private:
  bool grow_for(std::size_t count) noexcept {
    constexpr std::size_t kSmall = 4096 / sizeof(T);
    constexpr std::size_t kFirstLarge =
        (kLargeMapBytes + sizeof(T) - 1) / sizeof(T);
    if (count > std::numeric_limits<std::size_t>::max() - size_) return false;
    const std::size_t needed = size_ + count;
    std::size_t next = capacity_ < kSmall ? kSmall : kFirstLarge;
    if (capacity_ >= kFirstLarge) {
      next = capacity_ > std::numeric_limits<std::size_t>::max() / 2
                 ? needed
                 : 2 * capacity_;
    }
    return reserve(std::max(needed, next));
  }
  void swap(MapBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The entries of a map, in map storage, freed with the map.
struct FileMap::Storage {
  Storage(DatFileEntry* data, std::size_t size, std::size_t capacity) noexcept
      : data(data), size(size), capacity(capacity) {}
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  ~Storage() { free_map_storage(data, capacity * sizeof(DatFileEntry)); }

  DatFileEntry* data;
  std::size_t size;
  std::size_t capacity;  // entries the storage was allocated for
};

// The directory walk's entries, which become the map.
class EntryBuffer : public MapBuffer<DatFileEntry> {
 public:
  // The map over these entries, whose ids must ascend strictly. The
  // storage goes with them; nullopt (and the entries stay) when there is
  // no memory for the map's bookkeeping.
  std::optional<FileMap> into_map() &&;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_MAP_STORAGE_H_
