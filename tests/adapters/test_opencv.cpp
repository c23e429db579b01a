// The OpenCV adapter: Mats and buffers share pels both ways (same addresses),
// each keeps the other's memory alive, and the tool runs on Mat views.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <opencv2/core.hpp>
#ifdef IMGNORM_VIDEO_EXAMPLE
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#endif

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
  const mxPelBuffer_const<unsigned char> r = mfPelBufferFromMatConst<unsigned char>(ref, {0, 0});
  const mxPelBuffer_const<unsigned char> i = mfPelBufferFromMatConst<unsigned char>(img, {0, 0});
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

// A region normalized alone gives the whole frame's pels there (the frame is the reference
// plus 20; a region placed at (0, 0) would be compared with the reference's corner).
TEST(OpenCvAdapter, RegionKeepsItsPlaceAndMatchesTheWholeFrame) {
  const cv::Mat reference = randomMat(90, 120, CV_8UC1, 4) / 2;  // 0..127, no saturation below
  const cv::Mat frame = reference + 20;
  const mxImageNormalizer tool =
      trainedTool(mfPelBufferFromMatConst<unsigned char>(reference), eLocalCorrection, {31, 31});
  const cv::Rect place(30, 20, 50, 40);
  const cv::Mat region = frame(place);
  EXPECT_EQ(mfPelBufferFromMatConst<unsigned char>(region).offset(), P(30, 20));

  const cv::Mat whole = mfNormalizeMat(tool, frame, eLocalCorrection);
  const cv::Mat part = mfNormalizeMat(tool, region, eLocalCorrection);
  ASSERT_EQ(part.size(), place.size());
  EXPECT_EQ(cv::norm(part, whole(place), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(part, reference(place), cv::NORM_INF), 0.0);
  // An explicit origin overrides the region's place.
  EXPECT_EQ(mfPelBufferFromMatConst<unsigned char>(region, {0, 0}).offset(), P(0, 0));

  // A mapping that cannot be built is the tool's CanNotRun, with its message.
  const mxImageNormalizer stats = trainedTool(mfPelBufferFromMatConst<unsigned char>(reference), eMatchMeanAndStddev);
  try {
    mfNormalizeMat(stats, cv::Mat(40, 40, CV_8UC1, cv::Scalar(7)), eMatchMeanAndStddev);
    ADD_FAILURE() << "a flat image was matched";
  } catch (const CanNotRun& e) {
    EXPECT_NE(std::string(e.what()).find("standard deviation"), std::string::npos) << e.what();
  }
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

TEST(OpenCvAdapter, RefusesOtherTypesAndShapesNamingThemAsOpenCvDoes) {
  const struct {
    cv::Mat m;
    const char* named;
  } cases[] = {{cv::Mat(4, 4, CV_8UC3), "CV_8UC3"},
               {cv::Mat(4, 4, CV_8UC2), "CV_8UC2"},
               {cv::Mat(4, 4, CV_8UC(5)), "CV_8UC5"},
               {cv::Mat(4, 4, CV_32FC1), "CV_32FC1"},
               {cv::Mat(std::vector<int>{2, 2, 2}, CV_8UC1), "3 dimensions"}};
  for (const auto& c : cases) {
    try {
      mfPelBufferFromMatConst<unsigned char>(c.m);
      ADD_FAILURE() << c.named << " accepted";
    } catch (const mxPelFunc::BadParams& e) {
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
    }
  }
  cv::Mat cube(std::vector<int>{2, 2, 2}, CV_8UC1);
  EXPECT_THROW(mfPelBufferFromMat<unsigned char>(cube), mxPelFunc::BadParams);
  EXPECT_THROW(mfMatFromPelBuffer(mxPelBuffer_const<unsigned char>()), mxPel::UnboundWindow);
}

#ifdef IMGNORM_VIDEO_EXAMPLE
// Each frame the reference at another gain and offset: every frame read and brought back.
TEST(OpenCvAdapter, VideoExampleNormalizesFlickeringFrames) {
  const std::string path = ::testing::TempDir() + "imgnorm-flicker.avi";
  const cv::Mat reference = randomMat(64, 96, CV_8UC1, 5);
  cv::Mat smooth;
  cv::blur(reference, smooth, cv::Size(9, 9));  // survives Motion-JPEG better than noise
  {
    cv::VideoWriter w(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, smooth.size(), false);
    ASSERT_TRUE(w.isOpened());
    for (int f = 0; f < 12; ++f) {
      cv::Mat frame;
      smooth.convertTo(frame, CV_8U, f == 0 ? 1.0 : 0.6 + 0.05 * f, f == 0 ? 0 : 15 + 3 * f);
      w.write(frame);
    }
  }
  FILE* p = popen((std::string(IMGNORM_VIDEO_EXAMPLE) + " " + path).c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[512] = {};
  const bool got = std::fgets(line, sizeof line, p) != nullptr;
  ASSERT_EQ(pclose(p), 0) << line;
  ASSERT_TRUE(got);
  long frames = 0;
  double before = 0, after = 0;
  ASSERT_EQ(std::sscanf(line, "frames %ld, %*[^;]; mean |difference| to the reference %lf before, %lf after", &frames,
                        &before, &after),
            3)
      << line;
  EXPECT_EQ(frames, 11);
  EXPECT_LT(after, before / 4) << line;
  std::remove(path.c_str());
}
#endif

}  // namespace
