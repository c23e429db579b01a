// Row kernels behind the base layer's whole-image operations, with a plain
// C++ version that always exists and, where the processor has them, faster
// instruction-set versions chosen once at run time.  Internal to the library;
// the tests compare every fast path with its plain version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct mxLevelLine;

namespace mxkernel {

// Asks for the cache lines of the bytes p .. p + n - 1 ahead of their use.
// The rows of a window narrower than its image (a block of a large image)
// lie apart, and at each row's start the processor's stream prefetch has
// lost the thread: counting 1024² blocks of a 4096² image took 1.5 times as
// long as counting the image.  Loops over such rows ask for the next row
// while they work on the current one (rowsApart says when to).
inline void prefetchBytes(const void* p, std::ptrdiff_t n) {
  const char* c = static_cast<const char*>(p);
  for (std::ptrdiff_t k = 0; k < n; k += 64) __builtin_prefetch(c + k);
}
// Passes whose every pel costs a table increment keep the processor's queues
// full, and its stream prefetch falls behind them on images that come from
// memory: such passes over images of kFetchAheadBytes or more (half this
// processor's last-level cache, too large to be still cached from whoever
// made or read them) ask for their bytes kFetchAhead ahead of use.
// (Counting an 8192 x 8192 image's histogram, best of 12 calls with the
// cache flushed: 0.206 -> 0.183 ns/pel; on a cached 2048 x 2048 image the
// asking costs 1-2 %.)
constexpr std::int64_t kFetchAheadBytes = std::int64_t(16) << 20;
constexpr std::uintptr_t kFetchAhead = 2048;
// Asks for the n bytes kFetchAhead past p (the address, an integer, may lie
// past the end of p's buffer: nothing is read from it).
inline void fetchAhead(const void* p, std::ptrdiff_t n) {
  const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p) + kFetchAhead;
  for (std::ptrdiff_t k = 0; k < n; k += 64) __builtin_prefetch(reinterpret_cast<const void*>(a + std::uintptr_t(k)));
}
// Rows of width bytes, strideBytes apart, are not one stream.
inline bool rowsApart(std::ptrdiff_t width, std::ptrdiff_t strideBytes) { return strideBytes > width + 64; }
// Whether a pass over rows of rowBytes bytes, strideBytes apart, reads one
// stream large enough to fetch ahead (see kFetchAheadBytes).
inline bool fetchesAhead(std::int64_t rowBytes, std::int64_t rows, std::ptrdiff_t strideBytes) {
  return !rowsApart(std::ptrdiff_t(rowBytes), strideBytes) && rowBytes * rows >= kFetchAheadBytes;
}

// d[i] = lut[s[i]] for i < n (s and d may be equal); byte shuffles at the
// AVX2 level, the VBMI version at the AVX-512 level where the processor has
// it.  With stream the vector versions write d around the caches (for
// outputs too large to stay in them).
void pelMapRow(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut, bool stream = false);
void pelMapRowPlain(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut);
// The AVX-512 VBMI version; false (nothing written) when the processor lacks it.
bool pelMapRowVbmi(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut,
                   bool stream = false);

// d[i] = lut[s[i]] for i < n with 16-bit pels; lut holds 65536 entries or
// more (every pel indexes it directly).
void pelMapRow16(const unsigned short* s, unsigned short* d, std::int32_t n, const unsigned short* lut,
                 bool ahead = false);

// The pairs of 16-bit pels in runs: with a' = min((a * scale) >> 16, 255)
// the top-bit level of a (scale = 2^(24 - depth)), out[i] = 0xFFFF when
// lo[t'] <= r' <= hi[t'] for t = t[i], r = r[i], else 0, for i < n.  lo and
// hi are 256-entry tables (an empty run: lo 255, hi 0).  The AVX-512 VBMI
// version looks the runs up in registers, 64 pels a step, the AVX2 one by
// byte shuffles as pelMapRow's, 32 pels a step; false (nothing written) at
// the baseline level.
bool pelPairsInRuns(const unsigned short* t, const unsigned short* r, std::int32_t n, std::uint16_t scale,
                    const unsigned char* lo, const unsigned char* hi, std::uint16_t* out);

// d[i] = line.entry(s[i]) for i < n (s and d may be equal).  For a
// single-precision line the AVX2 and AVX-512 versions take entry()'s steps
// in float lanes, the clamp to 0 last; a double line is computed pel by pel.
// stream as for pelMapRow.
void pelMapLineRow(const unsigned short* s, unsigned short* d, std::int32_t n, const mxLevelLine& line,
                   bool stream = false);

// t = {n, sum, sum of squares, largest} of the n 16-bit pels at s, for
// n <= 65536, in AVX-512 or AVX2 lanes; false (nothing written) at the
// baseline level.
bool pelMomentsRow16(const unsigned short* s, std::int32_t n, std::uint64_t* t);

