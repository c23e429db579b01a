// File-system helpers of the imgnorm program: reading whole files, writing
// outputs under a temporary name that is renamed into place (so no partial
// output ever carries the final name), and preparing output folders.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace imgnormcli {

// The file name's extension in lower case, without the dot ("" when none).
std::string lowerExtension(const std::string& path);

// A file a command reads, with what it is for messages ("the reference image").
struct NamedInput {
  std::string path;
  std::string role;
};

// A key that is equal for two spellings of the same file: device and inode
// when the file exists, else the canonical absolute path.
std::string fileIdentity(const std::string& path);
// A path's identity for collision checks between outputs (which may not
// exist yet): the absolute, normalized form.
std::string normalizedPath(const std::string& path);

// The file name without folder and extension ("out/camera.png" -> "camera").
std::string fileStem(const std::string& path);
// The file name without its folder.
std::string fileName(const std::string& path);

// The whole file, which must be a regular file: a FIFO, device or socket is
// refused without being read (opening does not wait for a writer), and no
// more than the file's size is read.  A file larger than maxBytes is refused
// before anything is allocated.  Throws CliError (kExitInput) naming the
// file when it is missing, a folder, not a regular file, too large or
// unreadable.
std::vector<std::uint8_t> readFileBytes(const std::string& path, std::uint64_t maxBytes = UINT64_MAX);

// What kind of file system entry path is, for messages: "folder", "FIFO",
// "character device", "block device", "socket", "file" or "" when missing.
std::string fileKind(const std::string& path);

// Whether a file name (without folder) has the form of the temporaries that
// outputs are written under (".imgnorm-tmp-" and six letters or digits).
bool isTemporaryName(const std::string& name);
// How old (by its modification time) a temporary must be before a sweep may
// remove it: a second guard beside the writer's lock, for the moment between
// creating a temporary and locking it and for file systems whose locks are
// not shared between hosts.
constexpr int kStaleTemporaryAgeSeconds = 10 * 60;
// Removes the temporaries that killed runs left in folder: regular files (a
// link or folder of that name is never touched) of the temporaries' name form
// that no writer holds (the writer holds an exclusive flock on its temporary
// for its whole life, in any process or container sharing the file system)
// and that have not been modified for kStaleTemporaryAgeSeconds.  Returns how
// many were removed.  Errors are ignored; nothing else is touched.
int removeStaleTemporaries(const std::string& folder);

// An output being written: a temporary file (".imgnorm-tmp-XXXXXX", short so
// that any target name that fits the folder fits) in the target's folder,
// locked for its whole life, renamed onto the target by commit().  Destroyed
// without commit(), it removes the temporary.
//
// A target that is a symbolic link is written through: the link's final
// target is replaced (the temporary lies in that file's folder) and the link
// stays, unless links is kReplace (the program's own report files, where a
// planted link must not lead the write elsewhere).  Replacing keeps the
// replaced file's permission bits and, when the process may change them, its
// owner and group; a new file gets 0666 less the umask.  A hard link is split:
// the name gets the new file, the file's other names keep the old content.
// A target that exists but is not a regular file (FIFO, device, folder) is
// refused.  Errors are CliError (kExitOutput) naming the target as given.
class PendingFile {
public:
  enum class Links { kFollow, kReplace };
  PendingFile() = default;
  explicit PendingFile(const std::string& target, Links links = Links::kFollow);
  PendingFile(PendingFile&& other) noexcept { *this = std::move(other); }
  PendingFile& operator=(PendingFile&& other) noexcept;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() { discard(); }

  int fd() const { return fd_; }
  // The temporary's path (for writers that open it again by name).
  const std::string& path() const { return temporary_; }
  // Gives the temporary the replaced file's mode and owner, renames it onto
  // the target and releases it.
  void commit();
  // Removes the temporary (nothing when committed or empty).
  void discard() noexcept;

private:
  std::string name_;       // the target as given, for messages
  std::string target_;     // the file replaced: name_ with its links followed
  std::string temporary_;  // empty when there is nothing to discard
  int fd_ = -1;
  int live_ = -1;  // the temporary's entry among those an interruption removes
  Links links_ = Links::kFollow;
};

// Makes SIGINT, SIGTERM and SIGHUP remove the temporaries of the outputs
// being written (in every thread) before the program ends by the signal as
// it would have: an interrupted run leaves no partial file behind.  A signal
// the program was started with ignored stays ignored.
void removeTemporariesOnInterrupt();

// Writes all bytes to an open file descriptor; on failure returns false with
// errno set by the failing write.
bool writeAll(int fd, const void* data, std::size_t size);
// Writes bytes to a PendingFile and commits it onto path.  Throws
// CliError (kExitOutput) naming path and giving the system's reason ("No
// space left on device").
void writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes,
                         PendingFile::Links links = PendingFile::Links::kFollow);

// Creates the folder (and its parents) when missing, checks that files can be
// created in it and removes stale temporaries of earlier killed runs from it.
// Throws CliError (kExitOutput) naming the folder.
void prepareOutputFolder(const std::string& folder);

// Prepares the folder an output file goes into (as prepareOutputFolder) and
// refuses a file that exists but is not a regular file (a FIFO, a device:
// replacing it would not write where the user expects); the error names the
// file.
void prepareFolderOf(const std::string& file);

// The text of errno for messages ("No such file or directory").
std::string errnoText(int err);

}  // namespace imgnormcli
