// imgnorm <-> OpenCV without copying pels.  Header only, and not part of the
// library: only code that includes it needs OpenCV (core module).
//
//   cv::Mat            pel buffer
//   CV_8UC1     <->    mxPelBuffer<unsigned char>
//   CV_16UC1    <->    mxPelBuffer<unsigned short>
//   CV_32SC1    <->    mxPelBuffer<std::uint32_t>   (the same 32 bits, read
//                                                    as signed by OpenCV)
//
// Mat -> buffer (mfPelBufferFromMat, mfPelBufferFromMatConst): the buffer
// shows the Mat's pels in place, rows at the Mat's step (a region of interest
// works as it is), its first pel at image coordinates (0, 0).  The buffer's
// store holds a copy of the Mat header, so a Mat that owns its data
// (reference counted, the usual case) stays alive as long as any buffer
// shares the store, even after the caller's Mat is released or reassigned.
// A Mat over memory it does not own (a header made from a user pointer) has
// no reference count: then the caller keeps that memory alive, as for the
// Mat itself.  A const view never writes the pels.
//
// Buffer -> Mat (mfMatFromPelBuffer): a Mat header over the buffer's window,
// step = the buffer's row stride, whose reference count holds a handle on the
// buffer's store: the Mat (and every Mat copied from it) keeps the pels
// alive after the buffer is gone.  The Mat shares the pels both ways; a Mat
// made from a buffer that the tool reads (a reference or mask given without
// copying) must not be written while the tool uses it.  If OpenCV is asked to
// write a result of another size or type into such a Mat, it allocates new
// memory for it as usual and the buffer is left alone.
//
// Each function throws mxPelFunc::BadParams for a Mat of another type, more
// than two dimensions or more than one channel, and mxPel::UnboundWindow
// for an unbound buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "baseif/mxException.h"
#include "baseif/mxPelBuffer.h"

namespace imgnorm_opencv_detail {

template <class T>
struct MatType;
template <>
struct MatType<unsigned char> {
  static constexpr int value = CV_8UC1;
};
template <>
struct MatType<unsigned short> {
  static constexpr int value = CV_16UC1;
};
template <>
struct MatType<std::uint32_t> {
  static constexpr int value = CV_32SC1;
};

inline void checkMat(const cv::Mat& m, int type) {
  if (m.dims > 2 || m.type() != type)
    throw mxPelFunc::BadParams(L"cv::Mat of type " + std::wstring(L"CV_") + std::to_wstring(m.depth()) + L"/" +
                               std::to_wstring(m.channels()) + L"ch, " + std::to_wstring(m.dims) +
                               L" dims where a 2-D " +
                               (type == CV_8UC1    ? L"CV_8UC1"
                                : type == CV_16UC1 ? L"CV_16UC1"
                                                   : L"CV_32SC1") +
                               L" Mat is expected");
}

// Frees a buffer handle when the last Mat sharing it is released.  New data
// that OpenCV asks of it (a Mat re-created at another size) comes from
// OpenCV's own allocator.
class BufferAllocator : public cv::MatAllocator {
public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step, cv::AccessFlag flags,
                         cv::UMatUsageFlags usage) const override {
    return cv::Mat::getDefaultAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
  }
  bool allocate(cv::UMatData* u, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    return cv::Mat::getDefaultAllocator()->allocate(u, flags, usage);
  }
  void deallocate(cv::UMatData* u) const override {
    if (!u || u->refcount != 0 || u->urefcount != 0) return;
    delete static_cast<mx_PelBuffer*>(u->userdata);
    u->userdata = nullptr;
    u->data = u->origdata = nullptr;
    delete u;
  }
  static BufferAllocator& instance() {
    static BufferAllocator a;
    return a;
  }
};

template <class T>
const T* matPels(const cv::Mat& m) {
  return reinterpret_cast<const T*>(m.data);
}

}  // namespace imgnorm_opencv_detail

// A read-only buffer over a 2-D single-channel Mat's pels (no copy).
template <class T>
mxPelBuffer_const<T> mfPelBufferFromMatConst(const cv::Mat& m) {
  imgnorm_opencv_detail::checkMat(m, imgnorm_opencv_detail::MatType<T>::value);
  auto keep = std::make_shared<const cv::Mat>(m);
  const std::ptrdiff_t step = m.rows > 1 ? std::ptrdiff_t(m.step[0]) : std::ptrdiff_t(m.cols) * sizeof(T);
  return mxPelBuffer_const<T>::wrap(imgnorm_opencv_detail::matPels<T>(m), m.cols, m.rows, step, std::move(keep));
}

// A writable buffer over a 2-D single-channel Mat's pels (no copy): functions
// given it as a destination write the Mat's pels.
template <class T>
mxPelBuffer<T> mfPelBufferFromMat(cv::Mat& m) {
  imgnorm_opencv_detail::checkMat(m, imgnorm_opencv_detail::MatType<T>::value);
  auto keep = std::make_shared<const cv::Mat>(m);
  const std::ptrdiff_t step = m.rows > 1 ? std::ptrdiff_t(m.step[0]) : std::ptrdiff_t(m.cols) * sizeof(T);
  return mxPelBuffer<T>::wrap(reinterpret_cast<T*>(m.data), m.cols, m.rows, step, std::move(keep));
}

// A Mat header over the buffer's window (no copy) that keeps the buffer's
// store alive; CV_8UC1, CV_16UC1 or CV_32SC1 after T.
template <class T>
cv::Mat mfMatFromPelBuffer(const mxPelBuffer_const<T>& b) {
  if (!b.isBound()) throw mxPel::UnboundWindow();
  using Alloc = imgnorm_opencv_detail::BufferAllocator;
  void* pels = const_cast<T*>(b.pointToOffset());
  const std::size_t step = b.height() > 1 ? std::size_t(b.rowStrideBytes()) : std::size_t(b.width()) * sizeof(T);
  cv::Mat m(b.height(), b.width(), imgnorm_opencv_detail::MatType<T>::value, pels, step);
  auto* u = new cv::UMatData(&Alloc::instance());
  u->data = u->origdata = static_cast<uchar*>(pels);
  u->size = step * std::size_t(b.height());
  u->userdata = new mx_PelBuffer(b);
  m.u = u;
  m.allocator = &Alloc::instance();
  m.addref();
  return m;
}