// t[i] = min(s[i] >> shift, 255) for i < n, and *most raised to the
// largest s[i], in AVX-512 or AVX2 lanes; false (nothing done) at the
// baseline level.
bool pelTopBitsRow16(const unsigned short* s, unsigned char* t, std::int32_t n, int shift, std::uint16_t* most);

// Count, sum and sum of squares of the pels s[i] whose mask m[i] is non-zero
// (every pel when m is null), added to the accumulators.
struct Moments {
  std::uint64_t count = 0, sum = 0, sumOfSquares = 0;
};
void pelMomentsRow(const unsigned char* s, const unsigned char* m, std::int32_t n, Moments& acc);
void pelMomentsRowPlain(const unsigned char* s, const unsigned char* m, std::int32_t n, Moments& acc);

// t[i] = s[i] where m[i] is non-zero, else 0, for i < n; returns how many
// m[i] are 0.
std::int32_t pelSelectRow(const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n);
std::int32_t pelSelectRowPlain(const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n);

// Packs the pels s[i] whose m[i] is non-zero to the front of t, in order, and
// sets kept to how many there are; t must have room for n + 63 pels (whole
// registers are stored).  The AVX-512 VBMI2 version, used at the highest
// level where the processor has it; false (nothing written) elsewhere, where
// pelSelectRow is the fast way.
bool pelPackRow(const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n, std::int32_t& kept);
std::int32_t pelPackRowPlain(const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n);

// The 256-bin histogram of rows of pels.  Windows of kPairPels pels and
// more are counted two pels per increment: a pair's 16 bits index one table
// of 65536 16-bit pair counters, which is folded into the pel counts at the
// end and whenever its largest counter nears overflow.  Rows
// are read eight pels per load and a row's odd last pel is counted alone.
// Smaller windows, where the table's folding would not pay, count into four
// sub-histograms, four pels per load, neighbouring pels into different ones.
// Every pel is counted once, so both ways give the same sums (modulo 2^32,
// like the counts themselves).
//
// Scalar increments run at about one per cycle, so the pairs nearly halve the
// count's time where the pairs an image holds stay few enough for the table's
// used part to stay in the level-1 cache, as in natural images (neighbours
// alike); on pels that are random noise it still beats single counts by a
// little.  16-bit counters keep twice the pairs there as 32-bit ones.  Blocks
// of eight equal pairs (16 pels of a flat area, or of two alternating values)
// are counted as runs in a register, since increments of one counter would each
// wait for the last one's store.  mfPelHistogram at 2048 x 2048 (best of 200
// calls), 32-bit counters then these: the benchmarks' textured image 0.240 ->
// 0.176 ns/pel, white noise 0.265 -> 0.244, flat 0.141 -> 0.072, flat but one
// pel in 64 random 0.75 -> 0.19, two values at random 0.296 -> 0.307; camera,
// coins and text tiled 0.222 -> 0.214, 0.161 -> 0.164, 0.159 -> 0.160.  A
// second table taking alternate pairs doubles the part in use and measured
// slower on textured images than single counts.
//
// Each thread keeps one pair table (128 KiB), emptied, for its next large
// histogram: in some heap states a fresh block of that size comes from the
// system page by page on every call, and its page faults cost about as much
// as counting a 2048 x 2048 image.  The kept table is released when the
// thread ends.
class HistogramCounter {
public:
  static constexpr std::int64_t kPairPels = std::int64_t(1) << 19;
  // pels: how many pels the rows will hold in all.
  explicit HistogramCounter(std::int64_t pels);
  ~HistogramCounter();
  HistogramCounter(const HistogramCounter&) = delete;
  HistogramCounter& operator=(const HistogramCounter&) = delete;
  // ahead: s lies in a large image that the count reads in order, row after
  // row; its bytes are fetched kFetchAhead ahead of the count.
  void addRow(const unsigned char* s, std::int32_t n, bool ahead = false);
  // The 256 pel counts; empties the counters (call once).
  std::vector<std::uint32_t> takeCounts();

private:
  // Pairs an empty table may take: one more could overflow a counter.
  static constexpr std::uint32_t kRoom = 65535;
  // Finds how many pairs the table may still take (room_), folding it when
  // that is under a quarter of kRoom.
  void makeRoom();
  // Adds the pair table to folded_ and empties it.
  void fold();
  // Adds count pairs of the pair's two pels to folded_.
  void addRun(std::uint32_t pair, std::uint32_t count) {
    folded_[pair & 0xff] += count;
    folded_[pair >> 8] += count;
  }

  std::vector<std::uint16_t> table_;  // the pair table; empty when counting singles
  std::uint32_t room_ = kRoom;        // pairs that no counter can overflow with
  bool dirty_ = false;                // the table holds counts
  std::uint32_t single_[4][256] = {};
  std::uint32_t folded_[256] = {};
};

}  // namespace mxkernel
