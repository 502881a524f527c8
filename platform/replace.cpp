// Writing a file beside its final path and renaming it into place, over
// the calls of this layer (the same on every system).
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <random>

#include "platform/platform.h"

namespace diffmark::platform {

ReplacementFile::~ReplacementFile() {
  if (file_ == nullptr) return;
  CloseFile(file_);
  if (!temporary_.empty()) RemoveFile(temporary_.c_str());
}

bool ReplacementFile::Begin(const std::string& path, std::string* reason) {
  path_ = path;
  temporary_.clear();
  const PathKind kind = KindOfPath(path.c_str());
  if (kind == PathKind::Directory) {
    *reason = "is a directory";
    return false;
  }
  // Missing folders on the way are made, as a person giving -o expects.
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (kind == PathKind::Missing && !parent.empty() && !std::filesystem::is_directory(parent, ec)) {
    std::filesystem::create_directories(parent, ec);
    if (ec && !std::filesystem::is_directory(parent)) {
      *reason = "cannot be created (" + ec.message() + ")";
      return false;
    }
  }
  if (kind != PathKind::Other) {
    // A name no other run picks at the same time.
    std::random_device seed;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".partial-%08x", static_cast<unsigned>(seed()));
    temporary_ = path + suffix;
  }
  file_ = CreateAlways(writtenPath().c_str());
  if (file_ == nullptr) {
    *reason = "cannot be created (" + LastFileErrorText() + ")";
    temporary_.clear();
    return false;
  }
  return true;
}

bool ReplacementFile::Commit(std::string* reason) {
  FileHandle file = file_;
  file_ = nullptr;
  const bool closed = CloseWritten(file);
  if (temporary_.empty()) {
    if (!closed) *reason = "write failed (" + LastFileErrorText() + ")";
    return closed;
  }
  if (!closed || !RenameReplacing(temporary_.c_str(), path_.c_str())) {
    *reason = (closed ? "cannot be replaced (" : "write failed (") + LastFileErrorText() + ")";
    RemoveFile(temporary_.c_str());
    temporary_.clear();
    return false;
  }
  temporary_.clear();
  return true;
}

bool ReplaceFileWith(const std::string& path, const void* data, uint64_t bytes, std::string* reason) {
  ReplacementFile out;
  if (!out.Begin(path, reason)) return false;
  if (!WriteBytes(out.file(), data, bytes)) {
    *reason = "write failed (" + LastFileErrorText() + ")";
    return false;
  }
  return out.Commit(reason);
}

}  // namespace diffmark::platform
