// Block-wise running: a tool run over an image too large to hold in memory,
// one block at a time, giving exactly the pels one whole-image run() gives.
//
// The image comes from an mxPelSource (read in rectangles) and the result
// goes to an mxPelSink (written in blocks), so that only a few blocks are in
// memory at once.  Blocks tile the result on a grid anchored at image
// coordinate (0, 0), visited row by row.
//
// Global methods take two passes.  Pass 1 reads every block and adds up what
// the mapping needs: the masked histogram (histogram, mean/stddev and tails
// methods) or, for the linear fit, the pair counts of the joint histogram,
// from which the fit's sums over the pels on the ridge follow (16-bit
// images: the exact sums per cell of the binned joint histogram).  All of these
// are exact integer totals, so the table is the one a whole-image run builds,
// bit for bit, the linear fit included.  Pass 2 reads every block again and
// maps it through that one table.
//
// Local methods take one pass.  The blocks of a block row run in groups of
// up to four neighbours: each group is read together with a halo of context
// on every side (halo()), run through the tool's own run(), cut back to the
// group and handed to the sink block by block.  (A group makes the context
// its blocks share once, where block by block it would be made twice.)
// Where the halo is cut by the edge of the image (or of the reference or
// mask), the group sees the same edge the whole image does, so it is
// handled the same way.  With a granularity above 1 the block size
// is rounded up to a multiple of it, so every block starts on the sub-sampled
// grid.
//
// The halo of the local methods is localCorrectionHalo (localCorrection.h,
// where its derivation is written down), rounded up to a multiple of the
// granularity: per axis, with g the granularity, K = (n / g) | 1 the
// neighbourhood n on the working grid and s the Gaussian smoothing amount of
// K, the reach rho is s for the mean and (K' - 1) / 2 for the median (K' the
// median size after limiting to 32767 pels); the halo is rho without
// sub-sampling and (rho + 3) g with it.  Neighbourhood 101 at granularity 1
// needs 52 pels for the mean and 50 for the median.  When the mask too is
// read in pieces and the grid is sub-sampled, 3 g more pels of mask are read
// around the context for the sampled mask's cells and dilation.  A block
// smaller than its halo is refused.
//
// The tool's run() is unchanged and used as it is: the engine adds the block
// loop, not a second implementation of any method.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "baseif/mxExport.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"
#include "imgnorm/mxColorNormalizer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"

// A large image read in pieces: Pel is unsigned char (mxPelSource, 8-bit
// images and masks) or unsigned short (mxPelSource16, 16-bit images).
template <class Pel>
class IMGNORM_API mxPelSourceOf {
public:
  virtual ~mxPelSourceOf();
  // The image's window in image coordinates.
  virtual mxPelRect window() const = 0;
  // The image's pels over rect (which lies within window()), in a buffer
  // whose window is rect.  The engine asks for rectangles in block rows, top
  // to bottom; within one block row the rows asked for are the same, which a
  // source that decodes whole rows can cache.  Errors are the source's own.
  virtual mxPelBuffer_const<Pel> read(const mxPelRect& rect) = 0;
};
using mxPelSource = mxPelSourceOf<unsigned char>;
using mxPelSource16 = mxPelSourceOf<unsigned short>;

// An image in memory as a source: reads are views of it, no pel is copied.
template <class Pel>
class IMGNORM_API mxBufferPelSourceOf : public mxPelSourceOf<Pel> {
public:
  explicit mxBufferPelSourceOf(const mxPelBuffer_const<Pel>& image) : image_(image) {}
  mxPelRect window() const override { return image_.window(); }
  mxPelBuffer_const<Pel> read(const mxPelRect& rect) override;

private:
  mxPelBuffer_const<Pel> image_;
};
using mxBufferPelSource = mxBufferPelSourceOf<unsigned char>;
using mxBufferPelSource16 = mxBufferPelSourceOf<unsigned short>;

