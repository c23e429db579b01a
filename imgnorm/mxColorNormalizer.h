// mxColorNormalizer: the normalization tool for colour images, RGB or RGBA,
// with 8-bit or 16-bit pels.
//
// Images.  A colour image is one interleaved pixel buffer: each row holds the
// samples of its pels in turn (R, G, B, then A for RGBA), so an image of
// w x h pels with c channels is a buffer of width c x w and height h, and the
// channel count goes beside it in every call.  This is how an H x W x c array
// (numpy, OpenCV, a decoded PNG) lies in memory: wrap() its pels and nothing
// is copied going in.  Window x coordinates and widths count samples, so a
// window must start and end on a whole pel (a multiple of c); pel
// coordinates are the sample coordinates divided by c.  The mask is one 8-bit
// grey image for all channels, one pel per colour pel (w x h, in pel
// coordinates; non-zero = use), of the reference's size.  Reference, image
// and mask meet on the overlap of their windows in pel coordinates, as the
// grey tools' do, and the result covers that overlap with the image's
// client transforms.  The image's alpha is passed through unchanged; the
// reference's alpha takes no part, so an RGB image runs against an RGBA
// reference and the reverse.
//
// Pels.  The bit depth, fixed at construction, picks the pel type: 8 for
// unsigned char pels, run by the grey 8-bit tool (mxImageNormalizer); 9 to 16
// for unsigned short pels with that many significant bits, run by the
// 16-bit tool (mxImageNormalizer16), which refuses pels above 2^depth - 1.
// Every method the grey tool of that depth runs is available, with the same
// parameters, defaults and errors (NotImplemented where the 16-bit tool has
// it).
//
// Modes.
// - ePerChannel: R, G and B are each normalized against the same channel of
//   the reference by a grey tool of their own, all three with this tool's
//   parameters and mask, exactly as three grey runs would.
// - eLuminance: only the BT.601 luma is normalized and the chroma is kept.
//   The luma of a pel, in the pel's own depth, is
//     Y = (299 R + 587 G + 114 B + 500) / 1000   (integer division: rounded,
//   halves up); one grey tool normalizes the luma plane against the
//   reference's, giving Y'; each of R, G and B then gets the same change:
//     R' = R + (Y' - Y),  G' = G + (Y' - Y),  B' = B + (Y' - Y).
//   In full-range BT.601 Y'CbCr (Cb = (B - Y) / 1.772, Cr = (R - Y) / 1.402,
//   with the exact luma) the inverse adds the luma to every channel with
//   weight 1, so this is the new luma with Cb and Cr unchanged: exactly
//   unchanged (the luma's rounding moves the three channels together), and
//   the exact luma of the result lies within half a level of Y'.  A channel
//   that leaves the range 0..2^depth - 1 is clamped to it on its own
//   (per-channel saturation): there, and only there, the chroma changes.
//   Masked pels put back (keepMaskedPixels) get Y' = Y and so stay as they
//   were.
//
// Errors (the tool's classes, mxImageNormalizerErrors.h; the rules and
// their messages in imgnorm/checks.h), each before anything changes:
// BadImage for a grey image (1 channel) given as the reference or the image
// (the message names both kinds and the way out), another channel count than
// 3 or 4, a window not on whole pels, an image of the other pel type, pels
// above the depth (training: the reference; running: the image's overlap),
// and a mask of another size than the reference; BadParams for a bit depth
// outside 8..16 and an unknown mode; the grey tools' errors for the rest.
//
// A value type like the grey tools: copying shares the images' pels; one
// object is used from one thread at a time; run() is const and writes
// nothing in the object.  No diagnostics records are made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "baseif/mxExport.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "imgnorm/mxImageNormalizerDefs.h"

class mxArchive;

class IMGNORM_API mxColorNormalizer {
public:
  using Method = mxImageNormalizerDefs::Method;
  enum class Mode : std::uint8_t {
    ePerChannel = 0,  // each channel against the reference's same channel
    eLuminance = 1,   // the luma only, chroma kept
  };

  // All members at their defaults (the grey tools' defaults for the depth;
  // intensityVariationRange +-(2^(depth - 1) - 1)), nothing trained, no
  // images.  Throws BadParams for a depth outside 8..16 or an unknown mode.
  explicit mxColorNormalizer(Mode mode = Mode::ePerChannel, std::int32_t bitDepth = 8);

