#include "baseif/mxPelBuffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {
// Every pel of a store has 32-bit image coordinates, so that code working in
// image coordinates can form a window's far edge without overflow.
bool inCoordinateRange(std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h) {
  constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
  return x >= lo && y >= lo && x + w <= hi && y + h <= hi;
}

const mxPelRect& checkedStoreRect(const mxPelRect& r) {
  if (!inCoordinateRange(r.x(), r.y(), r.width(), r.height()))
    throw mxPel::BadWindow(L"pixel buffer reaches beyond the 32-bit coordinate range");
  return r;
}

// One shared identity transform for every default buffer: buffers only hold
// handles, so the common case costs no allocation.
const std::shared_ptr<const mx2XformBase>& identityXform() {
  static const std::shared_ptr<const mx2XformBase> id = std::make_shared<mx2XformLinear>();
  return id;
}
#if defined(__linux__)
// Large stores (image-sized temporaries: a run of the local methods on a
// 4096 x 4096 image makes several of 16 to 32 MiB) live in mappings of their
// own, on 2 MiB boundaries with huge pages requested; medium ones (from
// 64 KiB: the sub-sampled grids, rows of a wide image) in blocks from the C
// library's heap.  Each thread keeps the last few blocks it released and
// hands them out again, so that repeated runs neither fault in nor clear
// fresh pages: with 4 KiB pages the kernel's page faults on every new
// temporary cost about as much as the filtering.  (A medium block freed to
// the heap goes back to the system at once in processes that set
// MALLOC_TRIM_THRESHOLD_ or MALLOC_MMAP_THRESHOLD_, as Dask's workers do; kept
// here, it cannot.  Medium stores stay heap blocks, not mappings, so that a
// program holding many small images does not run into the system's limit on
// mappings per process.)  The cache is per thread, so it needs no lock, and
// bounded (kCacheEntries blocks, cacheBytes() in all); a thread's cache is
// released when the thread ends.
//
// Lifetimes.  A store may outlive the thread that made it (a worker's result
// handed to another thread) and may be released after its releasing
// thread's cache is gone: by a static's destructor at exit, or by another
// thread-local object's destructor as the thread ends.  So a block always
// goes back to the cache of the thread that releases it, never to its
// maker's, and the cache itself is a trivially destructible thread-local
// (its storage stays valid until the thread is gone) with a state: a
// separate thread-local closer, made when the thread first takes a block,
// frees the kept blocks at thread end and marks the cache closed.  A block
// released on a thread whose cache is not open (closed, or never used for
// taking: such a thread would only hoard it) is freed at once.
constexpr std::size_t kMediumStore = std::size_t(64) << 10;
constexpr std::size_t kLargeStore = std::size_t(1) << 20;
constexpr std::size_t kHugePage = std::size_t(2) << 20;
// A run of eLocalLinear releases up to 14 stores of a few sizes (grid
// planes, their means, the fields, the result); with fewer entries the
// cache drops some of them and the next run faults them in anew.
constexpr std::size_t kCacheEntries = 16;
// The bytes a thread keeps: a sixteenth of the machine's memory, at least
// 192 MiB and at most 1 GiB.  A 16384 x 16384 image's result is a 256 MiB
// store; with a cap below it, every run of such an image mapped and zeroed
// that store anew (128 huge-page faults, 10-20 % of a histogram run).
std::size_t cacheBytes() {
  static const std::size_t bytes = [] {
    const std::size_t lo = std::size_t(192) << 20, hi = std::size_t(1) << 30;
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return lo;
    const std::size_t share = std::size_t(pages) / 16 * std::size_t(pageSize);
    return share < lo ? lo : share > hi ? hi : share;
  }();
  return bytes;
}

struct CachedBlock {
  void* base = nullptr;
  std::size_t length = 0;
  bool mapped = false;  // a mapping (large stores), else a heap block
};

void release(const CachedBlock& b) {
  if (b.mapped)
    ::munmap(b.base, b.length);
  else
    std::free(b.base);
}

enum class CacheState : unsigned char { eUnused, eOpen, eClosed };

struct BlockCache {
  CachedBlock entries[kCacheEntries];
  std::size_t count, bytes;
  CacheState state;
};
static_assert(std::is_trivially_destructible<BlockCache>::value, "the cache must stay usable until the thread is gone");
thread_local BlockCache tCache{};

struct CacheCloser {
  CacheCloser() { tCache.state = CacheState::eOpen; }
  ~CacheCloser() {
    BlockCache& c = tCache;
    for (std::size_t i = 0; i < c.count; ++i) release(c.entries[i]);
    c.count = c.bytes = 0;
    c.state = CacheState::eClosed;
  }
  CacheCloser(const CacheCloser&) = delete;
  CacheCloser& operator=(const CacheCloser&) = delete;
};