// Receives a result in blocks.
template <class Pel>
class IMGNORM_API mxPelSinkOf {
public:
  virtual ~mxPelSinkOf();
  // Called once, before the first block, with the result's window.  Not
  // called when the run fails (success false) or nothing overlaps.
  virtual void begin(const mxPelRect& window) = 0;
  // One block of the result; the blocks tile the window row by row, left to
  // right, each once.  The buffer is valid only during the call.
  virtual void write(const mxPelBuffer_const<Pel>& block) = 0;
};
using mxPelSink = mxPelSinkOf<unsigned char>;
using mxPelSink16 = mxPelSinkOf<unsigned short>;

// Assembles the blocks into one image in memory (for tests and for callers
// that want the result whole).
template <class Pel>
class IMGNORM_API mxBufferPelSinkOf : public mxPelSinkOf<Pel> {
public:
  void begin(const mxPelRect& window) override;
  void write(const mxPelBuffer_const<Pel>& block) override;
  // The result (unbound until begin()).
  const mxPelBuffer<Pel>& image() const { return image_; }

private:
  mxPelBuffer<Pel> image_;
};
using mxBufferPelSink = mxBufferPelSinkOf<unsigned char>;
using mxBufferPelSink16 = mxBufferPelSinkOf<unsigned short>;

extern template class mxPelSourceOf<unsigned char>;
extern template class mxPelSourceOf<unsigned short>;
extern template class mxBufferPelSourceOf<unsigned char>;
extern template class mxBufferPelSourceOf<unsigned short>;
extern template class mxPelSinkOf<unsigned char>;
extern template class mxPelSinkOf<unsigned short>;
extern template class mxBufferPelSinkOf<unsigned char>;
extern template class mxBufferPelSinkOf<unsigned short>;

// What pass 1 of a global method gathers over blocks: exact integer totals,
// so the totals of any set of blocks added up in any order are those of the
// whole image.
struct IMGNORM_API mxBlockTotals {
  // The masked histogram (histogram, mean/stddev and tails methods): 256
  // bins for 8-bit images, 2^depth for 16-bit ones.
  std::vector<std::uint64_t> histogram = std::vector<std::uint64_t>(256, 0);
  // The linear fit: per grey pair (reference t, run-time r), at (t << 8) | r,
  // the number of used pels (8-bit images only); and per 33 x 33 cell of the
  // binned joint histogram (row = reference bin), the sum of the mask values
  // (1 per pel without a mask).  Empty for the other methods.
  std::vector<std::uint64_t> pairs, cells;
  // The linear fit of 16-bit images: per cell, the exact sums of its used
  // pels (imgnorm::detail::DeepFitCounts::sums).  Empty otherwise.
  std::vector<std::uint64_t> sums;
  mxBlockTotals& operator+=(const mxBlockTotals& other);
  // The number of counts pass 1 of a global method gathers for images of
  // depth bits (8 for 8-bit images), the vectors laid end to end
  // (histogram, pairs, cells, sums; the 16-bit fit leaves the histogram
  // out, the other methods the fit's vectors): what a caller that carries
  // the totals as one flat array allocates per block.
  static std::size_t size(mxImageNormalizerDefs::Method method, std::int32_t depth = 8);
  // The totals as that flat array, and back (a count other than size()
  // throws mxImageNormalizerDefs::BadParams).  Flat arrays add up element
  // by element as the totals do.
  std::vector<std::uint64_t> flat(mxImageNormalizerDefs::Method method, std::int32_t depth = 8) const;
  static mxBlockTotals fromFlat(const std::uint64_t* counts, std::size_t count, mxImageNormalizerDefs::Method method,
                                std::int32_t depth = 8);
};

// Runs every task of the list once and returns when all have finished.  The
// tasks are independent: any order, any threads, several at once.  They do
// not throw (the parallel run catches inside each task what the run throws
// and rethrows it on the caller's thread afterwards).  A caller with a
// thread pool of its own passes one of these to use it.
using mxTaskRunner = std::function<void(std::vector<std::function<void()>>& tasks)>;

