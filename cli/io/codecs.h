// The image formats of the imgnorm program, one row each: every list of
// formats or extensions in options, help, messages and the fuzz targets is
// read from this table, so a new format is one row here plus its codec file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "baseif/mxPelBuffer.h"
#include "io/image_io.h"

namespace imgnormcli {

struct Codec {
  // Short name: the fuzz target and its seeds folder (tests/fuzz/corpus/KEY).
  const char* key;
  // In messages ("not a PNG file"), and in the list of readable formats.
  const char* name;
  const char* title;
  // Every extension it reads (lower case, no dot), and those it writes
  // (none: read only).
  std::vector<const char*> extensions;
  std::vector<const char*> writes;
  // The files' possible first bytes.
  std::vector<std::string_view> magic;
  RawImage (*decode)(const std::uint8_t* data, std::size_t size, const std::string& name, const ReadOptions& options);
  // Null for a read-only format.
  std::vector<std::uint8_t> (*encode)(const mxPelBuffer_const<unsigned char>& image, const WriteOptions& options,
                                      const std::string& name);
  // 16-bit grey, the depth kept; null for a format of 8 bits only.
  std::vector<std::uint8_t> (*encode16)(const mxPelBuffer_const<unsigned short>& image, const WriteOptions& options,
                                        const std::string& name);
  // Its encoders also write RGB (WriteOptions::channels 3), and RGBA (4).
  bool colour;
  bool alpha;
  // Loses detail: never chosen for a folder's outputs unless --format asks.
  bool lossy;
  // Large files are read and written block by block (io/tiff_stream.h).
  bool streams;
};

// Every format, in the order the lists show them.
const std::vector<Codec>& codecs();
// The format of a file name's extension (any case); null for none.
const Codec* codecForName(const std::string& path);
// The format whose magic the bytes start with; null for none.
const Codec* codecForBytes(const std::uint8_t* data, std::size_t size);
// The format of a key ("png"); null for none.
const Codec* codecByKey(const std::string& key);

// "a, b or c" (last: " or "), or "a, b, c" (last: ", ").
std::string joinList(const std::vector<std::string>& items, const char* last);
// The extensions the program reads (writable false) or writes, each with
// prefix (".png" or "png").
std::vector<std::string> extensionList(bool writable, const char* prefix);
// The formats' names ("PNG", ...) or titles.
std::vector<std::string> formatList(bool titles);

}  // namespace imgnormcli