// Opens the thread's cache on its first take (registering the closer).
void openCache() {
  if (tCache.state != CacheState::eUnused) return;
  static thread_local CacheCloser closer;
}

// A large store's mapping length: whole huge pages plus one for the
// alignment.
std::size_t mappingLength(std::size_t bytes) { return ((bytes + kHugePage - 1) & ~(kHugePage - 1)) + kHugePage; }

unsigned char* hugePageStart(void* base) {
  const std::uintptr_t p = reinterpret_cast<std::uintptr_t>(base);
  return reinterpret_cast<unsigned char*>((p + kHugePage - 1) & ~std::uintptr_t(kHugePage - 1));
}

// A block for a store of `bytes` (from kMediumStore) whose pels start at an
// `alignment` boundary: a cached one of the same kind whose length fits (not
// more than twice what is needed), else a new one; its pels at data.
CachedBlock takeBlock(std::size_t bytes, std::size_t alignment, unsigned char*& data, bool& reused) {
  const bool mapped = bytes >= kLargeStore;
  const std::size_t need = mapped ? mappingLength(bytes) : (bytes + alignment - 1) & ~(alignment - 1);
  openCache();
  BlockCache& c = tCache;
  // The entries stay in the order they were released, oldest first, so that
  // a full cache drops the one unused longest; the newest fit is taken (in
  // a repeated run, the block the same store had the last time).
  for (std::size_t i = c.count; i-- > 0;) {
    const CachedBlock e = c.entries[i];
    if (e.mapped == mapped && e.length >= need && e.length <= 2 * need &&
        reinterpret_cast<std::uintptr_t>(e.base) % alignment == 0) {
      c.bytes -= e.length;
      for (std::size_t k = i + 1; k < c.count; ++k) c.entries[k - 1] = c.entries[k];
      --c.count;
      reused = true;
      data = mapped ? hugePageStart(e.base) : static_cast<unsigned char*>(e.base);
      return e;
    }
  }
  reused = false;
  CachedBlock b;
  b.length = need;
  b.mapped = mapped;
  if (!mapped) {
    b.base = std::aligned_alloc(alignment, need);
    if (!b.base) throw std::bad_alloc();
    data = static_cast<unsigned char*>(b.base);
    return b;
  }
  b.base = ::mmap(nullptr, need, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (b.base == MAP_FAILED) throw std::bad_alloc();
  data = hugePageStart(b.base);
  ::madvise(data, need - std::size_t(data - static_cast<unsigned char*>(b.base)), MADV_HUGEPAGE);  // only a hint
  return b;
}

// Keeps a released block for reuse, dropping the oldest when the cache is
// full; a block larger than the whole cache, or released on a thread whose
// cache is not open, is released at once.
void giveBlock(const CachedBlock& b) {
  BlockCache& c = tCache;
  if (c.state != CacheState::eOpen || b.length > cacheBytes()) {
    release(b);
    return;
  }
  while (c.count > 0 && (c.count == kCacheEntries || c.bytes + b.length > cacheBytes())) {
    release(c.entries[0]);
    c.bytes -= c.entries[0].length;
    for (std::size_t i = 1; i < c.count; ++i) c.entries[i - 1] = c.entries[i];
    --c.count;
  }
  c.entries[c.count++] = b;
  c.bytes += b.length;
}
#endif
}  // namespace

mx_PelStore::mx_PelStore(std::int32_t w, std::int32_t h, std::size_t ps, std::size_t alignment, mxPelInit init)
    : data(nullptr), width(w), height(h), pelSize(ps), rowBytes(0) {
  if (w < 0 || h < 0) throw mxPel::BadWindow(L"pixel buffer size is negative");
  if (alignment < 1 || (alignment & (alignment - 1)) != 0)
    throw mxPel::BadWindow(L"row alignment must be a power of two");
  if (alignment < alignof(std::max_align_t)) alignment = alignof(std::max_align_t);
  const std::size_t row = (std::size_t(w) * ps + alignment - 1) & ~(alignment - 1);
  rowBytes = std::ptrdiff_t(row);
  const std::size_t total = row * std::size_t(h);
  // Always allocate at least one aligned block so that data is never null.
  const std::size_t bytes = total == 0 ? alignment : total;
#if defined(__linux__)
  if (bytes >= kMediumStore && alignment <= kHugePage) {
    bool reused = false;
    const CachedBlock b = takeBlock(bytes, alignment, data, reused);
    block_ = b.base;
    blockBytes_ = b.length;
    blockMapped_ = b.mapped;
    // Fresh mappings read as zero; heap blocks and reused ones are cleared
    // when asked.
    if ((reused || !b.mapped) && init == mxPelInit::eZero) std::memset(data, 0, bytes);
    return;
  }
#endif
  data = static_cast<unsigned char*>(std::aligned_alloc(alignment, bytes));
  if (!data) throw std::bad_alloc();
  // New stores are zero-filled unless the caller is about to overwrite every
  // pel: no result of this library ever depends on uninitialised memory.
  if (init == mxPelInit::eZero) std::memset(data, 0, bytes);
}

