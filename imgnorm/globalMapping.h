// Lookup tables of the histogram-based global mappings: histogram matching,
// mean and standard deviation matching, and tail matching.
//
// Each builder turns what training stored about the reference image and the
// statistics of the run-time image into a 256-entry table (entry i = output
// grey level for input grey level i), applied afterwards with mfPelMap.  The
// builders never throw for bad data: on failure they leave the table empty
// and assign a message; on success they leave one entry per run-time
// histogram bin and do not touch the message.  Only running out of memory
// propagates (std::bad_alloc).
//
// Where a linear formula gives a double, it is truncated toward zero and then
// clamped into 0..255 with mfILimit.
//
// Exported: a client can build the table a trained tool would use (from its
// referenceHistogram() or referenceStats() and the statistics of any image)
// and apply it elsewhere, for example to each channel of a colour image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "baseif/mxExport.h"
#include "baseif/mxHistoStats.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelOps.h"
#include "imgnorm/mxImageNormalizerDefs.h"

// Histogram matching: run-time level i maps to the smallest trained level
// whose cumulative trained count reaches the cumulative run-time count at i
// (absolute counts, not fractions); to the last trained level when none does;
// and to 0 below the first occupied run-time level.
// Fails with "Cannot match histogram if either is empty." when the run-time
// histogram has no bins or no count, or the trained bins reached hold none.
IMGNORM_API void matchHistogramLut(const std::vector<std::uint32_t>& trainedHistogram,
                                   const std::vector<std::uint32_t>& runHistogram, std::vector<unsigned char>& lut,
                                   std::wstring& message);

// Histogram matching by fractions (the tool's relativeCounts option): as
// matchHistogramLut with each cumulative count taken as a fraction of its
// histogram's total, compared exactly in integers (cumR * totalT against
// cumT * totalR).  Run-time level i maps to the smallest trained level whose
// cumulative fraction reaches that of i, so regions of different sizes match
// and the highest run-time level maps to the highest occupied trained level.
// Fails as matchHistogramLut when either histogram is empty.
IMGNORM_API void matchHistogramFractionsLut(const std::vector<std::uint32_t>& trainedHistogram,
                                            const std::vector<std::uint32_t>& runHistogram,
                                            std::vector<unsigned char>& lut, std::wstring& message);

// Mean and standard deviation matching: the line i * scale + offset with
// scale = trained sDev / run-time sDev, offset = trained mean - run-time
// mean * scale.  Fails with "Cannot match when standard deviation is 0." when
// the run-time statistics count no sample or their sDev is 0 (or NaN).
IMGNORM_API void matchMeanAndStddevLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats,
                                       std::vector<unsigned char>& lut, std::wstring& message);

// Tail matching: the line sending the run-time grey level at each of the two
// cumulative percentages (low, high) onto the trained grey level at the same
// percentage.  Equal percentages give the identity table.  Fails with "Cannot
// match the specified tails for this image." when the run-time levels at the
// two percentages coincide.
IMGNORM_API void matchHistogramTailsLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats,
                                        const mxPair<std::int32_t>& tailPercents, std::vector<unsigned char>& lut,
                                        std::wstring& message);

// The whole percentages at which eMatchHistogramTails reads the run-time
// histogram: the tail fractions times 100, halves away from zero.
IMGNORM_API mxPair<std::int32_t> tailPercents(const mxPair<double>& tailFractions);

// The table run builds for one of the three histogram methods from the
// run-time histogram (needed by eMatchHistogram) and statistics, the trained
// histogram and statistics and the tail fractions (turned into whole
// percentages, halves away from zero).  Fails (false, empty table) with
// "Cannot normalize since histogram is empty." when the statistics count no
// sample, else as the builder of the method.  relativeCounts selects
// matchHistogramFractionsLut for eMatchHistogram.
IMGNORM_API bool histogramMethodLut(mxImageNormalizerDefs::Method method,
                                    const std::vector<std::uint32_t>& trainedHistogram,
                                    const mxHistoStats& trainedStats, const mxPair<double>& tailFractions,
                                    const std::vector<std::uint32_t>& runHistogram, const mxHistoStats& runStats,
                                    std::vector<unsigned char>& lut, std::wstring& message,
                                    bool relativeCounts = false);

// The same for 16-bit tables (deep images of a declared bit depth d): the
// histograms have 2^d bins, the tables 2^d entries, and the linear formulas
// clamp into 0 .. 2^d - 1 (the last entry) instead of 0..255.
IMGNORM_API void matchHistogramLut(const std::vector<std::uint32_t>& trainedHistogram,
                                   const std::vector<std::uint32_t>& runHistogram, std::vector<unsigned short>& lut,
                                   std::wstring& message);
IMGNORM_API void matchHistogramFractionsLut(const std::vector<std::uint32_t>& trainedHistogram,
                                            const std::vector<std::uint32_t>& runHistogram,
                                            std::vector<unsigned short>& lut, std::wstring& message);
IMGNORM_API void matchMeanAndStddevLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats,
                                       std::vector<unsigned short>& lut, std::wstring& message);
IMGNORM_API void matchHistogramTailsLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats,
                                        const mxPair<std::int32_t>& tailPercents, std::vector<unsigned short>& lut,
                                        std::wstring& message);
IMGNORM_API bool histogramMethodLut(mxImageNormalizerDefs::Method method,
                                    const std::vector<std::uint32_t>& trainedHistogram,
                                    const mxHistoStats& trainedStats, const mxPair<double>& tailFractions,
                                    const std::vector<std::uint32_t>& runHistogram, const mxHistoStats& runStats,
                                    std::vector<unsigned short>& lut, std::wstring& message,
                                    bool relativeCounts = false);

// What a run maps its levels through: the table of histogramMethodLut, or,
// for mean-stddev and tails at 16 bits, the line that table would hold (the
// table is then empty), computed pel by pel instead of read from 2^depth
// entries at random.
template <class Pel>
struct LevelMap {
  std::vector<Pel> table;
  std::optional<mxLevelLine> line;
};

// histogramMethodLut's outcome as a map: the same failures and messages, and
// the same levels.
IMGNORM_API bool histogramMethodMap(mxImageNormalizerDefs::Method method,
                                    const std::vector<std::uint32_t>& trainedHistogram,
                                    const mxHistoStats& trainedStats, const mxPair<double>& tailFractions,
                                    const std::vector<std::uint32_t>& runHistogram, const mxHistoStats& runStats,
                                    LevelMap<unsigned char>& map, std::wstring& message, bool relativeCounts = false);
IMGNORM_API bool histogramMethodMap(mxImageNormalizerDefs::Method method,
                                    const std::vector<std::uint32_t>& trainedHistogram,
                                    const mxHistoStats& trainedStats, const mxPair<double>& tailFractions,
                                    const std::vector<std::uint32_t>& runHistogram, const mxHistoStats& runStats,
                                    LevelMap<unsigned short>& map, std::wstring& message, bool relativeCounts = false);

// dst = map applied to src (mfPelMap or mfPelMapLine, windows and dst as
// theirs).
IMGNORM_API void mapLevels(const mxPelBuffer_const<unsigned char>& src, const LevelMap<unsigned char>& map,
                           mxPelBuffer<unsigned char>& dst);
IMGNORM_API void mapLevels(const mxPelBuffer_const<unsigned short>& src, const LevelMap<unsigned short>& map,
                           mxPelBuffer<unsigned short>& dst);
