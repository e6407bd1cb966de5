// A zero-filled buffer from the process heap with exactly one owner.
#pragma once

#include <windows.h>

class HeapBuffer {
 public:
  HeapBuffer() = default;
  HeapBuffer(const HeapBuffer&) = delete;
  HeapBuffer& operator=(const HeapBuffer&) = delete;
  HeapBuffer(HeapBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  HeapBuffer& operator=(HeapBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  ~HeapBuffer() { reset(); }

  // Empty on failure.
  static HeapBuffer AllocateZeroed(SIZE_T size) {
    HeapBuffer buffer;
    buffer.data_ = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    buffer.size_ = buffer.data_ ? size : 0;
    return buffer;
  }

  void reset() {
    if (data_) {
      HeapFree(GetProcessHeap(), 0, data_);
      data_ = nullptr;
      size_ = 0;
    }
  }

  BYTE* get() const { return data_; }
  SIZE_T size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  BYTE* data_ = nullptr;
  SIZE_T size_ = 0;
};
