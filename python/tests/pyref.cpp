// Runs the normalizer from C++ on raw 8-bit images, for the Python tests:
// the package must give the same pels.
//
//   imgnorm_pyref key=value ...
//     ref=FILE:W:H [mask=FILE:W:H] image=FILE:W:H train=FLAGS method=FLAG
//     [nbh=X,Y] [gran=X,Y] [tails=LO,HI] [range=LO,HI] [keep=0|1]
//     [out=FILE]
//
// Files hold W x H pels row by row.  Prints "W H success message" of the
// result, writing its pels to out=FILE.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "baseif/mxStr.h"
#include "imgnorm.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::cerr << "imgnorm_pyref: " << what << "\n";
  std::exit(2);
}

mxPelBuffer<unsigned char> readImage(const std::string& source) {
  const auto a = source.find(':'), b = source.rfind(':');
  if (a == std::string::npos || a == b) fail("image argument must be FILE:W:H, got " + source);
  const int w = std::stoi(source.substr(a + 1, b - a - 1)), h = std::stoi(source.substr(b + 1));
  mxPelBuffer<unsigned char> img(w, h);
  std::ifstream in(source.substr(0, a), std::ios::binary);
  for (int j = 0; j < h; ++j) in.read(reinterpret_cast<char*>(img.row(j)), w);
  if (!in) fail("cannot read " + source);
  return img;
}

template <class T>
mxPair<T> pair(const std::string& s) {
  const auto c = s.find(',');
  if (c == std::string::npos) fail("pair must be X,Y, got " + s);
  return {T(std::stod(s.substr(0, c))), T(std::stod(s.substr(c + 1)))};
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> arg;
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    const auto e = s.find('=');
    if (e == std::string::npos) fail("arguments are key=value, got " + s);
    arg[s.substr(0, e)] = s.substr(e + 1);
  }
  for (const char* k : {"ref", "image", "train", "method"})
    if (!arg.count(k)) fail(std::string("missing ") + k + "=");

  using mxImageNormalizerDefs::Method;
  mxImageNormalizer tool;
  tool.referenceImage(readImage(arg["ref"]), false);
  if (arg.count("mask")) tool.maskImage(readImage(arg["mask"]), false);
  if (arg.count("nbh")) tool.neighborhoodSize(pair<std::int32_t>(arg["nbh"]));
  if (arg.count("gran")) tool.granularity(pair<std::int32_t>(arg["gran"]));
  if (arg.count("tails")) tool.tailFractions(pair<double>(arg["tails"]));
  if (arg.count("range")) tool.intensityVariationRange(pair<std::int32_t>(arg["range"]));
  if (arg.count("keep")) tool.keepMaskedPixels(arg["keep"] == "1");
  tool.train(Method(std::stoul(arg["train"])));
  const mxPelBuffer<unsigned char> image = readImage(arg["image"]);
  const Method method = Method(std::stoul(arg["method"]));

  bool ok = false;
  std::wstring message;
  const mxPelBuffer<unsigned char> out = tool.run(image, method, ok, message);
  std::cout << out.width() << " " << out.height() << " " << (ok ? 1 : 0) << " " << mfToUtf8(message) << "\n";
  if (arg.count("out")) {
    std::ofstream o(arg["out"], std::ios::binary);
    for (int j = 0; j < out.height(); ++j) o.write(reinterpret_cast<const char*>(out.row(j)), out.width());
    if (!o) fail("cannot write " + arg["out"]);
  }
  return 0;
}
