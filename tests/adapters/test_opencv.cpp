// The OpenCV adapter: Mats and buffers share pels both ways (same addresses),
// each keeps the other's memory alive, and the tool runs on Mat views.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "adapters/opencv/imgnorm_opencv.h"
#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;

namespace {

cv::Mat randomMat(int rows, int cols, int type, unsigned seed) {
  cv::Mat m(rows, cols, type);
  cv::theRNG().state = seed;
  cv::randu(m, 0, type == CV_8UC1 ? 256 : 60000);
  return m;
}

// A copy of a Mat's pels in a buffer of the library's own.
Image copied(const cv::Mat& m) {
  Image b(m.cols, m.rows);
  for (int j = 0; j < m.rows; ++j) std::memcpy(b.row(j), m.ptr(j), m.cols);
  return b;
}

// Every method over views at odd strides is CallerMemory's; here the views
// the adapter makes, and one run through them.
TEST(OpenCvAdapter, MatViewsRunLikeCopiedBuffersWithoutCopying) {
  // Regions of interest: rows at the parent's step, first pel off any alignment.
  const cv::Mat refBig = randomMat(60, 90, CV_8UC1, 1), imgBig = randomMat(60, 90, CV_8UC1, 2);
  const cv::Mat ref = refBig(cv::Rect(3, 2, 71, 50)), img = imgBig(cv::Rect(5, 7, 71, 50));
  const mxPelBuffer_const<unsigned char> r = mfPelBufferFromMatConst<unsigned char>(ref);
  const mxPelBuffer_const<unsigned char> i = mfPelBufferFromMatConst<unsigned char>(img);
  ASSERT_EQ(r.pointToOffset(), ref.data);
  ASSERT_EQ(r.rowStrideBytes(), std::ptrdiff_t(ref.step[0]));
  ASSERT_EQ(i.pointToOffset(), img.data);

  bool ok1 = false, ok2 = false;
  const Image a = runTool(trainedTool(r, eLocalCorrection, {15, 9}), i, eLocalCorrection, &ok1);
  const Image b = runTool(trainedTool(copied(ref), eLocalCorrection, {15, 9}), copied(img), eLocalCorrection, &ok2);
  ASSERT_TRUE(ok1 && ok2);
  // The result as a Mat: the same pels at the same address.
  const cv::Mat out = mfMatFromPelBuffer<unsigned char>(a);
  ASSERT_EQ(out.data, a.pointToOffset());
  EXPECT_EQ(cv::norm(out, mfMatFromPelBuffer<unsigned char>(b), cv::NORM_INF), 0.0);
}

TEST(OpenCvAdapter, EachSideKeepsTheOthersMemoryAlive) {
  // Mat -> buffer: the buffer outlives the Mat it came from.
  mxPelBuffer<unsigned short> fromMat;
  {
    cv::Mat m = randomMat(9, 13, CV_16UC1, 3);
    fromMat = mfPelBufferFromMat<unsigned short>(m);
    m.at<unsigned short>(4, 6) = 12345;  // writes reach the buffer
  }
  EXPECT_EQ(fromMat.get(6, 4), 12345);

  // Buffer -> Mat: the Mat (and its copies) outlive the buffer.
  cv::Mat copy;
  {
    mxPelBuffer<std::uint32_t> b(7, 5);
    b.set(2, 3, 0xFFFFFFF0u);
    const cv::Mat m = mfMatFromPelBuffer<std::uint32_t>(b);
    ASSERT_EQ(m.type(), CV_32SC1);
    ASSERT_EQ(m.data, reinterpret_cast<const uchar*>(b.pointToOffset()));
    copy = m;
  }
  EXPECT_EQ(std::uint32_t(copy.at<std::int32_t>(3, 2)), 0xFFFFFFF0u);
}

TEST(OpenCvAdapter, RefusesOtherTypesAndShapes) {
  cv::Mat colour(4, 4, CV_8UC3), real(4, 4, CV_32FC1), cube(std::vector<int>{2, 2, 2}, CV_8UC1);
  EXPECT_THROW(mfPelBufferFromMatConst<unsigned char>(colour), mxPelFunc::BadParams);
  EXPECT_THROW(mfPelBufferFromMatConst<std::uint32_t>(real), mxPelFunc::BadParams);
  EXPECT_THROW(mfPelBufferFromMat<unsigned char>(cube), mxPelFunc::BadParams);
  EXPECT_THROW(mfMatFromPelBuffer(mxPelBuffer_const<unsigned char>()), mxPel::UnboundWindow);
}

}  // namespace
