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

// A histogram counted two pels per increment: each row's pels are taken in
// pairs, and a pair's 16 bits index a table of 65536 pair counters, so one
// increment counts two pels (about a quarter faster than single counts on
// 2048 x 2048 images; the tables' clearing and folding make it pay only
// from kPels pels on).  Two tables take alternate pairs, so that repeated
// pairs do not wait on each other; a row's odd last pel is counted alone.
// Every pel is counted once, so the sums agree with single counting (modulo
// 2^32, like the counters themselves).
//
// Each thread keeps one set of tables (512 KiB), emptied, for its next
// histogram: in some heap states a fresh block of that size comes from the
// system page by page on every call, and its page faults cost about as much
// as counting a 2048 x 2048 image.  The kept tables are released when the
// thread ends.
class PairHistogram {
public:
  static constexpr std::int64_t kPels = std::int64_t(1) << 19;
  PairHistogram();
  ~PairHistogram();
  PairHistogram(const PairHistogram&) = delete;
  PairHistogram& operator=(const PairHistogram&) = delete;
  void addRow(const unsigned char* s, std::int32_t n);
  // The 256 pel counts; empties the tables (call once).
  std::vector<std::uint32_t> takeCounts();

private:
  std::vector<std::uint32_t> tables_;
  bool empty_ = true;
  std::uint32_t single_[256] = {};
};

}  // namespace mxkernel
