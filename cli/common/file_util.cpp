#include "common/file_util.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <system_error>
#include <type_traits>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/cli_error.h"

namespace fs = std::filesystem;

namespace imgnormcli {

std::string lowerExtension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

std::string normalizedPath(const std::string& p) {
  std::error_code ec;
  fs::path a = fs::weakly_canonical(fs::absolute(p, ec), ec);
  return a.lexically_normal().string();
}

std::string fileIdentity(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0)
    return "inode " + std::to_string(std::uint64_t(st.st_dev)) + ":" + std::to_string(std::uint64_t(st.st_ino));
  return "path " + normalizedPath(path);
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

constexpr char kTempPrefix[] = ".imgnorm-tmp-";
constexpr std::size_t kTempPrefixLength = sizeof kTempPrefix - 1;
constexpr std::size_t kTempRandomLength = 6;

// A fresh temporary in folder, created exclusively (0666 less the umask) and
// locked; the name goes to name.  Returns the descriptor, or -1 with errno.
int createTemporaryIn(const std::string& folder, std::string& name) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // A counter through a mixing function (splitmix64), seeded once per
  // process: unique within the process, unpredictable enough between them;
  // O_EXCL settles the rare clash.
  static std::atomic<std::uint64_t> state{std::uint64_t(std::random_device{}()) << 32 ^ std::uint64_t(::getpid())};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::uint64_t z = state.fetch_add(0x9E3779B97F4A7C15ull) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    std::string leaf = kTempPrefix;
    for (std::size_t i = 0; i < kTempRandomLength; ++i, z /= 62) leaf += alphabet[z % 62];
    name = (fs::path(folder) / leaf).string();
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd >= 0) ::flock(fd, LOCK_EX);  // fresh, so nobody else holds it: no wait
    return fd;
  }
  errno = EEXIST;
  return -1;
}

// The temporaries being written, for removal when the program is
// interrupted.  Each entry holds its folder (an open descriptor) and its
// name, which the signal handler passes to unlinkat, async-signal-safe; an
// entry is filled before its temporary is written and emptied after the
// temporary is renamed or removed.  Entries are taken round the ring, so one
// just emptied is not filled again while a handler may still be reading it.
struct LiveTemporary {
  std::atomic<int> state{0};  // 0 free, 1 being filled or emptied, 2 live
  int folder = -1;
  char leaf[kTempPrefixLength + kTempRandomLength + 1] = {};
};
constexpr std::size_t kLiveEntries = 1024;
LiveTemporary gLive[kLiveEntries];
std::atomic<std::size_t> gNextLive{0};

// The entry for the temporary leaf in folder, or -1 (not removed on
// interruption; a later run's sweep does it).
int addLiveTemporary(const std::string& folder, const std::string& leaf) {
  if (leaf.size() + 1 > sizeof LiveTemporary::leaf) return -1;
  for (std::size_t tries = 0; tries < kLiveEntries; ++tries) {
    const std::size_t i = gNextLive.fetch_add(1) % kLiveEntries;
    int expected = 0;
    if (!gLive[i].state.compare_exchange_strong(expected, 1)) continue;
    gLive[i].folder = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (gLive[i].folder < 0) {
      gLive[i].state.store(0);
      return -1;
    }
    std::memcpy(gLive[i].leaf, leaf.c_str(), leaf.size() + 1);
    gLive[i].state.store(2, std::memory_order_release);
    return int(i);
  }
  return -1;
}

void dropLiveTemporary(int& entry) noexcept {
  if (entry < 0) return;
  LiveTemporary& e = gLive[entry];
  e.state.store(1);
  ::close(e.folder);
  e.folder = -1;
  e.state.store(0, std::memory_order_release);
  entry = -1;
}

void removeLiveTemporariesAndEnd(int sig) {
  const int saved = errno;
  for (LiveTemporary& e : gLive)
    if (e.state.load(std::memory_order_acquire) == 2) ::unlinkat(e.folder, e.leaf, 0);
  errno = saved;
  // The handler was reset to the default on entry (SA_RESETHAND): the signal,
  // blocked until this returns, then ends the program as it would have.
  ::raise(sig);
}

// path with the symbolic links of its last component followed to the file
// they lead to (which may not exist yet).
std::string followLinks(const std::string& path, const std::string& name) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    std::vector<char> text(std::size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = ::readlink(p.c_str(), text.data(), text.size());
    if (n < 0 || std::size_t(n) >= text.size())
      throw CliError(kExitOutput, name + ": cannot write: cannot read the symbolic link " + p);
    const fs::path link(std::string(text.data(), std::size_t(n)));
    p = link.is_absolute() ? link.string() : (fs::path(p).parent_path() / link).string();
  }
  throw CliError(kExitOutput, name + ": cannot write: " + errnoText(ELOOP));
}

std::string notRegularText(mode_t mode) {
  return "is a " + kindOf(mode) + ", not a regular file; only regular files are replaced";
}

}  // namespace

