#include <gtest/gtest.h>

#include <deque>

#include "pelTestUtil.h"
#include "pelfunc/detail/floodQueue.h"
#include "pelfunc/mf_Region.h"

namespace {

using pelTest::image;
using pelTest::rows;
using pelTest::Rows;

// Brute-force eight-connected fill of window rows.
Rows floodReference(Rows px, int sx, int sy, int fill) {
  const int h = int(px.size()), w = int(px[0].size()), target = px[sy][sx];
  std::deque<std::pair<int, int>> todo{{sx, sy}};
  px[sy][sx] = fill;
  while (!todo.empty()) {
    auto [x, y] = todo.front();
    todo.pop_front();
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const int nx = x + dx, ny = y + dy;
        if (nx < 0 || ny < 0 || nx >= w || ny >= h || px[ny][nx] != target) continue;
        px[ny][nx] = fill;
        todo.push_back({nx, ny});
      }
  }
  return px;
}

TEST(FindFirstPel, RasterOrderAndImageCoordinates) {
  mxPair<std::int32_t> pos(-1, -1);
  const mxPelBuffer<unsigned char> img = image({{1, 2, 3}, {4, 5, 9}}, 10, 20);
  EXPECT_TRUE(mf_FindFirstPel(img, 9, pos));
  EXPECT_EQ(pos, mxPair<std::int32_t>(12, 21));
  EXPECT_TRUE(mf_FindFirstPel(img, 1, pos));
  EXPECT_EQ(pos, mxPair<std::int32_t>(10, 20));
  const mxPelBuffer<unsigned char> twice = image({{0, 0, 7}, {7, 0, 0}});
  EXPECT_TRUE(mf_FindFirstPel(twice, 7, pos));
  EXPECT_EQ(pos, mxPair<std::int32_t>(2, 0));
  // No match, and a match that lies in the store but outside the window.
  mxPelBuffer<unsigned char> win(twice);
  win.window(mxPelRect(0, 1, 2, 1));
  pos = mxPair<std::int32_t>(5, 5);
  EXPECT_FALSE(mf_FindFirstPel(img, 200, pos));
  EXPECT_TRUE(mf_FindFirstPel(win, 7, pos));
  EXPECT_EQ(pos, mxPair<std::int32_t>(0, 1));
  win.window(mxPelRect(1, 1, 2, 1));
  pos = mxPair<std::int32_t>(5, 5);
  EXPECT_FALSE(mf_FindFirstPel(win, 7, pos));
  win.window(mxPelRect(0, 0, 0, 2));
  EXPECT_FALSE(mf_FindFirstPel(win, 0, pos));
  EXPECT_EQ(pos, mxPair<std::int32_t>(5, 5));
  mxPelBuffer<unsigned char> unbound;
  EXPECT_THROW(mf_FindFirstPel(unbound, 0, pos), mxPel::UnboundWindow);
}

TEST(FloodFill, CheckerboardConnectsDiagonally) {
  Rows board(6, std::vector<int>(7));
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 7; ++x) board[y][x] = (x + y) % 2 ? 200 : 10;
  mxPelBuffer<unsigned char> img = image(board, -4, 3);
  std::vector<long long> work;
  mf_FloodFill(img, mxPair<std::int32_t>(-3, 3), 99, work);  // a 200 square
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 7; ++x) EXPECT_EQ(img.get(x - 4, y + 3), (x + y) % 2 ? 99 : 10);
  EXPECT_GE(work.size(), 42u);
}

// Random images of few grey levels, seeds everywhere, windows inside a larger
// store whose outside pels must stay as they were.
TEST(FloodFill, MatchesBruteForceBfs) {
  std::mt19937 rng(31);
  for (int trial = 0; trial < 60; ++trial) {
    const int w = 1 + int(rng() % 40), h = 1 + int(rng() % 25);
    mxPelBuffer<unsigned char> store =
        pelTest::randomImage(rng, w + 4, h + 4, 0, 0, trial % 2 ? std::vector<int>{1, 2} : std::vector<int>{1, 2, 3});
    const mxPelBuffer<unsigned char> before = mfPelCopy<unsigned char>(store);
    mxPelBuffer<unsigned char> win(store);
    win.window(mxPelRect(2, 2, w, h));
    const int sx = int(rng() % w), sy = int(rng() % h);
    const Rows expected = floodReference(rows<unsigned char>(win), sx, sy, 9);
    std::vector<long long> work(trial % 3 == 0 ? 5 : 0);
    mf_FloodFill(win, mxPair<std::int32_t>(sx + 2, sy + 2), 9, work);
    ASSERT_EQ(rows<unsigned char>(win), expected) << "trial " << trial;
    ASSERT_GE(work.size(), std::size_t(w) * h);
    for (int y = 0; y < h + 4; ++y)
      for (int x = 0; x < w + 4; ++x)
        if (!win.window().contains(x, y)) {
          ASSERT_EQ(store.get(x, y), before.get(x, y));
        }
  }
}

TEST(FloodFill, SmallWindowsAndWorkVector) {
  mxPelBuffer<unsigned char> one = image({{4}}, 7, 7);
  std::vector<long long> work;
  mf_FloodFill(one, mxPair<std::int32_t>(7, 7), 5, work);
  EXPECT_EQ(one.get(7, 7), 5);
  EXPECT_EQ(work.size(), 1u);
  std::vector<long long> big(1000, 3);
  mxPelBuffer<unsigned char> img = image({{0, 0}, {0, 0}});
  mf_FloodFill(img, mxPair<std::int32_t>(1, 1), 1, big);
  EXPECT_EQ(big.size(), 1000u);
  EXPECT_EQ(rows<unsigned char>(img), (Rows{{1, 1}, {1, 1}}));
}

TEST(FloodFill, Failures) {
  mxPelBuffer<unsigned char> img = image({{1, 2}, {3, 4}}, 1, 1), unbound;
  std::vector<long long> work(3, 42);
  EXPECT_THROW(mf_FloodFill(unbound, mxPair<std::int32_t>(0, 0), 0, work), mxPel::UnboundWindow);
  mxPelBuffer<unsigned char> empty(img);
  empty.window(mxPelRect(1, 1, 0, 0));
  EXPECT_THROW(mf_FloodFill(empty, mxPair<std::int32_t>(1, 1), 0, work), mxPel::BadWindow);
  EXPECT_THROW(mf_FloodFill(img, mxPair<std::int32_t>(0, 1), 0, work), mxPelFunc::BadParams);
  EXPECT_THROW(mf_FloodFill(img, mxPair<std::int32_t>(3, 2), 0, work), mxPelFunc::BadParams);
  EXPECT_THROW(mf_FloodFill(img, mxPair<std::int32_t>(2, 2), 4, work), mxPelFunc::BadParams);
  EXPECT_EQ(work, std::vector<long long>(3, 42));
  EXPECT_EQ(rows<unsigned char>(img), (Rows{{1, 2}, {3, 4}}));
}

// The ring buffer keeps first-in, first-out order across wrap-around and
// growth beyond its initial capacity.
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
