// Pixel buffers: handles on reference-counted pel stores.
//
// A store is a 2-D array of pels whose rows lie a fixed row stride apart.
// Stores the library allocates start every row on a 32-byte boundary; a
// store over the caller's memory (wrap()) has whatever start and stride the
// caller gives, and no code that reads or writes pels relies on more than the
// pel type's own alignment.  A buffer is either unbound (no store)
// or bound to a store and shows a window of it: a rectangle in image
// coordinates.  The store's first pel has image coordinates storeOrigin(); a
// window pel (x, y) lives at store column x - storeOrigin().x, row
// y - storeOrigin().y.
//
// Copying or assigning a buffer is shallow: the copy shares the store (and so
// every pel write), but its window, offset and transforms are its own.
// Setting the offset relabels coordinates and moves no pel.
//
// mxPelBuffer_const<T> reads pels; mxPelBuffer<T> also writes them, even
// through a const handle (the handle's window is const, the shared pels are
// not).  T is unsigned char, unsigned short or std::uint32_t.
//
// Each buffer carries shared handles to its client-from-image transform and
// its inverse (identity by default); see mx2Xform.h.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "baseif/mx2Xform.h"
#include "baseif/mxException.h"
#include "baseif/mxExport.h"
#include "baseif/mxPair.h"
#include "baseif/mxRectangle.h"

// How a new store's pels start: zero (the default), or unwritten, for
// producers that overwrite every pel of the store at once.
enum class mxPelInit { eZero, eUnwritten };

// One block of pels.  Owned through std::shared_ptr; the count is atomic.
struct IMGNORM_API mx_PelStore {
  mx_PelStore(std::int32_t width, std::int32_t height, std::size_t pelSize, std::size_t alignment,
              mxPelInit init = mxPelInit::eZero);
  // A store over memory the caller owns: rows of width pels, rowBytes apart,
  // from data.  The store frees nothing; it holds keepAlive (which may be
  // null) until the last buffer sharing it is gone.  Throws mxBadPointer for
  // null data, mxPel::BadWindow for a negative size, a row
  // stride below width x pelSize, or a start or stride that is not a multiple
  // of the pel size.
  mx_PelStore(unsigned char* data, std::int32_t width, std::int32_t height, std::size_t pelSize,
              std::ptrdiff_t rowBytes, std::shared_ptr<const void> keepAlive);
  ~mx_PelStore();
  mx_PelStore(const mx_PelStore&) = delete;
  mx_PelStore& operator=(const mx_PelStore&) = delete;

  unsigned char* data;      // first pel of the first row
  std::int32_t width;       // pels per row
  std::int32_t height;      // rows
  std::size_t pelSize;      // bytes per pel
  std::ptrdiff_t rowBytes;  // distance between rows in bytes

private:
  // Stores from 64 KiB: the block that holds them (a memory mapping from
  // 1 MiB, else a heap block), which goes back to the thread's cache.
  void* block_ = nullptr;
  std::size_t blockBytes_ = 0;
  bool blockMapped_ = false;
  bool callerOwned_ = false;               // the pels belong to the caller
  std::shared_ptr<const void> keepAlive_;  // what keeps the caller's pels alive
};

class IMGNORM_API mx_PelBuffer {
public:
  ~mx_PelBuffer();
  mx_PelBuffer(const mx_PelBuffer&);
  mx_PelBuffer& operator=(const mx_PelBuffer&);
  mx_PelBuffer(mx_PelBuffer&&) noexcept;
  mx_PelBuffer& operator=(mx_PelBuffer&&) noexcept;

  bool isBound() const { return store_ != nullptr; }
  // Releases the store; the buffer becomes unbound (transforms reset).
  void setUnbound();
  std::size_t pelSize() const { return pelSize_; }

  // Window size in pels (0 when unbound).
  std::int32_t width() const { return window_.width(); }
  std::int32_t height() const { return window_.height(); }
  // The window in image coordinates (a null rectangle when unbound).
  const mxPelRect& window() const { return window_; }
  // Sets the window.  Throws mxPel::UnboundWindow when unbound and
  // mxPel::BadWindow when the rectangle does not lie within the store (or,
  // with clip true, when its part within the store is empty; the window then
  // becomes that part).
  void window(const mxPelRect& rect, bool clip = false);
  void window(const mxPair<std::int32_t>& origin, const mxPair<std::int32_t>& size, bool clip = false);
  // The window on the whole store, keeping the coordinates.
  void setEntire();
  // The rectangle the whole store covers in image coordinates.
  mxPelRect storeRect() const;
  // Image coordinates of the store's first pel.
  mxPair<std::int32_t> storeOrigin() const { return {storeX_, storeY_}; }

