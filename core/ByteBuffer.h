#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

namespace core {

// A growable byte buffer that is not zero-filled when it grows: for buffers whose
// owner tracks its own fill level and writes every byte before it reads it (a
// receive buffer). Growing keeps the bytes it held.
class TByteBuffer {
 public:
  char* data() { return FData.get(); }
  const char* data() const { return FData.get(); }
  size_t size() const { return FSize; }
  bool empty() const { return FSize == 0; }
  char& operator[](size_t i) { return FData[i]; }
  char operator[](size_t i) const { return FData[i]; }

  void resize(size_t n) {
    if (n > FSize) {
      auto bigger = std::make_unique_for_overwrite<char[]>(n);
      if (FSize > 0) std::memcpy(bigger.get(), FData.get(), FSize);
      FData = std::move(bigger);
    }
    FSize = n;
  }

 private:
  std::unique_ptr<char[]> FData;
  size_t FSize = 0;
};

}  // namespace core
