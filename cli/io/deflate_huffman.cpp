#include "io/deflate_huffman.h"

#include <algorithm>
#include <cstring>

#include <libdeflate.h>

namespace imgnormcli {

namespace {

constexpr std::size_t kHuffBlock = 256 * 1024;
constexpr int kSymbols = 257;  // 256 literals and the end-of-block code

// Code lengths (at most 15 bits) of a Huffman code for freq; symbols with
// frequency 0 get length 0.
void huffmanLengths(const std::uint32_t* freq, int n, std::uint8_t* lengths) {
  std::vector<std::uint32_t> f(freq, freq + n);
  for (;;) {
    // Nodes 0..n-1 are leaves; parents follow.  Two-queue construction over
    // the leaves sorted by frequency.
    std::vector<int> leaves;
    for (int i = 0; i < n; ++i)
      if (f[std::size_t(i)]) leaves.push_back(i);
    std::fill(lengths, lengths + n, 0);
    if (leaves.size() == 1) {
      lengths[leaves[0]] = 1;
      return;
    }
    std::sort(leaves.begin(), leaves.end(), [&](int a, int b) { return f[std::size_t(a)] < f[std::size_t(b)]; });
    std::vector<std::uint64_t> weight(f.begin(), f.end());
    std::vector<int> parent(std::size_t(n) + leaves.size(), -1);
    std::vector<int> inner;
    std::size_t li = 0, ii = 0;
    auto take = [&]() {
      if (ii >= inner.size() ||
          (li < leaves.size() && weight[std::size_t(leaves[li])] <= weight[std::size_t(inner[ii])]))
        return leaves[li++];
      return inner[ii++];
    };
    while ((leaves.size() - li) + (inner.size() - ii) > 1) {
      const int a = take(), b = take();
      const int node = int(weight.size());
      weight.push_back(weight[std::size_t(a)] + weight[std::size_t(b)]);
      parent[std::size_t(a)] = parent[std::size_t(b)] = node;
      inner.push_back(node);
    }
    // Depths: parents come after their children, so walk from the root down.
    std::vector<int> depth(weight.size(), 0);
    for (int k = int(weight.size()) - 2; k >= 0; --k)
      if (parent[std::size_t(k)] >= 0) depth[std::size_t(k)] = depth[std::size_t(parent[std::size_t(k)])] + 1;
    int deepest = 0;
    for (int i : leaves) deepest = std::max(deepest, depth[std::size_t(i)]);
    if (deepest <= 15) {
      for (int i : leaves) lengths[i] = std::uint8_t(depth[std::size_t(i)]);
      return;
    }
    for (auto& v : f) v = v ? (v >> 1) | 1u : 0;  // flatten and try again
  }
}

// Canonical codes of the lengths, bit-reversed for deflate's LSB-first order.
void canonicalCodes(const std::uint8_t* lengths, int n, std::uint32_t* codes) {
  int count[16] = {};
  for (int i = 0; i < n; ++i) ++count[lengths[i]];
  count[0] = 0;
  std::uint32_t next[16] = {};
  std::uint32_t code = 0;
  for (int b = 1; b < 16; ++b) {
    code = (code + std::uint32_t(count[b - 1])) << 1;
    next[b] = code;
  }
  for (int i = 0; i < n; ++i) {
    const int len = lengths[i];
    if (!len) continue;
    std::uint32_t c = next[len]++, r = 0;
    for (int k = 0; k < len; ++k) r = (r << 1) | ((c >> k) & 1u);
    codes[i] = r;
  }
}

class BitWriter {
public:
  explicit BitWriter(std::uint8_t* out) : out_(out) {}
  void put(std::uint64_t bits, int n) {
    acc_ |= bits << count_;
    count_ += n;
    if (count_ >= 32) {
      const std::uint32_t word = std::uint32_t(acc_);
      std::memcpy(out_, &word, 4);  // little-endian hosts
      out_ += 4;
      acc_ >>= 32;
      count_ -= 32;
    }
  }
  std::uint8_t* finish() {
    while (count_ > 0) {
      *out_++ = std::uint8_t(acc_);
      acc_ >>= 8;
      count_ = count_ > 8 ? count_ - 8 : 0;
    }
    return out_;
  }

private:
  std::uint8_t* out_;
  std::uint64_t acc_ = 0;
  int count_ = 0;
};

// Room for the stream of n bytes: at most 15 bits a byte (short of two
// bytes), a block header per block, the zlib head and check.
std::size_t huffmanBound(std::size_t n) { return n * 2 + (n / kHuffBlock + 1) * 300 + 16; }

// Writes the stream into out (huffmanBound(n) bytes); returns its length.
std::size_t huffmanDeflate(const std::uint8_t* data, std::size_t n, std::uint8_t* out) {
  out[0] = 0x78;  // deflate, 32 KiB window
  out[1] = 0x01;  // no dictionary, check bits
  BitWriter bw(out + 2);
  std::size_t at = 0;
  do {
    const std::size_t len = std::min(kHuffBlock, n - at);
    std::uint32_t freq[kSymbols] = {};
    const std::uint8_t* p = data + at;
    for (std::size_t i = 0; i < len; ++i) ++freq[p[i]];
    freq[256] = 1;
    std::uint8_t lengths[kSymbols];
    std::uint32_t codes[kSymbols] = {};
    huffmanLengths(freq, kSymbols, lengths);
    canonicalCodes(lengths, kSymbols, codes);
    bw.put(at + len == n ? 1 : 0, 1);  // last block?
    bw.put(2, 2);                      // dynamic Huffman codes
    bw.put(kSymbols - 257, 5);         // HLIT
    bw.put(1, 5);                      // HDIST: two distance codes (of one bit, never used)
    bw.put(15, 4);                     // HCLEN: all 19 code-length codes listed
    // Code-length code: lengths 0..15 each as a 4-bit code; 16, 17, 18 unused.
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (int k : order) bw.put(k < 16 ? 4 : 0, 3);
    auto lengthCode = [](int len) {  // canonical code of symbol len among 16 codes of 4 bits, reversed
      std::uint32_t r = 0;
      for (int k = 0; k < 4; ++k) r = (r << 1) | ((std::uint32_t(len) >> k) & 1u);
      return r;
    };
    for (int i = 0; i < kSymbols; ++i) bw.put(lengthCode(lengths[i]), 4);
    bw.put(lengthCode(1), 4);
    bw.put(lengthCode(1), 4);
    std::uint64_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = std::uint64_t(codes[i]) | std::uint64_t(lengths[i]) << 32;
    for (std::size_t i = 0; i < len; ++i) {
      const std::uint64_t e = table[p[i]];
      bw.put(e & 0xffffffffu, int(e >> 32));
    }
    bw.put(codes[256], lengths[256]);
    at += len;
  } while (at < n);
  std::uint8_t* end = bw.finish();
  const std::uint32_t adler = libdeflate_adler32(1, data, n);
  for (int i = 3; i >= 0; --i) *end++ = std::uint8_t(adler >> (8 * i));
  return std::size_t(end - out);
}

}  // namespace

std::vector<std::uint8_t> huffmanOnlyZlib(const std::uint8_t* data, std::size_t n) {
  std::vector<std::uint8_t> z(huffmanBound(n));
  z.resize(huffmanDeflate(data, n, z.data()));
  return z;
}

}  // namespace imgnormcli
