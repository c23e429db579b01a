// Normalizes every frame of a video against a reference with the OpenCV
// adapter: the first frame (or a given grey image) is the reference, each
// later frame is matched to it by histogram, and the program reports the
// frames per second of the normalization and how far the frames were from
// the reference before and after.
//
//   normalize_video IN_VIDEO [REFERENCE_IMAGE] [OUT_VIDEO]
//
// Colour frames are turned grey first (cv::cvtColor), since the tool takes
// 8-bit grey images.  OUT_VIDEO, when given, is written as Motion-JPEG.
#include <adapters/opencv/imgnorm_opencv.h>

#include <chrono>
#include <cstdio>
#include <exception>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

cv::Mat grey(const cv::Mat& frame) {
  if (frame.channels() == 1) return frame;
  cv::Mat g;
  cv::cvtColor(frame, g, frame.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
  return g;
}

double meanAbsDiff(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_L1) / double(a.total()); }

}  // namespace

int main(int argc, char** argv) try {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: %s IN_VIDEO [REFERENCE_IMAGE] [OUT_VIDEO]\n", argv[0]);
    return 2;
  }
  cv::VideoCapture in(argv[1]);
  if (!in.isOpened()) {
    std::fprintf(stderr, "%s: cannot open the video\n", argv[1]);
    return 3;
  }
  cv::Mat frame, reference;
  if (argc >= 3 && *argv[2]) {
    reference = cv::imread(argv[2], cv::IMREAD_GRAYSCALE);
    if (reference.empty()) {
      std::fprintf(stderr, "%s: cannot read the reference image\n", argv[2]);
      return 3;
    }
  } else if (in.read(frame)) {
    reference = grey(frame).clone();
  } else {
    std::fprintf(stderr, "%s: no frames\n", argv[1]);
    return 3;
  }

  mxImageNormalizer tool;
  tool.referenceImage(mfPelBufferFromMatConst<unsigned char>(reference), /*copy=*/false);
  tool.train(mxImageNormalizerDefs::eMatchHistogram);

  cv::VideoWriter out;
  if (argc == 4 && !out.open(argv[3], cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, reference.size(), false)) {
    std::fprintf(stderr, "%s: cannot write the video\n", argv[3]);
    return 4;
  }
  long frames = 0;
  double before = 0, after = 0, seconds = 0;
  while (in.read(frame)) {
    const cv::Mat g = grey(frame);
    const auto t0 = std::chrono::steady_clock::now();
    const cv::Mat result = mfNormalizeMat(tool, g, mxImageNormalizerDefs::eMatchHistogram);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++frames;
    if (result.size() == reference.size()) {
      before += meanAbsDiff(g, reference);
      after += meanAbsDiff(result, reference);
    }
    if (out.isOpened()) out.write(result);
  }
  if (frames == 0) {
    std::fprintf(stderr, "%s: no frames after the reference\n", argv[1]);
    return 3;
  }
  std::printf("frames %ld, %dx%d, %.1f frames/s normalized; mean |difference| to the reference %.2f before, %.2f after\n",
              frames, reference.cols, reference.rows, frames / seconds, before / frames, after / frames);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "error: %s\n", e.what());
  return 1;
}
