// C-heap memory for the core: results handed to C callers come from malloc,
// so that the exports can terminate and trim the very block the core built
// and marlet_free_string / marlet_free_buffer release it with free().
// Exhausted memory (errors.hpp says which path has which policy):
//   AbortWhenExhausted   checked_realloc: one line naming the bytes, then
//                        abort(); CAllocator and Buffer use it;
//   ThrowWhenExhausted   std::bad_alloc, for the Arrow columns' blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "errors.hpp"

namespace marlet_core {

inline void* checked_realloc(void* block, std::size_t bytes) {
  void* p = std::realloc(block, bytes == 0 ? 1 : bytes);
  if (p == nullptr) out_of_memory(bytes);
  return p;
}

inline void* checked_malloc(std::size_t bytes) { return checked_realloc(nullptr, bytes); }

// Copies n bytes; short copies, the common case for keys and values, are
// overlapping word moves instead of a call into the C library.
inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
  if (n <= 16) {
    if (n >= 8) {
      std::uint64_t a, b;
      std::memcpy(&a, src, 8);
      std::memcpy(&b, src + n - 8, 8);
      std::memcpy(dst, &a, 8);
      std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, src, 4);
      std::memcpy(&b, src + n - 4, 4);
      std::memcpy(dst, &a, 4);
      std::memcpy(dst + n - 4, &b, 4);
    } else if (n != 0) {
      dst[0] = src[0];
      dst[n / 2] = src[n / 2];
      dst[n - 1] = src[n - 1];
    }
    return;
  }
  std::memcpy(dst, src, n);
}

// Standard allocator over checked_malloc/free.
template <class T>
struct CAllocator {
  using value_type = T;
  CAllocator() noexcept = default;
  template <class U>
  CAllocator(const CAllocator<U>&) noexcept {}  // NOLINT: rebinding must be implicit

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(checked_malloc(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }

  template <class U>
  bool operator==(const CAllocator<U>&) const noexcept { return true; }
};

// An owned key or value: exactly the bytes of the text it was copied from.
using OwnedString = std::basic_string<char, std::char_traits<char>, CAllocator<char>>;

// Output blocks are sized from their input up front; growing by half keeps
// huge outputs' address space near their size.
struct AbortWhenExhausted {
  static void* resize(void* block, std::size_t bytes) { return checked_realloc(block, bytes); }
  static std::size_t step(std::size_t capacity) noexcept { return capacity + capacity / 2; }
};

// Column blocks: grown by appends from empty, so they double (from 64).
struct ThrowWhenExhausted {
  static void* resize(void* block, std::size_t bytes) {
    void* p = std::realloc(block, bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  static std::size_t step(std::size_t capacity) noexcept { return capacity < 32 ? 64 : 2 * capacity; }
};

// A growable byte block from the C heap that can be handed over whole: the
// C exports terminate or trim the block the writers built and give it to
// the caller, so no result is copied a second time.
template <class Heap>
class BasicBuffer {
 public:
  BasicBuffer() noexcept = default;
  explicit BasicBuffer(std::size_t capacity) { reserve(capacity); }
  BasicBuffer(BasicBuffer&& other) noexcept { swap(other); }
  BasicBuffer& operator=(BasicBuffer&& other) noexcept {
    BasicBuffer(std::move(other)).swap(*this);
    return *this;
  }
  ~BasicBuffer() { std::free(data_); }
  void swap(BasicBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  // A block of `n` zero bytes (never a null pointer, even when n is 0).
  static BasicBuffer zeros(std::size_t n) {
    BasicBuffer b(n == 0 ? 1 : n);
    std::memset(b.data_, 0, n);
    b.size_ = n;
    return b;
  }

  const char* data() const noexcept { return data_; }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data_, size_}; }
  void clear() noexcept { size_ = 0; }

  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    data_ = static_cast<char*>(Heap::resize(data_, capacity));
    capacity_ = capacity;
  }
  // Sets the size, growing (with unset bytes) or shrinking the content.
  void resize(std::size_t n) {
    if (n > size_) prepare(n - size_);
    size_ = n;
  }
  // A non-null pointer even for an empty block, as Arrow consumers expect.
  const char* ensure_data() {
    if (data_ == nullptr) reserve(1);
    return data_;
  }

  void append(const char* bytes, std::size_t n) {
    if (n == 0) return;
    if (capacity_ - size_ < n) grow(n);
    std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void push_back(char c) {
    if (size_ == capacity_) grow(1);
    data_[size_++] = c;
  }

  // Room for `n` more bytes, which commit(n) then counts: hot loops write
  // without a size check per byte.
  char* prepare(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }
  // prepare(n) and commit(n) at once: the caller fills the n bytes.
  char* extend(std::size_t n) {
    char* at = prepare(n);
    size_ += n;
    return at;
  }

  // For writers with a write pointer `d` of their own: end_at(d) makes all
  // before `d` the content; room_after(d, n) makes room for `n` bytes at `d`
  // and returns where `d` is now, the block having possibly moved.
  void end_at(const char* d) noexcept { size_ = static_cast<std::size_t>(d - data_); }
  std::size_t room(const char* d) const noexcept { return capacity_ - static_cast<std::size_t>(d - data_); }
  char* room_after(char* d, std::size_t n) {
    end_at(d);
    return prepare(n);
  }

  // Appends a NUL (growing the block by exactly one byte when it is full),
  // then releases the block trimmed to the text plus its terminator.
  char* release_c_string() {
    reserve(size_ + 1);
    data_[size_++] = '\0';
    return release_trimmed();
  }

  // Shrinks the block to size() bytes and gives it up, for free().
  char* release_trimmed() {
    char* block = static_cast<char*>(Heap::resize(data_, size_));
    data_ = nullptr;
    size_ = capacity_ = 0;
    return block;
  }

 private:
  // Grows by the heap's step, at least to what is needed.
  void grow(std::size_t extra) {
    if (extra > std::numeric_limits<std::size_t>::max() - size_) throw std::length_error("buffer size overflow");
    std::size_t needed = size_ + extra;
    std::size_t step = capacity_ > std::numeric_limits<std::size_t>::max() / 2 ? needed : Heap::step(capacity_);
    reserve(needed > step ? needed : step);
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

using Buffer = BasicBuffer<AbortWhenExhausted>;

}  // namespace marlet_core
