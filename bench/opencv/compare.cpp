// Times the tool's jobs against the same jobs done the OpenCV way, in one
// process, single-threaded and interleaved (ours, OpenCV, ours, ...), and
// prints the medians as a table:
//   job, image size, ours (ms), OpenCV (ms), ours/OpenCV, ours ns/pel, ours/memcpy
//
// Built only with -DIMGNORM_BENCH_OPENCV=ON; run by scripts/bench-compare.sh.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "baseif/mxCpuLevel.h"
#include "bench/benchImages.h"
#include "imgnorm/localCorrection.h"
#include "imgnorm/mxImageNormalizer.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {
using Clock = std::chrono::steady_clock;

double timeOnce(const std::function<void()>& f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A cv::Mat header over a buffer's pels (no copy).
cv::Mat asMat(const mxPelBuffer_const<unsigned char>& b) {
  return cv::Mat(b.height(), b.width(), CV_8UC1, const_cast<unsigned char*>(b.pointToOffset()),
                 std::size_t(b.rowStride()));
}

// The OpenCV way of each job.
struct OpenCvJobs {
  cv::Mat ref, img, mask;
  cv::Mat refHist;
  double refMean = 0, refSd = 0;
  cv::Mat out;

  static cv::Mat histogram(const cv::Mat& m, const cv::Mat& mask) {
    cv::Mat h;
    const int channels[] = {0};
    const int bins[] = {256};
    const float range[] = {0, 256};
    const float* ranges[] = {range};
    cv::calcHist(&m, 1, channels, mask, h, 1, bins, ranges);
    return h;
  }

  void matchHistogram(bool masked) {
    const cv::Mat m = masked ? mask : cv::Mat();
    const cv::Mat hr = histogram(ref, m), hi = histogram(img, m);
    cv::Mat lut(1, 256, CV_8U);
    double cumI = 0, cumR = 0;
    int j = 0;
    for (int i = 0; i < 256; ++i) {
      cumI += hi.at<float>(i);
      while (cumI > cumR && j < 256) cumR += hr.at<float>(j++);
      lut.at<unsigned char>(i) = static_cast<unsigned char>(j ? j - 1 : 0);
    }
    cv::LUT(img, lut, out);
  }

  void matchMeanStddev(bool masked) {
    cv::Scalar m, s;
    cv::meanStdDev(img, m, s, masked ? mask : cv::noArray());
    const double scale = refSd / s[0];
    img.convertTo(out, CV_8U, scale, refMean - m[0] * scale);
  }

  // Grey levels at two cumulative fractions of a histogram.
  static void tails(const cv::Mat& h, double loFrac, double hiFrac, int& lo, int& hi) {
    double total = 0;
    for (int i = 0; i < 256; ++i) total += h.at<float>(i);
    double cum = 0;
    lo = hi = -1;
    for (int i = 0; i < 256; ++i) {
      cum += h.at<float>(i);
      if (lo < 0 && cum >= std::max(1.0, loFrac * total)) lo = i;
      if (hi < 0 && cum >= hiFrac * total) hi = i;
    }
  }

  int refLo = 0, refHi = 255;

  void matchTails(bool masked) {
    int lo, hi;
    tails(histogram(img, masked ? mask : cv::Mat()), 0.0, 1.0, lo, hi);
    const double scale = double(refHi - refLo) / double(std::max(1, hi - lo));
    img.convertTo(out, CV_8U, scale, refLo - lo * scale);
  }

  cv::Mat clampedDifference() const {
    cv::Mat d16, d8;
    cv::subtract(img, ref, d16, cv::noArray(), CV_16S);
    d16.convertTo(d8, CV_8U, 1, 128);  // saturates to the offset-128 range
    return d8;
  }

  void subtractEstimate(const cv::Mat& estimate) {
    cv::Mat t;
    cv::subtract(img, estimate, t, cv::noArray(), CV_16S);
    t.convertTo(out, CV_8U, 1, 128);
  }

  void localMean(double sigma) {
    cv::Mat blurred;
    cv::GaussianBlur(clampedDifference(), blurred, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
    subtractEstimate(blurred);
  }

  void localMedian(int k) {
    cv::Mat med;
    cv::medianBlur(clampedDifference(), med, k);
    subtractEstimate(med);
  }
};

// The standard deviation of the tool's kernel for a smoothing amount s: three
// box filters whose widths add up to 2 s + 3 and differ by at most one (see
// mxGaussSample.h); a box of width w has variance (w^2 - 1) / 12.
double kernelSigma(int s) {
  const int total = 2 * s + 3;
  double var = 0;
  for (int k = 0; k < 3; ++k) {
    const double w = total / 3 + (k < total % 3 ? 1 : 0);
    var += (w * w - 1) / 12.0;
  }
  return std::sqrt(var);
}

struct Size {
  int w, h;
  std::string text() const { return w == h ? std::to_string(w) : std::to_string(w) + "x" + std::to_string(h); }
  double pels() const { return double(w) * h; }
};

struct Row {
  std::string job;
  Size size;
  double ours, theirs;  // ms; theirs < 0 when there is no OpenCV counterpart
};

const char* levelName(mxcpu::Level l) {
  return l == mxcpu::Level::kAvx512 ? "AVX-512" : (l == mxcpu::Level::kAvx2 ? "AVX2" : "baseline x86-64");
}
}  // namespace

int main(int argc, char** argv) {
  cv::setNumThreads(1);
  int rounds = 7;
  // 3000 x 2001 is not a multiple of any block or vector width.
  std::vector<Size> sizes = {{2048, 2048}, {4096, 4096}, {8192, 8192}, {3000, 2001}};
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick")) {
      rounds = 3;
      sizes = {{1024, 1024}, {3000, 2001}};
    } else if (!std::strcmp(argv[i], "--baseline")) {
      mxcpu::capLevel(mxcpu::Level::kBaseline);
    } else if (!std::strcmp(argv[i], "--avx2")) {
      mxcpu::capLevel(mxcpu::Level::kAvx2);
    }
  }
  std::printf("Instruction set in use: %s (processor supports %s)\n", levelName(mxcpu::level()),
              levelName(mxcpu::detected()));

  std::vector<Row> rows;
  std::vector<std::pair<std::string, double>> memcpyMs;
  for (const Size& sz : sizes) {
    const std::string size = sz.text();
    // Fewer rounds on the largest images: each run takes a good part of a second.
    const int roundsHere = sz.pels() > 3e7 ? std::min(rounds, 3) : rounds;
    const mxPelBuffer<unsigned char> ref = bench::texturedReference(sz.w, sz.h);
    const mxPelBuffer<unsigned char> img = bench::shadedRuntime(ref);
    const mxPelBuffer<unsigned char> mask = bench::benchMask(sz.w, sz.h);
    OpenCvJobs cvj;
    cvj.ref = asMat(ref);
    cvj.img = asMat(img);
    cvj.mask = asMat(mask);
    {
      cv::Scalar m, s;
      cv::meanStdDev(cvj.ref, m, s);
      cvj.refMean = m[0];
      cvj.refSd = s[0];
      OpenCvJobs::tails(OpenCvJobs::histogram(cvj.ref, cv::Mat()), 0.0, 1.0, cvj.refLo, cvj.refHi);
    }

    std::vector<unsigned char> a(std::size_t(sz.w) * sz.h), b(a.size());
    std::memcpy(b.data(), img.pointToOffset(), 1);  // touch
    std::vector<double> t;
    for (int r = 0; r < 3 * rounds; ++r) t.push_back(timeOnce([&] { std::memcpy(b.data(), a.data(), a.size()); }));
    memcpyMs.push_back({size, median(t)});

    auto compare = [&](const std::string& job, const mxImageNormalizer& tool, Method m,
                       const std::function<void()>& theirs) {
      std::vector<double> ours, other;
      bool ok = false;
      std::wstring why;
      for (int r = 0; r < roundsHere; ++r) {
        ours.push_back(timeOnce([&] { mxPelBuffer<unsigned char> out = tool.run(img, m, ok, why); }));
        if (theirs) other.push_back(timeOnce(theirs));
      }
      rows.push_back({job, sz, median(ours), theirs ? median(other) : -1.0});
      std::fprintf(stderr, ".");
    };

    for (bool masked : {false, true}) {
      mxImageNormalizer tool;
      tool.referenceImage(ref, false);
      if (masked) tool.maskImage(mask, false);
      tool.train(Method(63));
      const std::string suffix = masked ? " (mask)" : "";
      compare("histogram" + suffix, tool, eMatchHistogram, [&] { cvj.matchHistogram(masked); });
      compare("mean/stddev" + suffix, tool, eMatchMeanAndStddev, [&] { cvj.matchMeanStddev(masked); });
      compare("tails" + suffix, tool, eMatchHistogramTails, [&] { cvj.matchTails(masked); });
      compare("linear fit" + suffix, tool, eLinearlyFitGrayValues, nullptr);
    }
    for (int nbh : {31, 101, 201}) {
      mxImageNormalizer tool;
      tool.referenceImage(ref, false);
      tool.neighborhoodSize({nbh, nbh});
      tool.train(eLocalCorrection | eLocalCorrectionEnhanced);
      const double sigma = kernelSigma(smoothingForNeighborhood({nbh, nbh}).x());
      compare("local mean " + std::to_string(nbh), tool, eLocalCorrection, [&] { cvj.localMean(sigma); });
      compare("local median " + std::to_string(nbh), tool, eLocalCorrectionEnhanced, [&] { cvj.localMedian(nbh); });
    }
  }
  std::fprintf(stderr, "\n");

  std::printf("| job | size | ours (ms) | OpenCV (ms) | ours/OpenCV | ours ns/pel | ours/memcpy |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  auto memcpyFor = [&](const std::string& size) {
    for (const auto& [s, ms] : memcpyMs)
      if (s == size) return ms;
    return 1.0;
  };
  for (size_t i = 0; i < sizes.size(); ++i)
    std::printf("| memcpy | %s | %.2f | | | %.3f | 1.0 |\n", sizes[i].text().c_str(), memcpyMs[i].second,
                memcpyMs[i].second * 1e6 / sizes[i].pels());
  for (const Row& r : rows) {
    const double mc = memcpyFor(r.size.text());
    const double nsPerPel = r.ours * 1e6 / r.size.pels();
    if (r.theirs >= 0)
      std::printf("| %s | %s | %.2f | %.2f | %.2f | %.2f | %.0f |\n", r.job.c_str(), r.size.text().c_str(), r.ours,
                  r.theirs, r.ours / r.theirs, nsPerPel, r.ours / mc);
    else
      std::printf("| %s | %s | %.2f | | | %.2f | %.0f |\n", r.job.c_str(), r.size.text().c_str(), r.ours, nsPerPel,
                  r.ours / mc);
  }
  // Growth: ns/pel on every size against the first, per job.
  std::printf("\n| job |");
  for (const Size& s : sizes) std::printf(" %s ns/pel |", s.text().c_str());
  for (size_t i = 1; i < sizes.size(); ++i) std::printf(" %s / %s |", sizes[i].text().c_str(), sizes[0].text().c_str());
  std::printf("\n|---|");
  for (size_t i = 0; i < 2 * sizes.size() - 1; ++i) std::printf("---|");
  std::printf("\n");
  std::vector<std::string> jobs;
  for (const Row& r : rows)
    if (std::find(jobs.begin(), jobs.end(), r.job) == jobs.end()) jobs.push_back(r.job);
  jobs.insert(jobs.begin(), "memcpy");
  for (const std::string& job : jobs) {
    std::vector<double> ns;
    for (size_t i = 0; i < sizes.size(); ++i) {
      double v = -1;
      if (job == "memcpy") v = memcpyMs[i].second * 1e6 / sizes[i].pels();
      for (const Row& r : rows)
        if (r.job == job && r.size.text() == sizes[i].text()) v = r.ours * 1e6 / sizes[i].pels();
      ns.push_back(v);
    }
    std::printf("| %s |", job.c_str());
    for (double v : ns) std::printf(" %.3f |", v);
    for (size_t i = 1; i < ns.size(); ++i) std::printf(" %.2fx |", ns[i] / ns[0]);
    std::printf("\n");
  }
  return 0;
}