bool isTemporaryName(const std::string& name) {
  if (name.size() != kTempPrefixLength + kTempRandomLength || name.compare(0, kTempPrefixLength, kTempPrefix) != 0)
    return false;
  for (std::size_t i = kTempPrefixLength; i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

int removeStaleTemporaries(const std::string& folder) {
  const Fd dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0) return 0;
  const std::time_t staleBefore = std::time(nullptr) - kStaleTemporaryAgeSeconds;
  int removed = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!isTemporaryName(name)) continue;
    // O_NOFOLLOW: a link is never followed; O_NONBLOCK: a FIFO never waits.
    const Fd f{::openat(dir.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat st, now;
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_mtime > staleBefore) continue;
    // A writer holds its temporary locked until it is renamed away.
    if (::flock(f.fd, LOCK_EX | LOCK_NB) != 0) continue;
    // Still the same file under that name (not replaced meanwhile)?
    if (::fstatat(dir.fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
        now.st_ino != st.st_ino)
      continue;
    if (::unlinkat(dir.fd, name.c_str(), 0) == 0) ++removed;
  }
  return removed;
}

PendingFile::PendingFile(const std::string& target, Links links) : name_(target), links_(links) {
  target_ = links == Links::kFollow ? followLinks(target, name_) : target;
  struct stat st;
  if (::lstat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !(links == Links::kReplace && S_ISLNK(st.st_mode)))
    throw CliError(kExitOutput, name_ + ": " + notRegularText(st.st_mode));
  const fs::path folder = fs::path(target_).parent_path();
  const std::string in = folder.empty() ? "." : folder.string();
  fd_ = createTemporaryIn(in, temporary_);
  if (fd_ < 0) {
    const int err = errno;
    temporary_.clear();
    throw CliError(kExitOutput, name_ + ": cannot write: " + errnoText(err));
  }
  live_ = addLiveTemporary(in, fs::path(temporary_).filename().string());
}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
  if (this != &other) {
    discard();
    name_ = std::move(other.name_);
    target_ = std::move(other.target_);
    temporary_ = std::move(other.temporary_);
    fd_ = std::exchange(other.fd_, -1);
    live_ = std::exchange(other.live_, -1);
    links_ = other.links_;
    other.temporary_.clear();
  }
  return *this;
}

void PendingFile::discard() noexcept {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  dropLiveTemporary(live_);
  temporary_.clear();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void PendingFile::commit() {
  auto fail = [&](const std::string& why) {
    discard();
    throw CliError(kExitOutput, name_ + ": " + why);
  };
  if (temporary_.empty()) fail("cannot write: nothing was written");
  // Closing a duplicate reports delayed write errors (NFS, quotas) as close
  // does, while the lock stays held through the rename.
  const int dup = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (dup < 0 || ::close(dup) != 0) fail("cannot write: " + errnoText(errno));
  struct stat st;
  if (::lstat(target_.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode)) {
      // The replaced file's owner and group where the process may give them
      // (root; a group the caller belongs to), then its mode (after the
      // owner, since changing the owner clears the set-ID bits).
      struct stat mine;
      if (::fstat(fd_, &mine) == 0 && (mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) &&
          ::fchown(fd_, st.st_uid, st.st_gid) != 0)
        (void)!::fchown(fd_, uid_t(-1), st.st_gid);
      if (::fchmod(fd_, st.st_mode & 07777) != 0) fail("cannot write: " + errnoText(errno));
    } else if (!(links_ == Links::kReplace && S_ISLNK(st.st_mode))) {
      fail(notRegularText(st.st_mode));
    }
  }
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) fail("cannot write: " + errnoText(errno));
  dropLiveTemporary(live_);  // after the rename: an interruption before it removes the temporary
  temporary_.clear();        // renamed: nothing left to remove
  ::close(fd_);
  fd_ = -1;
}

void removeTemporariesOnInterrupt() {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction act {};
    act.sa_handler = removeLiveTemporariesAndEnd;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESETHAND;
    ::sigaction(sig, &act, nullptr);
  }
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

void writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes, PendingFile::Links links) {
  PendingFile file(path, links);
  if (!writeAll(file.fd(), bytes.data(), bytes.size())) {
    // The reason is taken from the call that failed, before anything else can change errno.
    const int err = errno;
    file.discard();
    throw CliError(kExitOutput, path + ": cannot write: " + errnoText(err));
  }
  file.commit();
}

void prepareOutputFolder(const std::string& folder) {
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw CliError(kExitOutput, folder + ": cannot create the output folder: " + ec.message());
  } else if (!S_ISDIR(st.st_mode)) {
    throw CliError(kExitOutput, folder + ": is a " + kindOf(st.st_mode) + ", not a folder");
  }
  // Permission bits do not tell the whole story (read-only mounts, ACLs, root):
  // try to create a file.
  std::string probe;
  const int fd = createTemporaryIn(folder, probe);
  if (fd < 0) throw CliError(kExitOutput, folder + ": cannot write into the output folder: " + errnoText(errno));
  ::unlink(probe.c_str());
  ::close(fd);
  removeStaleTemporaries(folder);
}

void prepareFolderOf(const std::string& file) {
  const fs::path parent = fs::path(file).parent_path();
  try {
    prepareOutputFolder(parent.empty() ? "." : parent.string());
  } catch (const CliError& e) {
    throw CliError(kExitOutput, file + ": cannot write: " + e.what());
  }
  struct stat st;
  if (::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw CliError(kExitOutput, file + ": " + notRegularText(st.st_mode));
  // A link is written through (PendingFile): the file it leads to must have
  // a folder to be made in, which is not created for it.
  const std::string target = followLinks(file, file);
  const fs::path targetFolder = fs::path(target).parent_path();
  if (target != file && ::stat(targetFolder.empty() ? "." : targetFolder.c_str(), &st) != 0)
    throw CliError(kExitOutput,
                   file + ": cannot write: it is a symbolic link to " + target + ", whose folder does not exist");
}

}  // namespace imgnormcli