  // Image coordinates of the window's first pel.
  mxPair<std::int32_t> offset() const { return window_.offset(); }
  // Relabels coordinates so that the window's first pel is at p.  Both throw
  // mxPel::BadWindow, changing nothing, when the store would reach beyond the
  // 32-bit coordinate range.
  void offset(const mxPair<std::int32_t>& p);
  // Relabels coordinates by (dx, dy).
  void offset(std::int32_t dx, std::int32_t dy);

  // Identity of the store (null when unbound): two buffers share pels exactly
  // when their roots are equal.
  const void* root() const { return store_.get(); }
  std::ptrdiff_t rowStrideBytes() const { return store_ ? store_->rowBytes : 0; }

  // Client transforms.  The getters may return null handles when a client set
  // one; setting one direction sets the other to its inverse.
  const std::shared_ptr<const mx2XformBase>& clientFromImageXformBase() const { return clientFromImage_; }
  const std::shared_ptr<const mx2XformBase>& imageFromClientXformBase() const { return imageFromClient_; }
  void clientFromImageXformBase(const std::shared_ptr<const mx2XformBase>& x, bool = false);
  void imageFromClientXformBase(const std::shared_ptr<const mx2XformBase>& x, bool = false);
  // Affine forms.  Throw mxBadPointer when the handle is null.
  mxXform<2> clientFromImageXform() const;
  mxXform<2> imageFromClientXform() const;
  void clientFromImageXform(const mxXform<2>& x);
  // Takes the other buffer's transforms (shares the handles).
  void copyXforms(const mx_PelBuffer& other);

protected:
  explicit mx_PelBuffer(std::size_t pelSize);
  // A new zero-filled store covering rect (row alignment in bytes, a power of
  // two).  Throws mxPel::BadWindow for a negative size or a far edge beyond
  // the 32-bit coordinate range.
  mx_PelBuffer(std::size_t pelSize, const mxPelRect& rect, std::size_t alignment, mxPelInit init = mxPelInit::eZero);
  // A buffer over the caller's pels (see mx_PelStore), window on the whole
  // store, its first pel at image coordinates origin.
  mx_PelBuffer(std::size_t pelSize, unsigned char* data, std::int32_t width, std::int32_t height,
               std::ptrdiff_t rowStrideBytes, std::shared_ptr<const void> keepAlive,
               const mxPair<std::int32_t>& origin);

  unsigned char* firstPelBytes() const;
  unsigned char* pelBytes(std::int32_t x, std::int32_t y) const;

private:
  std::shared_ptr<mx_PelStore> store_;
  std::size_t pelSize_;
  mxPelRect window_;
  std::int32_t storeX_ = 0;
  std::int32_t storeY_ = 0;
  std::shared_ptr<const mx2XformBase> clientFromImage_;
  std::shared_ptr<const mx2XformBase> imageFromClient_;

  // Relabels by (dx, dy); the store must stay within 32-bit coordinates.
  void relabel(std::int64_t dx, std::int64_t dy);

  friend IMGNORM_API mxArchive& operator||(mxArchive& ar, mx_PelBuffer& buffer);
};

template <class T>
class mxPelBuffer_const : public mx_PelBuffer {
  static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4, "pels are 8, 16 or 32 bits");

