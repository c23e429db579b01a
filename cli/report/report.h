// The diagnostics report of the imgnorm program (--diag DIR): one HTML page
// per command that explains its results, built from the tool's own
// diagnostics records and from what the program computes over them.
//
// The page (DIR/index.html) opens with an overview of the images, one row
// per input (id "image-NNNN": file, status, method, the mean absolute
// difference to the reference before and after, warnings, a link to the
// image's page), worst first and re-sortable by any column with a small
// inline script.  Then come the warnings, the reference image and mask, the
// tool's parameters as the program's options spell them, and the images that
// failed.  Each image has a page of its own beside its pictures
// (imgnorm-report-files/iNNNN.html, so that index.html stays small for
// thousands of images): its input, result and the difference to the
// reference as thumbnails (longer side at most 200 pels; the input and
// output are linked where they lie, never copied), a statistics table, and
// per method the plots that explain the result: histograms and the lookup
// table for the global methods, the joint histogram with its ridge and the
// fitted line for the linear fit, the background estimate with a colour
// scale for the local methods.  Plots are inline SVG, so the page works
// offline and stays small for large batches.
// DIR/index.txt lists every record of the tool, in order and nested as
// recorded, with the file that shows each image.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "baseif/mxPelBuffer.h"
#include "common/warnings.h"
#include "imgnorm/mxImageNormalizerDefs.h"
#include "report/stats.h"

class mxDiagObject;
class mxImageNormalizer;
class mxImageNormalizer16;

namespace imgnormcli {

// The folder of a --diag option: DIR/index.html and DIR/index.txt, and the
// pictures in a sub-folder of their own (kDiagFilesFolder), so that the
// report's files never share a name with results written into DIR.  The
// program only ever removes or replaces files it wrote itself: the folder
// keeps the list of them in a hidden file (kDiagListName), a name goes into
// that list before its file is written, and a later run removes only listed
// files that lie in the sub-folder and have a name the report gives its
// pictures, so a damaged or crafted list cannot lead it to anything else.
class DiagFolder {
public:
  // Checks the target before any work: it may be missing (its parent is then
  // prepared), empty, or a folder this program wrote.  A file, a folder that
  // holds anything else, or a sub-folder that is not a plain folder (a link)
  // is refused with CliError (kExitUsage); nothing in it is touched.
  explicit DiagFolder(const std::string& folder);
  const std::string& path() const { return folder_; }

  // Refuses (CliError, kExitUsage) an output of the command that would be
  // written where the report writes: onto index.html, index.txt, the list,
  // the folder itself or into the pictures' sub-folder.
  void refuseClash(const std::string& output) const;

  // Writes one file (under a temporary name, renamed into place; a link of
  // that name is replaced, not followed).  name is "index.html", "index.txt"
  // or kDiagFilesFolder + "/" + a picture's name (isReportFile).  Safe to
  // call from several threads.  Throws CliError (kExitOutput).
  void writeText(const std::string& name, const std::string& text);
  void writeGrey(const std::string& name, const mxPelBuffer_const<unsigned char>& image);  // PNG
  void writeRgb(const std::string& name, std::int32_t width, std::int32_t height,
                const std::vector<std::uint8_t>& rgb);  // PNG, 3 bytes a pel

  // Removes the pictures an earlier run listed that this run did not write,
  // then writes the final list.
  void commit();

private:
  void record(const std::string& name);
  void writeList(const std::set<std::string>& names);