// A task runner on threads kept for the object's lifetime: threads - 1
// std::threads made by the constructor (fewer if the system refuses some)
// and ended by the destructor, the calling thread working as the last one.
// Each thread keeps the memory its runs released for the next run (the
// pel-store cache and scratch are per thread), so repeated runs on one
// runner do not fault in fresh pages in every band: a thread made for one
// call starts with none.  One call at a time (further calls wait).  A task
// must not throw on a helper thread (those of runParallel never throw).
class IMGNORM_API mxTaskThreads {
public:
  explicit mxTaskThreads(int threads);
  ~mxTaskThreads();
  mxTaskThreads(const mxTaskThreads&) = delete;
  mxTaskThreads& operator=(const mxTaskThreads&) = delete;
  // The threads that work on a call: the helpers made and the caller.
  int threads() const;
  void operator()(std::vector<std::function<void()>>& tasks);
  // This object as an mxTaskRunner (which must not outlive it).
  mxTaskRunner runner() {
    return [this](std::vector<std::function<void()>>& tasks) { (*this)(tasks); };
  }

private:
  struct State;
  State* state_;
};

// The block engine over pels of Pel: mxBlockNormalizer for 8-bit images
// and the 8-bit tool, mxBlockNormalizer16 for 16-bit images and the 16-bit
// tool (mxImageNormalizer16).  One implementation serves both: the 16-bit
// engine gives, block by block, the pels of the 16-bit tool's run(), for
// every method it runs.  Its histograms have 2^depth bins, and its linear
// fit gathers per cell of the binned joint histogram the exact sums the
// 16-bit fit refines its line on (imgnorm::detail::DeepFitCounts), so the
// line too is the whole-image run's, bit for bit.  The 16-bit engine
// refuses what the 16-bit tool's run refuses (NotImplemented for a method
// not available at 16 bits, BadImage for a pel above the depth); the pels
// are checked block by block (group by group) as they are read, so with a
// local method a pel above the depth is found only when its block (group)
// is reached, after the blocks before it were written to the sink.
template <class Pel>
class IMGNORM_API mxBlockNormalizerOf {
public:
  using Method = mxImageNormalizerDefs::Method;
  using Tool = std::conditional_t<sizeof(Pel) == 1, mxImageNormalizer, mxImageNormalizer16>;

  // Runs a tool that holds its reference and mask in memory (trained for
  // the methods to run).  blockSize: width and height of a block, both >= 1
  // (else mxImageNormalizerDefs::BadParams).  The tool is copied (shallow:
  // the images are shared).
  mxBlockNormalizerOf(const Tool& tool, mxPair<std::int32_t> blockSize);
  // Runs the tool's parameters against a reference (and mask, may be null)
  // that are themselves read in pieces: what training derives from them is
  // gathered block by block, as training would derive it from the whole
  // images.  The tool's own images and trained set are not used.  The sources
  // must outlive this object.
  mxBlockNormalizerOf(const Tool& parameters, mxPelSourceOf<Pel>& reference, mxPelSource* mask,
                      mxPair<std::int32_t> blockSize);

  // The block size in use: the one given, rounded up per axis to a multiple
  // of the granularity when method is a local one.
  mxPair<std::int32_t> blockSize(Method method) const;
  // Pels of context read on each side of a block (0 for the global methods).
  mxPair<std::int32_t> halo(Method method) const;

  // Normalizes image by method into sink and returns success, with message
  // as run() reports them.  Throws what run() throws for the method and the
  // image (mxImageNormalizerDefs::BadParams, NotTrained), BadParams when a
  // local method's block is smaller than its halo, CanNotTrain when
  // reference pieces give an empty histogram for a histogram method, and
  // whatever the source or sink throws.  Nothing is written to sink before
  // every check has passed and, for global methods, the table is built.
  bool run(mxPelSourceOf<Pel>& image, Method method, mxPelSinkOf<Pel>& sink, std::wstring& message) const;

