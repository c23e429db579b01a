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

// The whole file.  Throws CliError (kExitInput) naming the file when it is
// missing, a folder, or unreadable.
std::vector<std::uint8_t> readFileBytes(const std::string& path);

// A fresh name in the target's folder for writing the target before it is
// renamed into place: hidden, unique per process and call.
std::string temporaryNameFor(const std::string& target);
// Renames a finished temporary file onto its target; removes the temporary
// and throws CliError (kExitOutput) when that fails.
void commitTemporary(const std::string& temporary, const std::string& target);
// Writes bytes to a temporary name and renames it onto path.  Throws
// CliError (kExitOutput) naming path.
void writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Creates the folder (and its parents) when missing and checks that files can
// be created in it.  Throws CliError (kExitOutput) naming the folder.
void prepareOutputFolder(const std::string& folder);

// Prepares the folder an output file goes into (as prepareOutputFolder); the
// error names the file.
void prepareFolderOf(const std::string& file);

// The text of errno for messages ("No such file or directory").
std::string errnoText(int err);

}  // namespace imgnormcli
