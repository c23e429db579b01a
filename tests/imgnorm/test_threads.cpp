// Copies of one trained tool run in parallel threads and give exactly the
// single-threaded results: run writes nothing in the tool, and the trained
// buffers the copies share are only read.  Under ThreadSanitizer
// (scripts/tsan.sh) this also shows that no data race hides behind equal
// results, including in the run-time choice of instruction-set versions.
#include <thread>

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