public:
  using value_type = T;
  // Unbound.
  mxPelBuffer_const() : mx_PelBuffer(sizeof(T)) {}
  // A new zero-filled store over rect; the window is the whole store.
  explicit mxPelBuffer_const(const mxPelRect& rect, std::size_t alignment = 32, mxPelInit init = mxPelInit::eZero)
      : mx_PelBuffer(sizeof(T), rect, alignment, init) {}
  // A new zero-filled width x height store at image coordinates (0, 0).
  mxPelBuffer_const(std::int32_t width, std::int32_t height, std::size_t alignment = 32)
      : mx_PelBuffer(sizeof(T), mxPelRect(0, 0, width, height), alignment) {}

  // A read-only view of width x height pels that the caller owns, rows
  // rowStrideBytes apart (any stride >= width x sizeof(T) that is a multiple
  // of sizeof(T); 8-bit pels take any stride and start), first pel at image
  // coordinates origin.  No pel is copied, and nothing reached through this
  // view ever writes them.  The store holds keepAlive (may be null: then the
  // caller keeps the memory alive and unchanged-in-place for as long as any
  // buffer shares it); give it a deleter to be told when the last buffer is
  // gone.  Throws as mx_PelStore's caller-memory constructor.
  static mxPelBuffer_const wrap(const T* pels, std::int32_t width, std::int32_t height, std::ptrdiff_t rowStrideBytes,
                                std::shared_ptr<const void> keepAlive = nullptr,
                                const mxPair<std::int32_t>& origin = mxPair<std::int32_t>(0, 0)) {
    return mxPelBuffer_const(reinterpret_cast<unsigned char*>(const_cast<T*>(pels)), width, height, rowStrideBytes,
                             std::move(keepAlive), origin);
  }

  // First pel of the window (null when unbound).
  const T* pointToOffset() const { return reinterpret_cast<const T*>(firstPelBytes()); }
  // The pel at image coordinates (x, y); the caller keeps it within the store.
  const T* pointToPel(std::int32_t x, std::int32_t y) const { return reinterpret_cast<const T*>(pelBytes(x, y)); }
  // First pel of window row j (0 = the window's first row).
  const T* row(std::int32_t j) const { return pointToOffset() + std::ptrdiff_t(j) * rowStride(); }
  // Distance between rows in pels.
  std::ptrdiff_t rowStride() const { return rowStrideBytes() / std::ptrdiff_t(sizeof(T)); }
  // The pel at image coordinates (x, y); throws mxPel::UnboundWindow or
  // mxPel::BadWindow when there is no such pel in the window.
  T get(std::int32_t x, std::int32_t y) const {
    if (!isBound()) throw mxPel::UnboundWindow();
    if (!window().contains(x, y)) throw mxPel::BadWindow(L"pel position outside the window");
    return *pointToPel(x, y);
  }

protected:
  mxPelBuffer_const(unsigned char* data, std::int32_t width, std::int32_t height, std::ptrdiff_t rowStrideBytes,
                    std::shared_ptr<const void> keepAlive, const mxPair<std::int32_t>& origin)
      : mx_PelBuffer(sizeof(T), data, width, height, rowStrideBytes, std::move(keepAlive), origin) {}
};

template <class T>
class mxPelBuffer : public mxPelBuffer_const<T> {
public:
  mxPelBuffer() = default;
  // init eUnwritten leaves the pels unwritten: only for code that writes
  // every pel before anything reads them.
  explicit mxPelBuffer(const mxPelRect& rect, std::size_t alignment = 32, mxPelInit init = mxPelInit::eZero)
      : mxPelBuffer_const<T>(rect, alignment, init) {}
  mxPelBuffer(std::int32_t width, std::int32_t height, std::size_t alignment = 32)
      : mxPelBuffer_const<T>(width, height, alignment) {}

  // A writable view of pels that the caller owns; as mxPelBuffer_const::wrap,
  // except that functions given this buffer as a destination write the
  // caller's pels in place.
  static mxPelBuffer wrap(T* pels, std::int32_t width, std::int32_t height, std::ptrdiff_t rowStrideBytes,
                          std::shared_ptr<const void> keepAlive = nullptr,
                          const mxPair<std::int32_t>& origin = mxPair<std::int32_t>(0, 0)) {
    return mxPelBuffer(reinterpret_cast<unsigned char*>(pels), width, height, rowStrideBytes, std::move(keepAlive),
                       origin);
  }

  T* pointToOffset() const { return const_cast<T*>(mxPelBuffer_const<T>::pointToOffset()); }
  T* pointToPel(std::int32_t x, std::int32_t y) const { return const_cast<T*>(mxPelBuffer_const<T>::pointToPel(x, y)); }
  T* row(std::int32_t j) const { return const_cast<T*>(mxPelBuffer_const<T>::row(j)); }
  // Writes the pel at image coordinates (x, y), checked like get().
  void set(std::int32_t x, std::int32_t y, T v) const {
    (void)this->get(x, y);
    *pointToPel(x, y) = v;
  }

private:
  mxPelBuffer(unsigned char* data, std::int32_t width, std::int32_t height, std::ptrdiff_t rowStrideBytes,
              std::shared_ptr<const void> keepAlive, const mxPair<std::int32_t>& origin)
      : mxPelBuffer_const<T>(data, width, height, rowStrideBytes, std::move(keepAlive), origin) {}
};
