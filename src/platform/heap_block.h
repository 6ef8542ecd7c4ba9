// HeapArray<T>: an owned, counted block of the C heap holding plain records.
//
// The engine owns a few blocks (the sort stack, the row index, the key tables, the move
// buffers, the parser's texts); each is a HeapArray so that it is freed on every path. Release
// frees and zeroes and is safe to call twice. Allocation failure is a false return, never an
// exception: the caller turns it into status 705.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "platform/heap.h"

namespace tk {

template <class T>
class HeapArray {
  static_assert(std::is_trivially_copyable_v<T>, "HeapArray holds plain records only");

 public:
  HeapArray() = default;
  ~HeapArray() { Release(); }
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;

  // Replaces the block by `count` uninitialised elements.
  [[nodiscard]] bool Allocate(std::size_t count) noexcept {
    Release();
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) return false;
    data_ = static_cast<T*>(platform::Alloc(count * sizeof(T)));
    size_ = data_ != nullptr ? count : 0;
    return data_ != nullptr;
  }
  // Replaces the block by `count` zero-filled elements.
  [[nodiscard]] bool AllocateZeroed(std::size_t count) noexcept {
    Release();
    data_ = static_cast<T*>(platform::AllocZeroed(count, sizeof(T)));
    size_ = data_ != nullptr ? count : 0;
    return data_ != nullptr;
  }
  // Makes the block `count` elements long, keeping the first ones that fit; false, with the
  // block as it was, when memory is short.
  [[nodiscard]] bool Resize(std::size_t count) noexcept {
    if (count == 0 || count > static_cast<std::size_t>(-1) / sizeof(T)) return false;
    auto* resized = static_cast<T*>(platform::Alloc(count * sizeof(T)));
    if (resized == nullptr) return false;
    if (data_ != nullptr) std::memcpy(resized, data_, (count < size_ ? count : size_) * sizeof(T));
    platform::Free(data_);
    data_ = resized;
    size_ = count;
    return true;
  }
  // Takes `block`, `count` elements from platform::Alloc made elsewhere (a converted text),
  // in place of its own; nullptr leaves it empty.
  void Own(T* block, std::size_t count) noexcept {
    Release();
    data_ = block;
    size_ = block != nullptr ? count : 0;
  }
  void Release() noexcept {
    platform::Free(data_);
    data_ = nullptr;
    size_ = 0;
  }

  T* get() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  explicit operator bool() const noexcept { return data_ != nullptr; }
  T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tk
