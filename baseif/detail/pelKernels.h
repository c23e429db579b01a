// Row kernels behind the base layer's whole-image operations, with a plain
// C++ version that always exists and, where the processor has them, faster
// instruction-set versions chosen once at run time.  Internal to the library;
// the tests compare every fast path with its plain version.
#pragma once

#include <cstdint>
#include <vector>

namespace mxkernel {

// d[i] = lut[s[i]] for i < n (s and d may be equal).
void pelMapRow(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut);
void pelMapRowPlain(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut);
// The AVX-512 VBMI version; false (nothing written) when the processor lacks it.
bool pelMapRowVbmi(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut);

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

// The 256-bin histogram of rows of pels.  Windows of kPairPels pels and
// more are counted two pels per increment: a row's pels are taken in pairs,
// and a pair's 16 bits index a table of 65536 pair counters (about a quarter
// faster than single counts on 2048 x 2048 images; the tables' clearing and
// folding make it pay only from kPairPels pels on).  Two tables take
// alternate pairs, so that repeated pairs do not wait on each other; a row's
// odd last pel is counted alone.  Smaller windows count into four
// interleaved sub-histograms (consecutive equal pels then update different
// counters).  Every pel is counted once, so both ways give the same sums
// (modulo 2^32, like the counters themselves).
//
// Each thread keeps one set of pair tables (512 KiB), emptied, for its next
// large histogram: in some heap states a fresh block of that size comes from
// the system page by page on every call, and its page faults cost about as
// much as counting a 2048 x 2048 image.  The kept tables are released when
// the thread ends.
class HistogramCounter {
public:
  static constexpr std::int64_t kPairPels = std::int64_t(1) << 19;
  // pels: how many pels the rows will hold in all.
  explicit HistogramCounter(std::int64_t pels);
  ~HistogramCounter();
  HistogramCounter(const HistogramCounter&) = delete;
  HistogramCounter& operator=(const HistogramCounter&) = delete;
  void addRow(const unsigned char* s, std::int32_t n);
  // The 256 pel counts; empties the counters (call once).
  std::vector<std::uint32_t> takeCounts();

private:
  std::vector<std::uint32_t> tables_;  // the pair tables; empty when counting singles
  bool empty_ = true;
  std::uint32_t single_[4][256] = {};
};

}  // namespace mxkernel