  // Equal when mode, depth, trained set, parameters, mask and reference
  // (with its channel count) are equal.  Trained members take no part.
  bool operator==(const mxColorNormalizer& other) const;
  bool operator!=(const mxColorNormalizer& other) const { return !(*this == other); }

  // Returns every member to its default; the mode and the bit depth stay.
  void untrain();

  // ---- accessors ----
  Mode mode() const { return mode_; }
  std::int32_t bitDepth() const { return bitDepth_; }
  // Bits per stored pel: 8 at depth 8, else 16.
  std::int32_t pelBits() const { return bitDepth_ > 8 ? 16 : 8; }
  // The reference image's channel count (3 or 4); 0 without a reference.
  std::int32_t channels() const { return channels_; }
  Method trainedMethods() const { return trainedMethods_; }
  // The reference as given (interleaved); the one of the other pel type is unbound.
  const mxPelBuffer_const<unsigned char>& referenceImage8() const { return reference8_; }
  const mxPelBuffer_const<unsigned short>& referenceImage16() const { return reference16_; }
  const mxPelBuffer_const<unsigned char>& maskImage() const { return maskImage_; }
  bool keepMaskedPixels() const { return keepMaskedPixels_; }
  bool relativeCounts() const { return relativeCounts_; }
  mxPair<double> tailFractions() const { return tailFractions_; }
  mxPair<std::int32_t> neighborhoodSize() const { return neighborhoodSize_; }
  mxPair<std::int32_t> granularity() const { return granularity_; }
  mxPair<std::int32_t> intensityVariationRange() const { return intensityVariationRange_; }

  // ---- setters: validate first (nothing changed on a throw), then clear
  // trainedMethods(), except set() and relativeCounts(), which keep it.
  // The parameter rules are the grey tools' ----
  void mode(Mode value);
  void neighborhoodSize(mxPair<std::int32_t> value);
  void granularity(mxPair<std::int32_t> value);
  void tailFractions(mxPair<double> value);
  void intensityVariationRange(mxPair<std::int32_t> value);
  void keepMaskedPixels(bool value);
  // The grey 8-bit tool's relativeCounts; at 16 bits only false (true throws
  // NotImplemented: the 16-bit tool has no such option yet).
  void relativeCounts(bool value);
  void maskImage(const mxPelBuffer_const<unsigned char>& image, bool copy);
  // The reference, interleaved with the given channel count (copy as the
  // grey tools).  An unbound image removes it (the channel count is then
  // not looked at).  Throws BadImage as described above, for an image of the
  // other pel type too.
  void referenceImage(const mxPelBuffer_const<unsigned char>& image, std::int32_t channels, bool copy);
  void referenceImage(const mxPelBuffer_const<unsigned short>& image, std::int32_t channels, bool copy);
  void set(const mxPair<double>& tailFractions, const mxPair<std::int32_t>& intensityVariationRange,
           bool keepMaskedPixels);

  // ---- training and running ----
  // Trains the grey tools (three per channel, one for the luma) for a set of
  // methods.  Throws as the grey tool of the depth does, and BadImage for a
  // mask of another size than the reference or reference pels above the
  // depth.  On an empty reference histogram the other methods stay trained,
  // as in the grey tools.
  void train(Method methods);

  // Normalizes one interleaved image with channels channels by one method.
  // Returns a new interleaved image of the same channel count over the
  // overlap (unbound when nothing overlaps); eIdentity returns a copy of the
  // image.  success and message as the grey tools' run (the message names
  // the channel whose mapping failed).  Throws as the grey tool does, and
  // BadImage as described above.
  mxPelBuffer<unsigned char> run(const mxPelBuffer_const<unsigned char>& image, std::int32_t channels, Method method,
                                 bool& success, std::wstring& message) const;
  mxPelBuffer<unsigned short> run(const mxPelBuffer_const<unsigned short>& image, std::int32_t channels, Method method,
                                  bool& success, std::wstring& message) const;

