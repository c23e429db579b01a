// Normalizer.save(path) and Normalizer.load(path): the tool file that the
// command-line program writes with `imgnorm train -o` and reads with
// `imgnorm run` (the library's format, imgnorm/mxToolFile.h), built on the
// class's archive form (to_bytes / from_bytes).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pybind11/pybind11.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "baseif/mxArchive.h"
#include "baseif/mxStr.h"
#include "imgnorm/mxToolFile.h"

#include "binding.h"

namespace py = pybind11;

namespace {

constexpr const char* kSaveDoc = R"(Writes the normalizer as a tool file, the file `imgnorm train -o` writes and
`imgnorm run` reads: parameters, images and trained set behind a header
with a checksum (and the pel type: a 16-bit tool's file says so).  The
file is written under a temporary name in the same folder and renamed over
path, so path is either the old file or the whole new one; a replaced file keeps its permission bits.  Saving onto a
symbolic link replaces the file the link points to and keeps the link.
Raises OSError when the file cannot be written.)";

constexpr const char* kLoadDoc = R"(Reads a tool file written by save() or by `imgnorm train -o`; the normalizer
is trained again for the stored methods, and is a 16-bit tool when the
file holds one.  Raises OSError when path is
missing, unreadable or not a regular file (a folder, FIFO or device is not
read), BadData for an empty file, a file that is not a tool file or a
damaged one, Truncated for a cut one, UnknownVersion for a newer archive,
and CanNotTrain when the stored images cannot be trained again.)";

// The file-system form of a str or os.PathLike path.
std::string fsPath(py::handle path) { return py::module_::import("os").attr("fsencode")(path).cast<std::string>(); }

[[noreturn]] void raiseOSError(int err, const std::string& path) {
  errno = err;
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());  // FileNotFoundError, IsADirectoryError, ...
  throw py::error_already_set();
}

[[noreturn]] void raiseNotRegular(const std::string& path) {
  PyErr_Format(PyExc_OSError, "%s: not a regular file", path.c_str());
  throw py::error_already_set();
}

// The bytes of a regular file; errno and 0 in failed when it cannot be read,
// -1 when it is not a regular file.  Opened without waiting (a FIFO opens at
// once and is refused).
std::vector<std::uint8_t> readRegular(const std::string& path, int& failed) {
  std::vector<std::uint8_t> bytes;
  failed = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    failed = errno;
  } else if (S_ISDIR(st.st_mode)) {
    failed = EISDIR;
  } else if (!S_ISREG(st.st_mode)) {
    failed = -1;
  } else {
    bytes.resize(std::size_t(st.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed = errno;
      if (n <= 0) break;
      got += std::size_t(n);
    }
    bytes.resize(got);  // a file that shrank meanwhile reads as truncated
  }
  if (fd >= 0) ::close(fd);
  return bytes;
}

// Writes bytes under a temporary name beside path and renames it over path;
// a replaced regular file's permission bits carry over, a new file gets the
// usual 0666 less the umask.  The temporary is named as the command-line
// program names its own (".NAME.tmp-imgnorm-PID-N"), so that the program
// removes one left by a killed process.  Returns 0 or the failing errno (-1:
// path is there but not a regular file).
int writeAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  static std::atomic<unsigned> counter{0};
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string tmp =
      folder + "." + name + ".tmp-imgnorm-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  struct stat old;
  const bool replacing = ::stat(path.c_str(), &old) == 0;
  if (replacing && !S_ISREG(old.st_mode)) return S_ISDIR(old.st_mode) ? EISDIR : -1;
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int err = 0;
  for (std::size_t done = 0; done < bytes.size() && err == 0;) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) done += std::size_t(n);
  }
  if (err == 0 && replacing && ::fchmod(fd, old.st_mode & 07777) != 0) err = errno;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(tmp.c_str());
  return err;
}

// The file a path names after following symbolic links (each relative
// target taken from the link's folder), so that saving onto a link replaces
// the file it points to and keeps the link, as the command-line program
// does.  A dangling link names the file to create.  ELOOP in err for a
// chain of more than 40 links.
std::string followLinks(const std::string& path, int& err) {
  std::string p = path;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    std::vector<char> buf(std::size_t(st.st_size > 0 ? st.st_size : 4095) + 1);
    const ssize_t n = ::readlink(p.c_str(), buf.data(), buf.size());
    if (n <= 0) return p;
    std::string target(buf.data(), std::size_t(n));
    const std::size_t slash = p.rfind('/');
    if (target[0] != '/' && slash != std::string::npos) target = p.substr(0, slash + 1) + target;
    p = target;
  }
  err = ELOOP;
  return path;
}