  // The steps of run(), for callers that schedule the blocks themselves (a
  // task graph over chunks, each block on its own worker).  Blocks and
  // contexts carry their image coordinates in their windows; they need not
  // follow the block grid, but a local method's blocks must start on the
  // granularity grid (multiples of it in image coordinates) unless they
  // touch the image's edge, and the engine's checks of run() are the
  // caller's to make (checkRun).
  //
  // Checks method and image window as run() does and returns the window of
  // the result (null when nothing overlaps).
  mxPelRect checkRun(Method method, const mxPelRect& imageWindow) const;
  // Pass 1 of a global method: adds one block's totals (block within the
  // result window).  The tool's own reference and mask are used.
  void addTotals(const mxPelBuffer_const<Pel>& block, Method method, const mxPelRect& resultWindow,
                 mxBlockTotals& totals) const;
  // The table of a global method from the totals over every block of the
  // result window; false and message as run() reports a failure.
  bool table(Method method, const mxBlockTotals& totals, std::vector<Pel>& lut, std::wstring& message) const;
  // The same map as run() applies it: for the 16-bit methods whose table is
  // a line (mean-stddev, tails, the linear fit), the line alone.
  bool levels(Method method, const mxBlockTotals& totals, LevelMap<Pel>& map, std::wstring& message) const;
  // Pass 2: one block through the table, with the masked pels put back when
  // the tool keeps them.
  mxPelBuffer<Pel> mapBlock(const mxPelBuffer_const<Pel>& block, const std::vector<Pel>& lut) const;
  mxPelBuffer<Pel> mapBlock(const mxPelBuffer_const<Pel>& block, const LevelMap<Pel>& map) const;
  // A local method over one block, from the image's pels over context: the
  // block grown by halo() on every side, cut to the result window.  into,
  // when given, is a buffer over the block that the result may share (it
  // then holds the block's pels; see mxNormalizerMembers::runOverlap).
  mxPelBuffer<Pel> runBlock(const mxPelBuffer_const<Pel>& context, Method method, const mxPelRect& block,
                            const mxPelBuffer<Pel>* into = nullptr) const;

protected:
  std::vector<mxPelRect> bands(const mxPelRect& window, Method method, int count) const;
  static std::vector<mxPelRect> blocks(const mxPelRect& window, mxPair<std::int32_t> size);
  void checkMethod(Method method) const;
  mxPelBuffer_const<Pel> readReference(const mxPelRect& rect) const;
  mxPelBuffer_const<unsigned char> readMask(const mxPelRect& rect) const;
  mxPelRect maskContext(const mxPelRect& block, const mxPair<std::int32_t>& halo) const;
  // Pass 2 with either map: the pels' check, mapTo(out), the masked pels put back.
  template <class MapTo>
  mxPelBuffer<Pel> mapped(const mxPelBuffer_const<Pel>& block, MapTo mapTo) const;

  template <class>
  friend class mxColorBlockNormalizerOf;

  Tool tool_;
  mxPelSourceOf<Pel>* reference_ = nullptr;  // null: the tool's own images
  mxPelSource* mask_ = nullptr;
  mxPair<std::int32_t> blockSize_;
};

extern template class mxBlockNormalizerOf<unsigned char>;
extern template class mxBlockNormalizerOf<unsigned short>;

// The block engine of the colour tool (mxColorNormalizer): an interleaved
// RGB or RGBA image of Pel (8-bit pels at depth 8, 16-bit ones above) read
// in pieces and its result written in blocks, windows in samples as the
// colour tool takes them, giving the colour tool's run() pel for pel.  Each
// piece is split into the planes run() hands to its grey tools (R, G, B; or
// the luma), each plane goes through the block engine of its grey tool, and
// the results are merged back as run() merges them (mxColorNormalizer::
// planes, merge).  Global methods take two passes (every plane's totals,
// then every block mapped); local methods one, in groups of blocks as the
// grey engine runs them, with the halo of the grey tools.  Refuses what the colour tool's run() refuses; pels above
// the depth are found block by block, as for mxBlockNormalizer16.
template <class Pel>
class IMGNORM_API mxColorBlockNormalizerOf {
public:
  using Method = mxImageNormalizerDefs::Method;
  // tool: trained for the methods to run (copied, its images shared);
  // blockSize in pels, both >= 1 (else BadParams).
  mxColorBlockNormalizerOf(const mxColorNormalizer& tool, mxPair<std::int32_t> blockSize);
  // Pels of context read on each side of a block (0 for the global methods).
  mxPair<std::int32_t> halo(Method method) const;
  // Normalizes image (channels samples per pel) by method into sink, as
  // mxBlockNormalizer::run; the sink's windows are in samples.
  bool run(mxPelSourceOf<Pel>& image, std::int32_t channels, Method method, mxPelSinkOf<Pel>& sink,
           std::wstring& message) const;

private:
  mxColorNormalizer tool_;
  std::vector<mxBlockNormalizerOf<Pel>> engines_;  // one per plane
  mxPair<std::int32_t> blockSize_;
};
using mxColorBlockNormalizer = mxColorBlockNormalizerOf<unsigned char>;
using mxColorBlockNormalizer16 = mxColorBlockNormalizerOf<unsigned short>;

