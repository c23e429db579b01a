// Copies of one trained tool run in parallel threads and give exactly the
// single-threaded results: run writes nothing in the tool, and the trained
// buffers the copies share are only read.  Under ThreadSanitizer
// (scripts/tsan.sh) this also shows that no data race hides behind equal
// results, including in the run-time choice of instruction-set versions.
#include <thread>

#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;

TEST(Threads, CopiesOfOneToolRunInParallel) {
  mxImageNormalizer tool;
  tool.referenceImage(randomImage(96, 64, 1, 30, 220), true);
  tool.maskImage(makeImage(96, 64, [](int x, int y) { return (x / 7 + y / 5) % 4 ? 255 : 0; }), true);
  tool.neighborhoodSize(P(15, 11));
  tool.granularity(P(2, 2));
  tool.train(Method(63));
  const Image image = randomImage(96, 64, 2, 10, 240);

  std::vector<Image> expected;
  for (std::uint32_t m = 1; m <= 32; m <<= 1) {
    bool ok = false;
    std::wstring why;
    expected.push_back(tool.run(image, Method(m), ok, why));
    ASSERT_TRUE(ok) << m;
  }
  std::vector<std::vector<Image>> got(3);
  std::vector<std::thread> threads;
  for (auto& results : got)
    threads.emplace_back([tool, &image, &results] {  // each thread its own copy
      for (int round = 0; round < 2; ++round)
        for (std::uint32_t m = 1; m <= 32; m <<= 1) {
          bool ok = false;
          std::wstring why;
          results.push_back(tool.run(image, Method(m), ok, why));
        }
    });
  for (auto& t : threads) t.join();
  for (const auto& results : got) {
    ASSERT_EQ(results.size(), 2 * expected.size());
    for (std::size_t i = 0; i < results.size(); ++i)
      EXPECT_TRUE(mfPelEqual<unsigned char>(results[i], expected[i % expected.size()])) << i;
  }
}
