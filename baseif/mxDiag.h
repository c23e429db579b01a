// The diagnostics recorder: an mxDiagObject keeps, in order, the image and
// text records that the tool adds while it trains and runs, each with its
// name and nesting level, and can write them to a folder a person can browse.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "baseif/mxException.h"
#include "baseif/mxExport.h"
#include "baseif/mxPelBuffer.h"

class IMGNORM_API mxDiagObject {
public:
  // Record kinds that callers select with their flags.
  enum Kind : std::uint32_t {
    eInputs = 0x10000,   // images and parameters a call was given
    eResults = 0x20000,  // images a call produced
    eAll = 0x30000
  };

  // The diagnostics folder or one of its files could not be written.
  class IMGNORM_API IOError : public mxExceptionWithString {
  public:
    explicit IOError(const std::wstring& message = L"diagnostics folder cannot be written");
    ~IOError() override;
    std::int32_t errorNumber() const override;
    void suicideAndRethrow() override;
  };

  struct Record {
    enum Type { eImage, eText };
    Type type;
    std::wstring name;
    std::int32_t level;                      // nesting level when recorded
    mxPelBuffer_const<unsigned char> image;  // image records (may be unbound)
    std::wstring text;                       // text records
  };

  // Whether the caller's flags ask for records of the given kind.
  static bool shouldRecord(std::uint32_t flags, std::uint32_t kind) { return (flags & kind) != 0; }

  std::int32_t level() const { return level_; }
  void level(std::int32_t l) { level_ = l; }

  const std::vector<Record>& records() const { return records_; }
  void clear() { records_.clear(); }

  const Record& addImage(const mxPelBuffer_const<unsigned char>& image, const std::wstring& name, bool copy);
  const Record& addText(const std::wstring& text, const std::wstring& name);

  // Writes the records into a folder (created when missing): each image as a
  // numbered file, each text as a numbered .txt file, plus "index.html" and
  // "index.txt" listing the records in order with their nesting.  Images are
  // written as binary PGM unless writeImage is given, in which case it is
  // called with the path (without extension) and must return the extension
  // it wrote (for example "png").  Throws mxDiagObject::IOError when the
  // folder or one of the files cannot be written.
  using ImageWriter = std::function<std::string(const std::string& pathWithoutExtension,
                                                const mxPelBuffer_const<unsigned char>& image)>;
  void writeFolder(const std::string& folder, const ImageWriter& writeImage = ImageWriter()) const;

private:
  std::int32_t level_ = 0;
  std::vector<Record> records_;
};

// Adds an image record (a deep copy when copy is true, else sharing the pels).
IMGNORM_API const mxDiagObject::Record& mf_AddImage(mxDiagObject* diag, const mxPelBuffer_const<unsigned char>& image,
                                                    const std::wstring& name, bool copy);
// Adds a text record.
IMGNORM_API const mxDiagObject::Record& mf_AddText(mxDiagObject* diag, const std::wstring& text,
                                                   const std::wstring& name);
