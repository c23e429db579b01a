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

std::vector<std::uint8_t> readFileBytes(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw CliError(kExitInput, path + ": " + errnoText(errno));
  if (S_ISDIR(st.st_mode)) throw CliError(kExitInput, path + ": is a folder, not a file");
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw CliError(kExitInput, path + ": " + errnoText(errno));
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (failed) throw CliError(kExitInput, path + ": read error: " + errnoText(err));
  return bytes;
}

std::string temporaryNameFor(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  const fs::path p(target);
  const std::string name =
      "." + p.filename().string() + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  return (p.parent_path() / name).string();
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
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) throw CliError(kExitOutput, path + ": cannot write: " + errnoText(errno));
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int err = errno;
  if (std::fclose(f) != 0 || !ok) {
    std::remove(tmp.c_str());
    throw CliError(kExitOutput, path + ": cannot write: " + errnoText(ok ? errno : err));
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
  std::FILE* f = std::fopen(probe.c_str(), "wb");
  if (!f) throw CliError(kExitOutput, folder + ": cannot write into the output folder: " + errnoText(errno));
  std::fclose(f);
  std::remove(probe.c_str());
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
