#pragma once

#include <cstddef>
#include <memory>

namespace core {

// A growable byte buffer that is not zero-filled when it grows: for buffers whose
// owner tracks its own fill level and writes every byte before it reads it (a
// receive buffer). Growing keeps the bytes it held, and the room it takes at
// least doubles, so a buffer grown a byte at a time is copied only log(n) times.
class TByteBuffer {
 public:
  char* data() { return FData.get(); }
  const char* data() const { return FData.get(); }
  size_t size() const { return FSize; }
  bool empty() const { return FSize == 0; }
  char& operator[](size_t i) { return FData[i]; }
  char operator[](size_t i) const { return FData[i]; }

  size_t capacity() const { return FCapacity; }

  void resize(size_t n);

 private:
  std::unique_ptr<char[]> FData;
  size_t FSize = 0;
  size_t FCapacity = 0;
};

}  // namespace core
