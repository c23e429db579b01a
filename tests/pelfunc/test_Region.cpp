#include <deque>
#include "pelTestUtil.h"
#include "pelfunc/detail/floodQueue.h"
#include "pelfunc/mf_Region.h"

namespace {

using namespace pelTest;

// Brute-force eight-connected fill of window rows (target != fill).
void floodReference(Rows& px, int x, int y, int target, int fill) {
  if (y < 0 || x < 0 || y >= int(px.size()) || x >= int(px[0].size()) || px[y][x] != target) return;
  px[y][x] = fill;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) floodReference(px, x + dx, y + dy, target, fill);
}

TEST(FindFirstPel, RasterOrderWithinTheWindow) {
  using Pos = mxPair<std::int32_t>;
  const Image twice = image({{1, 0, 7}, {7, 0, 9}}, 10, 20);
  const struct {
    mxPelRect window;
    int value;
    bool found;
    Pos pos;  // image coordinates; unchanged when not found
  } cases[] = {{{10, 20, 3, 2}, 9, true, {12, 21}},  {{10, 20, 3, 2}, 1, true, {10, 20}},
               {{10, 20, 3, 2}, 7, true, {12, 20}},  {{10, 21, 2, 1}, 7, true, {10, 21}},
               {{11, 21, 2, 1}, 7, false, {-5, -5}}, {{10, 20, 3, 2}, 200, false, {-5, -5}},
               {{10, 20, 0, 2}, 0, false, {-5, -5}}};
  for (const auto& c : cases) {
    Image win = windowOf(twice, c.window);
    Pos pos(-5, -5);
    EXPECT_EQ(mf_FindFirstPel(win, std::uint8_t(c.value), pos), c.found) << c.value;
    EXPECT_EQ(pos, c.pos) << c.value;
  }
  Pos pos;
  EXPECT_THROW(mf_FindFirstPel(Image(), 0, pos), mxPel::UnboundWindow);
}

// Random images of few grey levels, seeds everywhere, windows inside a larger
// store whose outside pels must stay as they were.
TEST(FloodFill, MatchesBruteForceBfs) {
  std::mt19937 rng(31);
  for (int trial = 0; trial < 60; ++trial) {
    const int w = 1 + int(rng() % 40), h = 1 + int(rng() % 25);
    Image store = randomImage(rng, w + 4, h + 4, 0, 0, trial % 2 ? std::vector<int>{1, 2} : std::vector<int>{1, 2, 3});
    const Image before = mfPelCopy<unsigned char>(store);
    Image win = windowOf(store, mxPelRect(2, 2, w, h));
    const int sx = int(rng() % w), sy = int(rng() % h);
    Rows expected = rows(win);
    floodReference(expected, sx, sy, expected[sy][sx], 9);
    // The work vector grows as needed; a larger one is kept as it is.
    const std::size_t given = trial % 3 == 0 ? 5 : trial % 3 == 1 ? 0 : 2000;
    std::vector<long long> work(given, 3);
    mf_FloodFill(win, mxPair<std::int32_t>(sx + 2, sy + 2), 9, work);
    ASSERT_EQ(rows(win), expected) << "trial " << trial;
    ASSERT_GE(work.size(), std::max(given, std::size_t(w) * h));
    expectUntouchedOutside(store, before, win.window());
  }
}

TEST(FloodFill, Failures) {
  Image img = image({{1, 2}, {3, 4}}, 1, 1), unbound;
  std::vector<long long> work(3, 42);
  EXPECT_THROW(mf_FloodFill(unbound, mxPair<std::int32_t>(0, 0), 0, work), mxPel::UnboundWindow);
  Image empty = windowOf(img, mxPelRect(1, 1, 0, 0));
  // Default-constructed exceptions: the base library's standard messages.
  const std::wstring badParams = mxPelFunc::BadParams().message();
  expectError<mxPel::BadWindow>([&] { mf_FloodFill(empty, mxPair<std::int32_t>(1, 1), 0, work); },
                                mxPel::BadWindow().message());
  expectError<mxPelFunc::BadParams>([&] { mf_FloodFill(img, mxPair<std::int32_t>(0, 1), 0, work); }, badParams);
  expectError<mxPelFunc::BadParams>([&] { mf_FloodFill(img, mxPair<std::int32_t>(3, 2), 0, work); }, badParams);
  expectError<mxPelFunc::BadParams>([&] { mf_FloodFill(img, mxPair<std::int32_t>(2, 2), 4, work); }, badParams);
  EXPECT_EQ(work, std::vector<long long>(3, 42));
  EXPECT_EQ(rows(img), (Rows{{1, 2}, {3, 4}}));
}

// The ring buffer keeps first-in, first-out order across wrap-around and growth beyond its initial capacity.
TEST(FloodQueue, GrowsAndKeepsOrder) {
  for (std::size_t initial : {0u, 1u, 3u, 7u}) {
    std::vector<long long> store(initial, -1);
    mxFloodQueue q(store);
    std::deque<long long> model;
    std::mt19937 rng{static_cast<unsigned>(initial)};
    long long next = 0;
    for (int step = 0; step < 2000; ++step) {
      if (model.empty() || rng() % 3 != 0) {
        q.push(next);
        model.push_back(next++);
      } else {
        ASSERT_EQ(q.pop(), model.front());
        model.pop_front();
      }
      ASSERT_EQ(q.size(), model.size());
    }
    while (!model.empty()) {
      ASSERT_EQ(q.pop(), model.front());
      model.pop_front();
    }
    EXPECT_TRUE(q.empty());
    EXPECT_GT(store.size(), initial);
  }
}

}  // namespace
