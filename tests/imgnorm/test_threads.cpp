// Threads give the single-threaded results: copies in parallel, one run split into bands
// (scripts/tsan.sh runs these under ThreadSanitizer).
#include <algorithm>
#include <thread>

#include "imgnorm/mxBlockNormalizer.h"
#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;

TEST(Threads, CopiesOfOneToolRunInParallel) {
  const mxImageNormalizer tool =
      trainedTool(randomImage(96, 64, 1, 30, 220), 63, P(15, 11),
                  makeImage(96, 64, [](int x, int y) { return (x / 7 + y / 5) % 4 ? 255 : 0; }), P(2, 2));
  const Image image = randomImage(96, 64, 2, 10, 240);

  std::vector<Image> expected;
  for (std::uint32_t m = 1; m <= 32; m <<= 1) {
    bool ok = false;
    expected.push_back(runTool(tool, image, m, &ok));
    ASSERT_TRUE(ok) << m;
  }
  std::vector<std::vector<Image>> got(3);
  std::vector<std::thread> threads;
  for (auto& results : got)
    threads.emplace_back([tool, &image, &results] {  // each thread its own copy
      for (int round = 0; round < 2; ++round)
        for (std::uint32_t m = 1; m <= 32; m <<= 1) results.push_back(runTool(tool, image, m));
    });
  for (auto& t : threads) t.join();
  for (const auto& results : got) {
    ASSERT_EQ(results.size(), 2 * expected.size());
    for (std::size_t i = 0; i < results.size(); ++i)
      EXPECT_TRUE(mfPelEqual<unsigned char>(results[i], expected[i % expected.size()])) << i;
  }
}

// Window, pels, message and records, every method, masked or not, granularity 1, 3 and
// one whose halo reaches beyond 32-bit coordinates, 2 threads per call, 3 kept, and tasks
// taken last first; an offset image of height 101.
TEST(Threads, RunSplitOverThreadsEqualsRun) {
  const Image ref = texturedImage(150, 113, 1);
  const Image mask =
      makeImage(150, 113, [](int x, int y) { return (x - 70) * (x - 70) + (y - 50) * (y - 50) < 900 ? 0 : 9; });
  const Image flat = makeImage(
      140, 101, [](int, int) { return 77; }, 5, 4);  // nothing to match: a soft failure
  const Image img = texturedImage(140, 101, 7, 5, 4);
  mxTaskThreads kept(3);
  const mxTaskRunner backwards = [](std::vector<std::function<void()>>& tasks) {
    std::for_each(tasks.rbegin(), tasks.rend(), [](std::function<void()>& t) { t(); });
  };
  for (bool masked : {false, true})
    for (P g : {P(1, 1), P(3, 3), P(400000000, 3)}) {
      mxImageNormalizer tool = trainedTool(ref, 255, P(21, 15), masked ? mask : Image(), g, masked);
      tool.tailFractions({0.05, 0.95});
      tool.train(Method(255));
      for (std::uint32_t m = 1; m <= 128; m <<= 1)
        for (const Image* in : {&img, &flat}) {
          bool ok = false;
          std::wstring why;
          mxDiagObject diag;
          const Image whole = tool.run(*in, Method(m), ok, why, &diag, mxDiagObject::eAll);
          for (int threads : {2, 3, 4}) {
            bool pok = !ok;
            std::wstring pwhy = L"stale";
            mxDiagObject pdiag;
            const Image got =
                threads == 2
                    ? mxBlockNormalizer::runParallel(tool, *in, Method(m), 2, pok, pwhy, &pdiag, mxDiagObject::eAll)
                    : mxBlockNormalizer::runParallel(tool, *in, Method(m), threads == 3 ? kept.runner() : backwards,
                                                     threads, pok, pwhy, &pdiag, mxDiagObject::eAll);
            const std::string where = std::to_string(m) + (masked ? " masked" : "") + " g" + std::to_string(g.x()) +
                                      (in == &flat ? " flat" : "") + " threads " + std::to_string(threads);
            ASSERT_EQ(pok, ok) << where;
            EXPECT_EQ(pwhy, why) << where;
            if (ok) {
              EXPECT_TRUE(mfPelEqual<unsigned char>(got, whole)) << where;
            }
            ASSERT_EQ(pdiag.records().size(), diag.records().size()) << where;
            for (std::size_t r = 0; r < diag.records().size(); ++r) {
              EXPECT_EQ(pdiag.records()[r].name, diag.records()[r].name) << where;
              EXPECT_EQ(pdiag.records()[r].level, diag.records()[r].level) << where;
              // (local-gain and local-linear's fields among them)
              if (diag.records()[r].image.isBound()) {
                EXPECT_TRUE(mfPelEqual<unsigned char>(pdiag.records()[r].image, diag.records()[r].image)) << where;
              }
            }
          }
        }
    }
}

// A run makes no more threads than the image has bands: a million asked for on a
// three-row image is three (it made them all, up to the system's limit, before).
TEST(Threads, ThreadsBeyondTheRowsAreNotMade) {
  const Image ref = texturedImage(40, 3, 1), img = texturedImage(40, 3, 2);
  const mxImageNormalizer tool = trainedTool(ref, eMatchHistogram | eLocalCorrectionEnhanced, P(5, 5));
  for (const Method m : {eMatchHistogram, eLocalCorrectionEnhanced}) {
    bool ok = false, pok = false;
    std::wstring why, pwhy;
    const Image whole = tool.run(img, m, ok, why);
    EXPECT_TRUE(mfPelEqual<unsigned char>(mxBlockNormalizer::runParallel(tool, img, m, 1 << 20, pok, pwhy), whole));
    EXPECT_TRUE(ok && pok);
  }
}
