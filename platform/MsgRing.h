// Internal to platform/: the FIFO of posted messages. A ring buffer that grows by
// doubling and never shrinks, so a queue that has reached its working size posts
// and retrieves without touching the allocator. Not thread-safe: the owning
// ThreadQueue guards it with its mutex.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/WinMsg.h"

namespace winapi::detail {

class MsgRing {
 public:
  bool Empty() const { return size_ == 0; }
  size_t Size() const { return size_; }
  const MSG& Front() const { return slots_[head_]; }

  void Push(const MSG& m) {
    if (size_ == slots_.size()) Grow();
    slots_[(head_ + size_) & (slots_.size() - 1)] = m;
    ++size_;
  }

  MSG Pop() {
    MSG m = slots_[head_];
    head_ = (head_ + 1) & (slots_.size() - 1);
    --size_;
    return m;
  }

  // Drops every message for which drop(msg) is true, keeping the others in order.
  template <class Pred>
  void RemoveIf(Pred drop) {
    size_t kept = 0;
    const size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < size_; ++i) {
      const MSG& m = slots_[(head_ + i) & mask];
      if (!drop(m)) slots_[(head_ + kept++) & mask] = m;
    }
    size_ = kept;
  }

 private:
  void Grow() {
    std::vector<MSG> bigger(slots_.empty() ? 64 : slots_.size() * 2);
    for (size_t i = 0; i < size_; ++i) bigger[i] = slots_[(head_ + i) & (slots_.size() - 1)];
    slots_.swap(bigger);
    head_ = 0;
  }

  std::vector<MSG> slots_;  // capacity is always 0 or a power of two
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace winapi::detail
