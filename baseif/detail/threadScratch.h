// Scratch memory that a thread keeps from call to call.  Internal to the
// library.
//
// A call's medium-sized scratch (a few hundred KiB to a few MiB: the
// median's column histograms, the local mean's ring of difference rows, the
// linear fit's pair tables) would otherwise come from the C library's heap,
// which hands blocks of that size back to the system when they are freed in
// many processes (any that sets MALLOC_TRIM_THRESHOLD_ or
// MALLOC_MMAP_THRESHOLD_, as Dask's workers do), so that every call faulted
// its pages in again: 90 to 290 page faults and up to a third of a run's
// time.  Each thread instead keeps one block per kind of scratch (Tag) and
// lends it to the next call of its kind; a call made while its thread's
// block is lent gets a block of its own.  Blocks above kKeptBytes are not
// kept, so that an idle thread holds at most a few such blocks.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace mxkernel {

template <class T, class Tag>
class ThreadScratch {
public:
  static constexpr std::size_t kKeptBytes = std::size_t(32) << 20;

  // At least n elements, their values left from an earlier call (the caller
  // writes before it reads).
  explicit ThreadScratch(std::size_t n) {
    Kept& kept = threadKept();
    if (!kept.lent && n * sizeof(T) <= kKeptBytes) {
      kept.lent = true;
      lent_ = true;
      block_ = &kept.block;
    } else {
      own_.reset(new std::vector<T>);
      block_ = own_.get();
    }
    if (block_->size() < n) block_->resize(n);
  }
  // (Moved only within the thread that made it: the block goes back to the
  // thread that destroys it.)
  ThreadScratch(ThreadScratch&& other) noexcept
      : block_(other.block_), own_(std::move(other.own_)), lent_(other.lent_) {
    other.lent_ = false;
  }
  ~ThreadScratch() {
    if (lent_) threadKept().lent = false;
  }
  ThreadScratch(const ThreadScratch&) = delete;
  ThreadScratch& operator=(const ThreadScratch&) = delete;
  ThreadScratch& operator=(ThreadScratch&&) = delete;

  T* data() const { return block_->data(); }

private:
  struct Kept {
    std::vector<T> block;
    bool lent = false;
  };
  static Kept& threadKept() {
    static thread_local Kept kept;
    return kept;
  }

  std::vector<T>* block_ = nullptr;
  std::unique_ptr<std::vector<T>> own_;
  bool lent_ = false;  // block_ is the thread's kept block
};

}  // namespace mxkernel
