#include "io/codecs.h"

#include <cstring>

#include "common/file_util.h"

namespace imgnormcli {

using namespace std::string_view_literals;

// Defined by the codec files.
RawImage decodePng(const std::uint8_t*, std::size_t, const std::string&, const ReadOptions&);
RawImage decodeTiff(const std::uint8_t*, std::size_t, const std::string&, const ReadOptions&);
RawImage decodeJpeg(const std::uint8_t*, std::size_t, const std::string&, const ReadOptions&);
RawImage decodeBmp(const std::uint8_t*, std::size_t, const std::string&, const ReadOptions&);
RawImage decodePnm(const std::uint8_t*, std::size_t, const std::string&, const ReadOptions&);
std::vector<std::uint8_t> encodePng(const mxPelBuffer_const<unsigned char>&, const WriteOptions&, const std::string&);
std::vector<std::uint8_t> encodeTiff(const mxPelBuffer_const<unsigned char>&, const WriteOptions&, const std::string&);
std::vector<std::uint8_t> encodePgm(const mxPelBuffer_const<unsigned char>&, const WriteOptions&, const std::string&);
std::vector<std::uint8_t> encodeJpeg(const mxPelBuffer_const<unsigned char>&, const WriteOptions&, const std::string&);
std::vector<std::uint8_t> encodePng16(const mxPelBuffer_const<unsigned short>&, const WriteOptions&,
                                      const std::string&);
std::vector<std::uint8_t> encodeTiff16(const mxPelBuffer_const<unsigned short>&, const WriteOptions&,
                                       const std::string&);
std::vector<std::uint8_t> encodePpm(const mxPelBuffer_const<unsigned char>&, const WriteOptions&, const std::string&);
std::vector<std::uint8_t> encodePgm16(const mxPelBuffer_const<unsigned short>&, const WriteOptions&,
                                      const std::string&);
std::vector<std::uint8_t> encodePpm16(const mxPelBuffer_const<unsigned short>&, const WriteOptions&,
                                      const std::string&);

const std::vector<Codec>& codecs() {
  // clang-format off
  static const std::vector<Codec> table = {
      // key, name, title, extensions, written extensions, magic, decode, encode, encode16, colour, alpha, lossy, streams
      {"png", "PNG", "PNG", {"png"}, {"png"}, {"\x89PNG\r\n\x1a\n"sv}, decodePng, encodePng, encodePng16, true, true, false, false},
      {"tiff", "TIFF", "TIFF", {"tif", "tiff"}, {"tif", "tiff"}, {"II*\0"sv, "MM\0*"sv, "II+\0"sv, "MM\0+"sv},
       decodeTiff, encodeTiff, encodeTiff16, true, true, false, true},
      {"jpeg", "JPEG", "JPEG", {"jpg", "jpeg"}, {"jpg", "jpeg"}, {"\xff\xd8\xff"sv}, decodeJpeg, encodeJpeg, nullptr,
       true, false, true, false},
      {"bmp", "BMP", "BMP", {"bmp"}, {}, {"BM"sv}, decodeBmp, nullptr, nullptr, false, false, false, false},
      {"pgm", "PGM", "binary PGM", {"pgm", "pnm"}, {"pgm"}, {"P5"sv}, decodePnm, encodePgm, encodePgm16, false, false,
       false, false},
      {"ppm", "PPM", "binary PPM", {"ppm"}, {"ppm"}, {"P6"sv}, decodePnm, encodePpm, encodePpm16, true, false, false,
       false},
  };
  // clang-format on
  return table;
}

const Codec* codecForName(const std::string& path) {
  const std::string ext = lowerExtension(path);
  for (const Codec& c : codecs())
    for (const char* e : c.extensions)
      if (ext == e) return &c;
  return nullptr;
}

const Codec* codecForBytes(const std::uint8_t* data, std::size_t size) {
  for (const Codec& c : codecs())
    for (std::string_view m : c.magic)
      if (size >= m.size() && std::memcmp(data, m.data(), m.size()) == 0) return &c;
  return nullptr;
}

const Codec* codecByKey(const std::string& key) {
  for (const Codec& c : codecs())
    if (key == c.key) return &c;
  return nullptr;
}

std::string joinList(const std::vector<std::string>& items, const char* last) {
  std::string s;
  for (std::size_t i = 0; i < items.size(); ++i) s += (i == 0 ? "" : i + 1 == items.size() ? last : ", ") + items[i];
  return s;
}

std::vector<std::string> extensionList(bool writable, const char* prefix) {
  std::vector<std::string> out;
  for (const Codec& c : codecs())
    for (const char* e : writable ? c.writes : c.extensions) out.push_back(prefix + std::string(e));
  return out;
}

std::vector<std::string> formatList(bool titles) {
  std::vector<std::string> out;
  for (const Codec& c : codecs()) out.push_back(titles ? c.title : c.name);
  return out;
}

}  // namespace imgnormcli
