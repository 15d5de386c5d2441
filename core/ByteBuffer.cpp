#include "core/ByteBuffer.h"

#include <algorithm>
#include <cstring>

namespace core {

void TByteBuffer::resize(size_t n) {
  if (n > FCapacity) {
    const size_t room = std::max(n, 2 * FCapacity);
    auto bigger = std::make_unique_for_overwrite<char[]>(room);
    if (FSize > 0) std::memcpy(bigger.get(), FData.get(), FSize);
    FData = std::move(bigger);
    FCapacity = room;
  }
  FSize = n;
}

}  // namespace core