mx_PelStore::mx_PelStore(unsigned char* d, std::int32_t w, std::int32_t h, std::size_t ps, std::ptrdiff_t rb,
                         std::shared_ptr<const void> keepAlive)
    : data(d), width(w), height(h), pelSize(ps), rowBytes(rb), callerOwned_(true), keepAlive_(std::move(keepAlive)) {
  if (w < 0 || h < 0) throw mxPel::BadWindow(L"pixel buffer size is negative");
  if (rb < 0 || std::uint64_t(rb) < std::uint64_t(w) * ps)
    throw mxPel::BadWindow(L"row stride of " + std::to_wstring(rb) + L" bytes is less than a row of " +
                           std::to_wstring(w) + L" pels of " + std::to_wstring(ps) + L" bytes");
  // Wider pels are read as whole values, so they must sit on their own
  // alignment; nothing asks for more than that.
  if (rb % std::ptrdiff_t(ps) != 0 || reinterpret_cast<std::uintptr_t>(d) % ps != 0)
    throw mxPel::BadWindow(L"caller pels of " + std::to_wstring(ps) +
                           L" bytes need a start address and row stride that are multiples of " + std::to_wstring(ps));
  if (!d) throw mxBadPointer(L"caller pels are null");
}

mx_PelStore::~mx_PelStore() {
  if (callerOwned_) return;  // keepAlive_ releases the caller's memory, if it asked to be told
#if defined(__linux__)
  if (block_) {
    CachedBlock b;
    b.base = block_;
    b.length = blockBytes_;
    b.mapped = blockMapped_;
    giveBlock(b);
    return;
  }
#endif
  std::free(data);
}

mx_PelBuffer::mx_PelBuffer(std::size_t pelSize)
    : pelSize_(pelSize), clientFromImage_(identityXform()), imageFromClient_(identityXform()) {}

mx_PelBuffer::mx_PelBuffer(std::size_t pelSize, const mxPelRect& rect, std::size_t alignment, mxPelInit init)
    : store_(std::make_shared<mx_PelStore>(checkedStoreRect(rect).width(), rect.height(), pelSize, alignment, init)),
      pelSize_(pelSize),
      window_(rect),
      storeX_(rect.x()),
      storeY_(rect.y()),
      clientFromImage_(identityXform()),
      imageFromClient_(identityXform()) {}

mx_PelBuffer::mx_PelBuffer(std::size_t pelSize, unsigned char* data, std::int32_t width, std::int32_t height,
                           std::ptrdiff_t rowStrideBytes, std::shared_ptr<const void> keepAlive,
                           const mxPair<std::int32_t>& origin)
    : store_(std::make_shared<mx_PelStore>(data, width, height, pelSize, rowStrideBytes, std::move(keepAlive))),
      pelSize_(pelSize),
      window_(checkedStoreRect(mxPelRect(origin.x(), origin.y(), width, height))),
      storeX_(origin.x()),
      storeY_(origin.y()),
      clientFromImage_(identityXform()),
      imageFromClient_(identityXform()) {}

mx_PelBuffer::~mx_PelBuffer() = default;
mx_PelBuffer::mx_PelBuffer(const mx_PelBuffer&) = default;
mx_PelBuffer& mx_PelBuffer::operator=(const mx_PelBuffer& o) {
  // Pel types must agree; the typed subclasses make that a compile-time fact.
  assert(o.pelSize_ == pelSize_);
  store_ = o.store_;
  window_ = o.window_;
  storeX_ = o.storeX_;
  storeY_ = o.storeY_;
  clientFromImage_ = o.clientFromImage_;
  imageFromClient_ = o.imageFromClient_;
  return *this;
}
mx_PelBuffer::mx_PelBuffer(mx_PelBuffer&& o) noexcept
    : store_(std::move(o.store_)),
      pelSize_(o.pelSize_),
      window_(o.window_),
      storeX_(o.storeX_),
      storeY_(o.storeY_),
      clientFromImage_(o.clientFromImage_),
      imageFromClient_(o.imageFromClient_) {
  o.window_ = mxPelRect();
}
mx_PelBuffer& mx_PelBuffer::operator=(mx_PelBuffer&& o) noexcept {
  if (this != &o) {
    store_ = std::move(o.store_);
    window_ = o.window_;
    storeX_ = o.storeX_;
    storeY_ = o.storeY_;
    clientFromImage_ = o.clientFromImage_;
    imageFromClient_ = o.imageFromClient_;
    o.window_ = mxPelRect();
  }
  return *this;
}