  // ---- the steps of run(), for callers that run the planes themselves
  // (block by block: imgnorm.dask) ----
  // The trained grey tools of the pel type: R, G and B (per channel) or the
  // luma (luminance), each trained on its plane of the reference with this
  // tool's parameters and mask; run() runs them on the image's planes.
  const std::vector<mxImageNormalizer>& greyTools8() const { return tools8_; }
  const std::vector<mxImageNormalizer16>& greyTools16() const { return tools16_; }
  // The checks run() makes of an image before its pels, on its window alone
  // (for an image of pelBits, 8 or 16): BadImage for another pel type, a
  // grey image or another channel count, a window not on whole pels.
  void checkImageWindow(const mxPelRect& window, std::int32_t channels, std::int32_t pelBits) const;
  // The two steps of run() around the grey tools, on one piece of an
  // interleaved image (pointwise, so any piece gives the pels of the whole):
  // the planes of the image's pels (pel coordinates) that run() hands to the
  // grey tools (R, G, B; or the luma); and the image over results[0]'s window
  // (within the image's and the planes') merged from the grey tools' results
  // (per channel: the results, alpha copied; luminance: the image moved by
  // the luma's change and clamped, alpha copied).  Throw BadImage as run()
  // does (another pel type, a grey image or another channel count, a window
  // not on whole pels, pels above the depth).
  std::vector<mxPelBuffer<unsigned char>> planes(const mxPelBuffer_const<unsigned char>& image,
                                                 std::int32_t channels) const;
  std::vector<mxPelBuffer<unsigned short>> planes(const mxPelBuffer_const<unsigned short>& image,
                                                  std::int32_t channels) const;
  mxPelBuffer<unsigned char> merge(const mxPelBuffer_const<unsigned char>& image, std::int32_t channels,
                                   const std::vector<mxPelBuffer<unsigned char>>& planes,
                                   const std::vector<mxPelBuffer<unsigned char>>& results) const;
  mxPelBuffer<unsigned short> merge(const mxPelBuffer_const<unsigned short>& image, std::int32_t channels,
                                    const std::vector<mxPelBuffer<unsigned short>>& planes,
                                    const std::vector<mxPelBuffer<unsigned short>>& results) const;

private:
  template <class T>
  void setReference(const mxPelBuffer_const<T>& image, std::int32_t channels, bool copy);
  template <class T>
  mxPelBuffer<T> runPels(const mxPelBuffer_const<T>& image, std::int32_t channels, Method method, bool& success,
                         std::wstring& message) const;
  template <class T, class Tool>
  void trainTools(Method methods, std::vector<Tool>& tools) const;
  template <class T>
  void checkPelType() const;
  template <class T>
  std::vector<mxPelBuffer<T>> planesOf(const mxPelBuffer_const<T>& image, std::int32_t channels) const;
  template <class T>
  mxPelBuffer<T> mergeOf(const mxPelBuffer_const<T>& image, std::int32_t channels,
                         const std::vector<mxPelBuffer<T>>& planes, const std::vector<mxPelBuffer<T>>& results) const;
  // reference8_ or reference16_.
  template <class T>
  const mxPelBuffer_const<T>& referenceOf() const;
  void trainMethods(Method methods);

  Mode mode_;
  std::int32_t bitDepth_;
  std::int32_t channels_;
  Method trainedMethods_;
  mxPair<double> tailFractions_;
  mxPair<std::int32_t> neighborhoodSize_;
  mxPair<std::int32_t> granularity_;
  mxPair<std::int32_t> intensityVariationRange_;
  bool keepMaskedPixels_;
  bool relativeCounts_;
  mxPelBuffer_const<unsigned char> maskImage_;
  mxPelBuffer_const<unsigned char> reference8_;
  mxPelBuffer_const<unsigned short> reference16_;
  // The trained grey tools of the pel type (R, G, B; or the luma), over
  // planes made from the reference.
  std::vector<mxImageNormalizer> tools8_;
  std::vector<mxImageNormalizer16> tools16_;

  friend IMGNORM_API mxArchive& operator||(mxArchive& ar, mxColorNormalizer& normalizer);
};

// The colour tool's archive form: a version byte (0), the mode (0
// per-channel, 1 luminance), the reference's channel count (0 without one,
// 3 or 4), the pel type (8 or 16 bits per stored pel), the bit depth (8
// with 8-bit pels, 9 to 16 with 16-bit pels), then the trained set, the four
// pairs (each after its version byte 0), keepMaskedPixels, relativeCounts,
// the mask and the interleaved reference.  Loading checks the five leading
// bytes before touching the tool (mxArchive::UnknownVersion for the
// version, mxArchive::BadData for an unknown mode, channel count, pel type
// or depth), reads the rest, checks the reference against the channel
// count (mxArchive::BadData) and trains again for the stored set.
IMGNORM_API mxArchive& operator||(mxArchive& ar, mxColorNormalizer& normalizer);
