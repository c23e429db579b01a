#include "file_util.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <type_traits>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli_error.h"

namespace fs = std::filesystem;

namespace imgnormcli {

std::string lowerExtension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

std::string fileStem(const std::string& path) { return fs::path(path).stem().string(); }

std::string fileName(const std::string& path) { return fs::path(path).filename().string(); }

std::string errnoText(int err) {
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
  const auto r = strerror_r(err, buf, sizeof buf);
  if constexpr (std::is_same_v<std::decay_t<decltype(r)>, char*>)
    return std::string(r);
  else
    return r == 0 ? std::string(buf) : "error " + std::to_string(err);
}

namespace {

std::string kindOf(mode_t mode) {
  if (S_ISREG(mode)) return "file";
  if (S_ISDIR(mode)) return "folder";
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISSOCK(mode)) return "socket";
  return "special file";
}

// Closes a descriptor on every exit.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::string fileKind(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "";
  return kindOf(st.st_mode);
}

std::vector<std::uint8_t> readFileBytes(const std::string& path, std::uint64_t maxBytes) {
  // O_NONBLOCK: opening a FIFO does not wait for a writer; it is refused below.
  Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (f.fd < 0) throw CliError(kExitInput, path + ": " + errnoText(errno));
  struct stat st;
  if (::fstat(f.fd, &st) != 0) throw CliError(kExitInput, path + ": " + errnoText(errno));
  if (S_ISDIR(st.st_mode)) throw CliError(kExitInput, path + ": is a folder, not a file");
  if (!S_ISREG(st.st_mode)) throw CliError(kExitInput, path + ": is a " + kindOf(st.st_mode) + ", not a regular file");
  const std::uint64_t size = std::uint64_t(st.st_size);
  if (size > maxBytes)
    throw CliError(kExitInput, path + ": file of " + std::to_string(size) + " bytes is larger than the " +
                                   std::to_string(maxBytes) + " bytes accepted");
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(f.fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw CliError(kExitInput, path + ": read error: " + errnoText(errno));
    if (n == 0) break;  // the file shrank meanwhile: the decoder sees a short file
    got += std::size_t(n);
  }
  bytes.resize(got);
  return bytes;
}

namespace {
const char kTempMark[] = ".tmp-imgnorm-";
}

std::string temporaryNameFor(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  const fs::path p(target);
  const std::string name =
      "." + p.filename().string() + kTempMark + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  return (p.parent_path() / name).string();
}

bool isTemporaryName(const std::string& name, long& pid) {
  if (name.size() < 2 || name[0] != '.') return false;
  const std::size_t mark = name.rfind(kTempMark);
  if (mark == std::string::npos || mark < 1) return false;
  const std::string tail = name.substr(mark + sizeof kTempMark - 1);  // "PID-N"
  const std::size_t dash = tail.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == tail.size() || dash > 9) return false;
  if (tail.find_first_not_of("0123456789-") != std::string::npos || tail.find('-', dash + 1) != std::string::npos)
    return false;
  pid = std::stol(tail.substr(0, dash));
  return pid > 0;
}

int removeStaleTemporaries(const std::string& folder) {
  int removed = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    long pid = 0;
    if (!isTemporaryName(it->path().filename().string(), pid)) continue;
    // Only a temporary whose process is gone is stale; a live process (or
    // one we may not signal) may still be writing it.
    if (pid == long(::getpid()) || ::kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;
    std::error_code rec;
    if (fs::remove_all(it->path(), rec) > 0 && !rec) ++removed;
  }
  return removed;
}

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    size -= std::size_t(n);
  }
  return true;
}

void commitTemporary(const std::string& temporary, const std::string& target) {
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    const int err = errno;
    std::remove(temporary.c_str());
    throw CliError(kExitOutput, target + ": cannot write: " + errnoText(err));
  }
}

void writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const std::string tmp = temporaryNameFor(path);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw CliError(kExitOutput, path + ": cannot write: " + errnoText(errno));
  // The reason is taken from the call that failed, before anything else can
  // change errno; close reports delayed write errors (NFS, quotas) too.
  int err = writeAll(fd, bytes.data(), bytes.size()) ? 0 : errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    throw CliError(kExitOutput, path + ": cannot write: " + errnoText(err));
  }
  commitTemporary(tmp, path);
}

void prepareOutputFolder(const std::string& folder) {
  std::error_code ec;
  if (!fs::exists(folder, ec)) {
    fs::create_directories(folder, ec);
    if (ec) throw CliError(kExitOutput, folder + ": cannot create the output folder: " + ec.message());
  } else if (!fs::is_directory(folder, ec)) {
    throw CliError(kExitOutput, folder + ": exists and is not a folder");
  }
  // Permission bits do not tell the whole story (read-only mounts, ACLs, root):
  // try to create a file.
  const std::string probe = temporaryNameFor((fs::path(folder) / "probe").string());
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw CliError(kExitOutput, folder + ": cannot write into the output folder: " + errnoText(errno));
  ::close(fd);
  ::unlink(probe.c_str());
  removeStaleTemporaries(folder);
}

void prepareFolderOf(const std::string& file) {
  const fs::path parent = fs::path(file).parent_path();
  try {
    prepareOutputFolder(parent.empty() ? "." : parent.string());
  } catch (const CliError& e) {
    throw CliError(kExitOutput, file + ": cannot write: " + e.what());
  }
}

}  // namespace imgnormcli