void mx_PelBuffer::setUnbound() {
  store_.reset();
  window_ = mxPelRect();
  storeX_ = storeY_ = 0;
  clientFromImage_ = identityXform();
  imageFromClient_ = identityXform();
}

mxPelRect mx_PelBuffer::storeRect() const {
  if (!store_) return mxPelRect();
  return mxPelRect(storeX_, storeY_, store_->width, store_->height);
}

void mx_PelBuffer::window(const mxPelRect& rect, bool clip) {
  if (!store_) throw mxPel::UnboundWindow();
  const mxPelRect all = storeRect();
  if (clip) {
    const mxPelRect part = all.intersect(rect);
    if (part.isNull()) throw mxPel::BadWindow(L"window lies outside the pixel store");
    window_ = part;
    return;
  }
  if (rect.width() < 0 || rect.height() < 0 || !all.contains(rect) ||
      (rect.isNull() &&
       !(rect.x() >= all.x() && rect.y() >= all.y() && std::int64_t(rect.x()) <= std::int64_t(all.x()) + all.width() &&
         std::int64_t(rect.y()) <= std::int64_t(all.y()) + all.height())))
    throw mxPel::BadWindow(L"window lies outside the pixel store");
  window_ = rect;
}

void mx_PelBuffer::window(const mxPair<std::int32_t>& origin, const mxPair<std::int32_t>& size, bool clip) {
  window(mxPelRect(origin, size), clip);
}

void mx_PelBuffer::setEntire() {
  if (!store_) throw mxPel::UnboundWindow();
  window_ = storeRect();
}

void mx_PelBuffer::offset(const mxPair<std::int32_t>& p) {
  relabel(std::int64_t(p.x()) - window_.x(), std::int64_t(p.y()) - window_.y());
}

void mx_PelBuffer::offset(std::int32_t dx, std::int32_t dy) { relabel(dx, dy); }

void mx_PelBuffer::relabel(std::int64_t dx, std::int64_t dy) {
  if (!store_) throw mxPel::UnboundWindow();
  const std::int64_t sx = storeX_ + dx, sy = storeY_ + dy;
  if (!inCoordinateRange(sx, sy, store_->width, store_->height))
    throw mxPel::BadWindow(L"offset moves the pixel buffer beyond the 32-bit coordinate range");
  // The window lies within the store, so its new origin is in range too.
  window_ =
      mxPelRect(std::int32_t(window_.x() + dx), std::int32_t(window_.y() + dy), window_.width(), window_.height());
  storeX_ = std::int32_t(sx);
  storeY_ = std::int32_t(sy);
}

unsigned char* mx_PelBuffer::firstPelBytes() const {
  if (!store_) return nullptr;
  return pelBytes(window_.x(), window_.y());
}

unsigned char* mx_PelBuffer::pelBytes(std::int32_t x, std::int32_t y) const {
  assert(store_);
  return store_->data + std::ptrdiff_t(y - storeY_) * store_->rowBytes +
         std::ptrdiff_t(x - storeX_) * std::ptrdiff_t(pelSize_);
}

void mx_PelBuffer::clientFromImageXformBase(const std::shared_ptr<const mx2XformBase>& x, bool) {
  clientFromImage_ = x;
  imageFromClient_ = x ? x->inverseBase() : nullptr;
}

void mx_PelBuffer::imageFromClientXformBase(const std::shared_ptr<const mx2XformBase>& x, bool) {
  imageFromClient_ = x;
  clientFromImage_ = x ? x->inverseBase() : nullptr;
}

mxXform<2> mx_PelBuffer::clientFromImageXform() const {
  if (!clientFromImage_) throw mxBadPointer(L"pixel buffer has no client-from-image transform");
  return clientFromImage_->linear();
}

mxXform<2> mx_PelBuffer::imageFromClientXform() const {
  if (!imageFromClient_) throw mxBadPointer(L"pixel buffer has no image-from-client transform");
  return imageFromClient_->linear();
}

void mx_PelBuffer::clientFromImageXform(const mxXform<2>& x) {
  clientFromImageXformBase(std::make_shared<mx2XformLinear>(x));
}

void mx_PelBuffer::copyXforms(const mx_PelBuffer& other) {
  clientFromImage_ = other.clientFromImage_;
  imageFromClient_ = other.imageFromClient_;
}