extern template class mxColorBlockNormalizerOf<unsigned char>;
extern template class mxColorBlockNormalizerOf<unsigned short>;

class IMGNORM_API mxBlockNormalizer : public mxBlockNormalizerOf<unsigned char> {
public:
  using mxBlockNormalizerOf<unsigned char>::mxBlockNormalizerOf;
  using Method = mxImageNormalizerDefs::Method;

  // ---- one in-memory image on several threads ----
  //
  // tool.run(image, method, success, message, diag, diagFlags) with the work
  // split into bands of whole rows, one per task: the same window, pels,
  // client transforms, success, message, exceptions and diagnostics records
  // (run() records nothing between its inputs and its result, so the split
  // changes no record).  Global methods take the engine's two passes: each
  // band's exact totals (added up in any order give the whole image's), the
  // one table, then each band mapped through it.  Local methods take one
  // pass: each band with its halo of rows (halo()), its rows starting on the
  // granularity grid.  Every band writes its own rows of the one result
  // buffer.  The tool is only read, so one tool may serve several parallel
  // runs at once.
  //
  // With threads: an mxTaskThreads made for the call when its first pass
  // comes, with no more threads than the image has bands (its threads start
  // without kept memory: for repeated runs, keep one and pass its runner);
  // threads 1 (or eIdentity) is tool.run itself.  Throws
  // mxImageNormalizerDefs::BadParams when threads < 1.
  static mxPelBuffer<unsigned char> runParallel(const mxImageNormalizer& tool,
                                                const mxPelBuffer_const<unsigned char>& image, Method method,
                                                int threads, bool& success, std::wstring& message,
                                                mxDiagObject* diag = nullptr, std::uint32_t diagFlags = 0);
  // The same with the caller's runner: the image is split into at most
  // tasks bands (tasks >= 1, else BadParams), given to runner once per pass.
  static mxPelBuffer<unsigned char> runParallel(const mxImageNormalizer& tool,
                                                const mxPelBuffer_const<unsigned char>& image, Method method,
                                                const mxTaskRunner& runner, int tasks, bool& success,
                                                std::wstring& message, mxDiagObject* diag = nullptr,
                                                std::uint32_t diagFlags = 0);

  // The same for the 16-bit tool: tool.run(image, method, success, message)
  // split into bands of whole rows, the same window, pels, transforms,
  // success, message and exceptions.  Local methods: each band with its
  // halo, as for 8-bit images.  Histogram methods: each band's 2^depth-bin
  // histogram (exact counts, added up), the one table, each band mapped
  // through it.  The linear fit: each band's cell sums (as the 16-bit block
  // engine gathers them), added up, the one line, each band mapped through
  // its table.
  static mxPelBuffer<unsigned short> runParallel(const mxImageNormalizer16& tool,
                                                 const mxPelBuffer_const<unsigned short>& image, Method method,
                                                 int threads, bool& success, std::wstring& message);
  static mxPelBuffer<unsigned short> runParallel(const mxImageNormalizer16& tool,
                                                 const mxPelBuffer_const<unsigned short>& image, Method method,
                                                 const mxTaskRunner& runner, int tasks, bool& success,
                                                 std::wstring& message);
};

using mxBlockNormalizer16 = mxBlockNormalizerOf<unsigned short>;