using imgnormpy::Typed;
namespace types = imgnormpy::types;

void save(Typed<types::NormalizerType> self, Typed<types::Path> pathArg) {
  const py::bytes archive = self.attr("to_bytes")();
  const std::uint32_t version =
      self.attr("bit_depth").cast<int>() > 8 ? mxToolFile::kDeepFormatVersion : mxToolFile::kFormatVersion;
  const std::string_view a = archive;
  imgnormpy::saveToolFile(pathArg, mxToolFile::frame(std::vector<std::uint8_t>(a.begin(), a.end()), version));
}

Typed<types::NormalizerType> load(py::object cls, Typed<types::Path> pathArg) {
  std::string path;
  const std::vector<std::uint8_t> file = imgnormpy::readToolFile(pathArg, path);
  std::int32_t pelBits = 8;
  std::vector<std::uint8_t> payload;
  {
    py::gil_scoped_release nogil;
    try {
      if (mxToolFile::isColorTool(file.data(), file.size()))
        throw mxArchive::BadData(L"holds a colour tool: load it with imgnorm.ColorNormalizer.load");
      payload = mxToolFile::payload(file.data(), file.size());
      pelBits = mxToolFile::pelBits(file.data(), file.size());
    } catch (const mxArchive::Truncated& e) {
      throw mxArchive::Truncated(mfFromUtf8(path) + L": " + e.message());
    } catch (const mxArchive::BadData& e) {
      throw mxArchive::BadData(mfFromUtf8(path) + L": " + e.message());
    }
  }
  try {
    return cls.attr("from_bytes")(py::bytes(reinterpret_cast<const char*>(payload.data()), payload.size()),
                                  py::arg("pel_bits") = pelBits);
  } catch (py::error_already_set& e) {
    // The archive inside a well-framed file: the package's error, with the
    // path and what went wrong in front of the library's message.
    py::object types = py::module_::import("imgnorm._types");
    if (!e.matches(types.attr("Error"))) throw;
    const bool training = e.matches(types.attr("Errors"));
    const std::string message = path +
                                (training ? ": the stored tool cannot be trained again: " : ": damaged tool file: ") +
                                e.value().attr("message").cast<std::string>();
    py::object error = e.type()(message);
    error.attr("error_number") = e.value().attr("error_number");
    PyErr_SetObject(e.type().ptr(), error.ptr());
    throw py::error_already_set();
  }
}

}  // namespace

void imgnormpy::saveToolFile(py::handle pathArg, const std::vector<std::uint8_t>& file) {
  const std::string given = fsPath(pathArg);
  int loop = 0;
  const std::string path = followLinks(given, loop);
  if (loop != 0) raiseOSError(loop, given);
  int err = 0;
  {
    py::gil_scoped_release nogil;
    err = writeAtomically(path, file);
  }
  if (err == -1) raiseNotRegular(path);
  if (err != 0) raiseOSError(err, path);
}

std::vector<std::uint8_t> imgnormpy::readToolFile(py::handle pathArg, std::string& path) {
  path = fsPath(pathArg);
  int failed = 0;
  std::vector<std::uint8_t> file;
  {
    py::gil_scoped_release nogil;
    file = readRegular(path, failed);
  }
  if (failed == -1) raiseNotRegular(path);
  if (failed != 0) raiseOSError(failed, path);
  return file;
}

// Adds save() and the class method load() to the Normalizer class.
void imgnormpy::init_toolfile(py::module_& m) {
  py::object normalizer = m.attr("Normalizer");
  normalizer.attr("save") =
      py::cpp_function(&save, py::name("save"), py::is_method(normalizer), py::arg("path"), kSaveDoc);
  normalizer.attr("load") = py::reinterpret_steal<py::object>(
      PyClassMethod_New(py::cpp_function(&load, py::name("load"), py::arg("cls"), py::arg("path"), kLoadDoc).ptr()));
}
