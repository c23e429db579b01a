// File-system helpers of the imgnorm program: reading whole files, writing
// outputs under a temporary name that is renamed into place (so no partial
// output ever carries the final name), and preparing output folders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imgnormcli {

// The file name's extension in lower case, without the dot ("" when none).
std::string lowerExtension(const std::string& path);
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

// A fresh name in the target's folder for writing the target before it is
// renamed into place: hidden, unique per process and call, and recognisable
// (".NAME.tmp-imgnorm-PID-N") so that a later run can remove it when the
// process that made it has gone.
std::string temporaryNameFor(const std::string& target);
// Whether a file name (without folder) has the form temporaryNameFor gives;
// pid receives the process that made it.
bool isTemporaryName(const std::string& name, long& pid);
// Removes the temporaries in folder (files or folders) whose process no
// longer runs: left behind by a run that was killed.  Returns how many were
// removed.  Errors are ignored; nothing else is touched.
int removeStaleTemporaries(const std::string& folder);
// Renames a finished temporary file onto its target; removes the temporary
// and throws CliError (kExitOutput) when that fails.
void commitTemporary(const std::string& temporary, const std::string& target);
// Writes all bytes to an open file descriptor; on failure returns false with
// errno set by the failing write.
bool writeAll(int fd, const void* data, std::size_t size);
// Writes bytes to a temporary name and renames it onto path.  Throws
// CliError (kExitOutput) naming path and giving the system's reason ("No
// space left on device").
void writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Creates the folder (and its parents) when missing, checks that files can be
// created in it and removes stale temporaries of earlier killed runs from it.
// Throws CliError (kExitOutput) naming the folder.
void prepareOutputFolder(const std::string& folder);

// Prepares the folder an output file goes into (as prepareOutputFolder); the
// error names the file.
void prepareFolderOf(const std::string& file);

// The text of errno for messages ("No such file or directory").
std::string errnoText(int err);

}  // namespace imgnormcli
