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
// shows the Mat's pels in place, rows at the Mat's step.  A region of a larger
// Mat (frame(cv::Rect(100, 100, 800, 600))) keeps its place: the buffer's
// window starts at the region's position in its parent (cv::Mat::locateROI),
// so the tool normalizes it against the matching part of the reference, as
// it would the same pels of the whole frame.  A Mat that is not a region
// starts at (0, 0).  The overloads with an origin put the first pel at that
// image position instead (for a crop whose parent is gone, or to say where a
// tile came from).  The buffer's
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
// mfNormalizeMat(tool, image, method) runs a trained tool on a Mat and
// returns the result as a Mat (no copy; its window is the overlap of the
// image with the reference and mask), throwing the tool's CanNotRun with the
// tool's message when no mapping could be built, so a frame loop needs no
// out-parameters.
//
// Each function throws mxPelFunc::BadParams for a Mat of another type, more
// than two dimensions or more than one channel (the message spells the type
// as OpenCV does: "CV_8UC3"), and mxPel::UnboundWindow for an unbound buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "baseif/mxException.h"
#include "baseif/mxPelBuffer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"

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

inline std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

inline void checkMat(const cv::Mat& m, int type) {
  if (m.dims <= 2 && m.type() == type) return;
  std::wstring what = L"cv::Mat of type " + widen(cv::typeToString(m.type()));
  if (m.dims > 2) what += L" with " + std::to_wstring(m.dims) + L" dimensions";
  what += L" where a 2-D " + widen(cv::typeToString(type)) + L" Mat is expected";
  if (m.dims <= 2 && m.depth() == CV_8U && (m.channels() == 3 || m.channels() == 4))
    what += L" (convert colour frames with cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY))";
  throw mxPelFunc::BadParams(what);
}

// Where a Mat's first pel sits in its parent (0, 0 for a Mat that is not a
// region of another).
inline mxPair<std::int32_t> regionOrigin(const cv::Mat& m) {
  if (m.empty() || m.dims > 2) return {0, 0};  // checkMat refuses the latter
  cv::Size whole;
  cv::Point at;
  m.locateROI(whole, at);
  return {at.x, at.y};
}

template <class T>
std::ptrdiff_t matStep(const cv::Mat& m) {
  return m.rows > 1 ? std::ptrdiff_t(m.step[0]) : std::ptrdiff_t(m.cols) * std::ptrdiff_t(sizeof(T));
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

// A read-only buffer over a 2-D single-channel Mat's pels (no copy), its
// first pel at origin.
template <class T>
mxPelBuffer_const<T> mfPelBufferFromMatConst(const cv::Mat& m, const mxPair<std::int32_t>& origin) {
  imgnorm_opencv_detail::checkMat(m, imgnorm_opencv_detail::MatType<T>::value);
  auto keep = std::make_shared<const cv::Mat>(m);
  return mxPelBuffer_const<T>::wrap(imgnorm_opencv_detail::matPels<T>(m), m.cols, m.rows,
                                    imgnorm_opencv_detail::matStep<T>(m), std::move(keep), origin);
}
// The same at the Mat's place in its parent (see above).
template <class T>
mxPelBuffer_const<T> mfPelBufferFromMatConst(const cv::Mat& m) {
  return mfPelBufferFromMatConst<T>(m, imgnorm_opencv_detail::regionOrigin(m));
}

// A writable buffer over a 2-D single-channel Mat's pels (no copy): functions
// given it as a destination write the Mat's pels.  First pel at origin.
template <class T>
mxPelBuffer<T> mfPelBufferFromMat(cv::Mat& m, const mxPair<std::int32_t>& origin) {
  imgnorm_opencv_detail::checkMat(m, imgnorm_opencv_detail::MatType<T>::value);
  auto keep = std::make_shared<const cv::Mat>(m);
  return mxPelBuffer<T>::wrap(reinterpret_cast<T*>(m.data), m.cols, m.rows, imgnorm_opencv_detail::matStep<T>(m),
                              std::move(keep), origin);
}
// The same at the Mat's place in its parent.
template <class T>
mxPelBuffer<T> mfPelBufferFromMat(cv::Mat& m) {
  return mfPelBufferFromMat<T>(m, imgnorm_opencv_detail::regionOrigin(m));
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

// Runs a trained tool on an 8-bit grey Mat (at its place in its parent) and
// returns the result as a Mat sharing the result's pels.  Throws the tool's
// errors as run() does, and mxImageNormalizerDefs::CanNotRun with the tool's
// message when run() reports that it could not build a mapping.
inline cv::Mat mfNormalizeMat(const mxImageNormalizer& tool, const cv::Mat& image,
                              mxImageNormalizerDefs::Method method) {
  bool ok = false;
  std::wstring why;
  mxPelBuffer<unsigned char> out = tool.run(mfPelBufferFromMatConst<unsigned char>(image), method, ok, why);
  if (!ok) throw mxImageNormalizerDefs::CanNotRun(why);
  return mfMatFromPelBuffer<unsigned char>(out);
}
