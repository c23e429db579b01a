#include "baseif/mxDiag.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "baseif/mxHtmlEscape.h"
#include "baseif/mxArchive.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"

const mxDiagObject::Record& mxDiagObject::addImage(const mxPelBuffer_const<unsigned char>& image,
                                                   const std::wstring& name, bool copy) {
  Record r{Record::eImage, name, level_, image, std::wstring()};
  if (copy && image.isBound()) r.image = mfPelCopy(image);
  records_.push_back(std::move(r));
  return records_.back();
}

const mxDiagObject::Record& mxDiagObject::addText(const std::wstring& text, const std::wstring& name) {
  records_.push_back(Record{Record::eText, name, level_, mxPelBuffer_const<unsigned char>(), text});
  return records_.back();
}

const mxDiagObject::Record& mf_AddImage(mxDiagObject* diag, const mxPelBuffer_const<unsigned char>& image,
                                        const std::wstring& name, bool copy) {
  if (!diag) throw mxBadPointer(L"mf_AddImage: no diagnostics object");
  return diag->addImage(image, name, copy);
}

const mxDiagObject::Record& mf_AddText(mxDiagObject* diag, const std::wstring& text, const std::wstring& name) {
  if (!diag) throw mxBadPointer(L"mf_AddText: no diagnostics object");
  return diag->addText(text, name);
}

mxDiagObject::IOError::IOError(const std::wstring& message) : mxExceptionWithString(message) {}
mxDiagObject::IOError::~IOError() = default;
std::int32_t mxDiagObject::IOError::errorNumber() const { return 0x10000301; }
void mxDiagObject::IOError::suicideAndRethrow() {
  IOError copy(*this);
  delete this;
  throw copy;
}

namespace {
std::wstring pathText(const std::string& p) { return L"\"" + mfFromUtf8(p) + L"\""; }

// Written through the archive's temporary-and-rename; its failure becomes
// the recorder's own error, with the archive's message.
void writeAtomically(const std::string& path, const std::string& bytes) {
  try {
    mxArchive::writeFile(path, bytes.data(), bytes.size());
  } catch (const mxArchive::IOError& e) {
    throw mxDiagObject::IOError(e.message());
  }
}

std::string pgmBytes(const mxPelBuffer_const<unsigned char>& image) {
  std::string out = "P5\n" + std::to_string(image.width()) + " " + std::to_string(image.height()) + "\n255\n";
  for (std::int32_t j = 0; image.width() > 0 && j < image.height(); ++j)
    out.append(reinterpret_cast<const char*>(image.row(j)), std::size_t(image.width()));
  return out;
}
}  // namespace

void mxDiagObject::writeFolder(const std::string& folder, const ImageWriter& writeImage) const {
  std::error_code ec;
  std::filesystem::create_directory(folder, ec);
  if (!std::filesystem::is_directory(folder))
    throw IOError(ec ? L"cannot create the diagnostics folder " + pathText(folder) + L": " + mfFromUtf8(ec.message())
                     : L"diagnostics path " + pathText(folder) + L" is not a folder");

  std::ostringstream txt, html;
  html << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>imgnorm diagnostics</title>\n"
       << "<style>body{font-family:sans-serif} .rec{margin:6px 0;padding:4px;border-left:3px solid #89a}"
       << " img{image-rendering:pixelated;max-width:512px;border:1px solid #ccc} pre{background:#f4f4f4;padding:4px}"
       << "</style></head><body>\n<h1>Diagnostics records</h1>\n";
  int n = 0;
  for (const Record& r : records_) {
    ++n;
    char num[16];
    std::snprintf(num, sizeof num, "%03d", n);
    const std::string name = mfToUtf8(r.name);
    const std::string indent(std::size_t(r.level > 0 ? r.level : 0) * 2, ' ');
    const int margin = (r.level > 0 ? r.level : 0) * 32;
    std::string file;
    if (r.type == Record::eImage) {
      if (r.image.isBound()) {
        const std::string base = folder + "/" + num;
        if (writeImage) {
          file = std::string(num) + "." + writeImage(base, r.image);
        } else {
          file = std::string(num) + ".pgm";
          writeAtomically(folder + "/" + file, pgmBytes(r.image));
        }
      }
      txt << indent << n << " image \"" << name << "\" ";
      if (file.empty())
        txt << "(unbound)\n";
      else
        txt << r.image.width() << "x" << r.image.height() << " at (" << r.image.window().x() << ", "
            << r.image.window().y() << ") -> " << file << "\n";
      html << "<div class=\"rec\" style=\"margin-left:" << margin << "px\"><b>" << n << ". " << mxhtml::escape(name)
           << "</b> (image";
      if (file.empty())
        html << ", unbound)";
      else
        html << ", " << r.image.width() << " x " << r.image.height() << ")<br><a href=\"" << file << "\"><img src=\""
             << file << "\" alt=\"" << mxhtml::escape(name) << "\"></a>";
      html << "</div>\n";
    } else {
      file = std::string(num) + ".txt";
      const std::string body = mfToUtf8(r.text);
      writeAtomically(folder + "/" + file, body);
      txt << indent << n << " text \"" << name << "\" -> " << file << "\n";
      html << "<div class=\"rec\" style=\"margin-left:" << margin << "px\"><b>" << n << ". " << mxhtml::escape(name)
           << "</b> (text)<pre>" << mxhtml::escape(body) << "</pre></div>\n";
    }
  }
  html << "</body></html>\n";
  writeAtomically(folder + "/index.txt", txt.str());
  writeAtomically(folder + "/index.html", html.str());
}
