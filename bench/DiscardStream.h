// A stream that counts what it is given and keeps nothing: downloads measured
// without the cost of storing them.
#pragma once

#include "core/Classes.h"

namespace bench {

class TDiscardStream : public core::TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    FSize += count;
    return count;
  }
  int64_t Seek(int64_t, core::TSeekOrigin) override { return FSize; }
  int64_t Size() override { return FSize; }
  void SetSize(int64_t newSize) override { FSize = newSize; }

 private:
  int64_t FSize = 0;
};

}  // namespace bench