  std::string folder_;
  std::mutex mutex_;
  std::set<std::string> earlier_;  // listed by an earlier run
  std::set<std::string> written_;  // by this run
};

// The name of the hidden list of files in a diagnostics folder, and of the
// sub-folder that holds the report's pictures.
extern const char* const kDiagListName;
extern const char* const kDiagFilesFolder;
// Whether name (without folder) has the form the report gives the files of
// its sub-folder: reference.png, mask.png and their thumbnails (-t),
// train-recordN.png, and per image its page iNNNN.html and its pictures
// iNNNN-WHAT.png (NNNN at least four digits, WHAT lower-case letters, digits
// and dashes).
bool isReportFile(const std::string& name);

// The report shows 16-bit images through 8-bit views, v >> (depth - 8): the
// view of one image, and an untrained 8-bit tool holding the views of a
// 16-bit tool's reference, its mask and its parameters.
mxPelBuffer<unsigned char> view8(const mxPelBuffer_const<unsigned short>& image, std::int32_t depth);
mxImageNormalizer viewTool(const mxImageNormalizer16& tool);

// One image of a batch as the report shows it.
struct ReportItem {
  std::size_t index = 0;
  std::string input;
  std::string output;  // empty when nothing was written
  bool failed = false;
  bool soft = false;    // a soft failure (the tool's message)
  std::string message;  // the failure's message
  std::string status;   // as the statistics file spells it ("ok", "soft-failure", ...)
  ImageStats stats;     // what the run did, for the overview and the section
  std::vector<std::string> warnings;  // the kinds of warning the image met
};

// What the report says about the command itself.
struct ReportSetup {
  std::string command;                                        // the command line, for the page's head
  std::uint32_t methods = 0;                                  // train: the trained set; run, normalize: the one method
  bool running = false;                                       // run or normalize
  std::vector<std::pair<std::string, std::string>> settings;  // program settings shown with the parameters
  // The files the reference and mask were read from (train, normalize):
  // linked, not copied; empty (run: they come from the tool file): copied.
  std::string referencePath, maskPath;
};

class DiagReport {
public:
  // Writes the reference image and mask (once) into the folder, unless they
  // are linked where they lie (setup.referencePath, maskPath).
  DiagReport(DiagFolder& folder, const mxImageNormalizer& tool, ReportSetup setup);

  // The records of training (train, normalize).
  void addTraining(const mxDiagObject& records);
  // One image with the records of its run.  Safe to call from several
  // threads; writes the image's files at once and keeps only the page text.
  void addImage(const ReportItem& item, const mxDiagObject& records);
  // An image whose report could not be completed (its files could not be written).
  void fail(const std::string& message);

  // Whether some image's part of the report could not be written.
  bool incomplete() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !reportErrors_.empty();
  }
  // Writes index.html and index.txt and commits the folder.
  void finish(const std::vector<Warnings::Entry>& warnings, const std::string& outcome);

private:
  struct Section {
    bool present = false;
    bool failed = false;
    std::string listing;
    std::string failure;  // the line of the failures' list
    std::string row;      // the overview's row
    double badness = 0;   // the overview's order: failures first, then the largest difference after
  };
  std::string listRecords(const mxDiagObject& records, const std::string& inputFile, const std::string& resultFile,
                          const std::string& prefix);
  std::string imageFigures(const ReportItem& item, const mxPelBuffer_const<unsigned char>& input,
                           const mxPelBuffer_const<unsigned char>& result, const std::string& prefix,
                           std::string& inputFile, std::string& resultFile);
  std::string methodPlots(const ReportItem& item, const mxDiagObject& records,
                          const mxPelBuffer_const<unsigned char>& input, const mxPelBuffer_const<unsigned char>& result,
                          const std::string& prefix);
  std::string jointHistogram(const mxPelBuffer_const<unsigned char>& input, const mxPelRect& r,
                             const std::array<int, 256>& lut, const std::string& prefix);
  std::string backgroundEstimate(const mxDiagObject& records, const mxPelBuffer_const<unsigned char>& input,
                                 const mxPelBuffer_const<unsigned char>& result, const std::string& prefix,
                                 const std::string& id);
  std::string fieldFigure(bool gain, const mxPelBuffer_const<unsigned char>& field, const std::string& prefix,
                          const std::string& id);
  std::string toolPart();
  std::string pagesFolder() const;  // where the images' pages lie
  // A link to path, or (path empty) the name of a copy of image written now.
  std::string linkOrCopy(const std::string& path, const mxPelBuffer_const<unsigned char>& image,
                         const std::string& name);
  std::string overview() const;

  DiagFolder& folder_;
  const mxImageNormalizer& tool_;
  ReportSetup setup_;
  std::mutex mutex_;
  std::vector<Section> sections_;
  std::string trainingListing_;
  // Which of the tool's parameter records the report shows: training's, else
  // the first run's (the fields are the tool's, read through its getters).
  enum class Parameters { eNone, eTraining, eRun } parameters_ = Parameters::eNone;
  std::vector<std::string> reportErrors_;
  std::vector<std::uint64_t> referenceHistogram_;
  std::string referenceFile_, maskFile_;
};

}  // namespace imgnormcli
