// Internal: the first-in, first-out queue of the flood fill, kept in a
// caller-owned vector used as a ring buffer.  Not part of the exported
// interface.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

class mxFloodQueue {
public:
  // Uses store's current size as the capacity (grown when full).
  explicit mxFloodQueue(std::vector<long long>& store) : s_(store) {}

  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }

  void push(long long v) {
    if (count_ == s_.size()) grow();
    std::size_t tail = head_ + count_;
    if (tail >= s_.size()) tail -= s_.size();
    s_[tail] = v;
    ++count_;
  }

  // The oldest entry; the queue must not be empty.
  long long pop() {
    const long long v = s_[head_];
    if (++head_ == s_.size()) head_ = 0;
    --count_;
    return v;
  }

private:
  // A full ring is rotated so that the oldest entry comes first, then doubled:
  // the order of the pending entries is kept.
  void grow() {
    std::rotate(s_.begin(), s_.begin() + std::ptrdiff_t(head_), s_.end());
    head_ = 0;
    s_.resize(std::max<std::size_t>(2 * s_.size(), 16));
  }

  std::vector<long long>& s_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};
