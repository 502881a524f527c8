#include "cli/approve.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/exit.h"
#include "cli/fingerprint.h"
#include "cli/stored.h"
#include "cli/tree.h"
#include "platform/platform.h"

#if DIFFMARK_CLI_READS_JSON
#include <nlohmann/json.hpp>
#endif

namespace diffmark::cli {

#if DIFFMARK_CLI_READS_JSON

namespace {

constexpr const char* kUsage =
    "usage: diffmark-cli approve APPROVALS.json BASE_DIR OTHER_DIR\n"
    "       diffmark-cli approve --all REPORT.html BASE_DIR OTHER_DIR\n";

void Refuse(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "diffmark-cli approve: %s: %s\n", what.c_str(), why.c_str());
}

using nlohmann::json;

struct Side {
  bool present = false;  // the report saw a file on this side
  Fingerprint file;
};

struct Approval {
  std::string path;
  std::string status;  // changed, added, removed
  Side base;
  Side other;
};

// A relative path that stays inside the folder by its words: not empty,
// not absolute, no drive, no backslash, no "." or ".." part, no empty part.
bool PlainRelative(const std::string& path, std::string* why) {
  if (path.empty()) {
    *why = "an empty path";
    return false;
  }
  if (path[0] == '/' || path.find('\\') != std::string::npos || path.find(':') != std::string::npos) {
    *why = "not a relative path inside the folders";
    return false;
  }
  if (path.find('\0') != std::string::npos) {
    *why = "a path with a NUL byte";
    return false;
  }
  size_t at = 0;
  for (;;) {
    const size_t end = path.find('/', at);
    const std::string part = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (part.empty() || part == "." || part == "..") {
      *why = "a path with an empty, \".\" or \"..\" part";
      return false;
    }
    if (end == std::string::npos) return true;
    at = end + 1;
  }
}

// Whether `path` (inside `folder` by its words) stays inside it once
// symbolic links are followed.
bool StaysInside(const std::string& folder, const std::string& path) {
  std::error_code ec;
  const std::filesystem::path root = std::filesystem::canonical(folder, ec);
  if (ec) return false;
  const std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::path(folder) / path, ec);
  if (ec) return false;
  const std::filesystem::path rel = full.lexically_relative(root);
  return !rel.empty() && *rel.begin() != ".." && !rel.is_absolute();
}

std::optional<Side> SideOf(const json& record, const char* key, std::string* why) {
  Side side;
  if (!record.contains(key) || record[key].is_null()) return side;
  const json& s = record[key];
  if (!s.is_object() || !s.contains("bytes") || !s["bytes"].is_number_unsigned() || !s.contains("fnv1a64") ||
      !s["fnv1a64"].is_string()) {
    *why = std::string("no size and hash of the ") + key + " file recorded";
    return std::nullopt;
  }
  const std::string hex = s["fnv1a64"].get<std::string>();
  if (hex.size() != 16 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
    *why = std::string("the ") + key + " file's hash is not 16 hex digits";
    return std::nullopt;
  }
  side.present = true;
  side.file.bytes = s["bytes"].get<uint64_t>();
  side.file.fnv1a64 = std::stoull(hex, nullptr, 16);
  return side;
}

// The approvals the file names; false (a line printed) when it cannot be
// read or is not what the form expects.
bool ReadApprovals(const std::string& file, bool all, std::vector<Approval>* out) {
  std::vector<unsigned char> bytes;
  std::string error;
  if (!ReadWholeFile(file, &bytes, &error)) {
    Refuse(file, error);
    return false;
  }
  std::string text(bytes.begin(), bytes.end());
  const size_t first = text.find_first_not_of(" \t\r\n");
  const bool page = first != std::string::npos && text[first] == '<';
  if (page) {
    if (!all) {
      Refuse(file, "is a report page: name the approvals.json it exported, or accept every change with --all");
      return false;
    }
    std::string data;
    if (!ReportData(text, &data)) {
      Refuse(file, "has no diffmark report data (not a report page of this version?)");
      return false;
    }
    text = data;
  }
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("pairs") || !doc["pairs"].is_array()) {
    Refuse(file, page ? "its report data is not valid JSON" : "is not an approvals.json of the report (no \"pairs\")");
    return false;
  }
  if (!page && !doc.contains("diffmark_approvals")) {
    Refuse(file, "is not an approvals.json of the report (no \"diffmark_approvals\")");
    return false;
  }
  for (const json& record : doc["pairs"]) {
    if (!record.is_object() || !record.contains("path") || !record["path"].is_string() || !record.contains("status") ||
        !record["status"].is_string()) {
      Refuse(file, "an entry without a path and a status");
      return false;
    }
    Approval a;
    a.path = record["path"].get<std::string>();
    a.status = record["status"].get<std::string>();
    if (a.status != "changed" && a.status != "added" && a.status != "removed") {
      if (page) continue;  // --all: equal pairs and errors are not changes
      Refuse(a.path, "status \"" + a.status + "\" cannot be accepted");
      return false;
    }
    std::string why;
    const std::optional<Side> base = SideOf(record, "base", &why);
    const std::optional<Side> other = base ? SideOf(record, "other", &why) : std::nullopt;
    if (!base || !other) {
      Refuse(a.path, why);
      return false;
    }
    a.base = *base;
    a.other = *other;
    const bool shape = (a.status == "changed" && a.base.present && a.other.present) ||
                       (a.status == "added" && !a.base.present && a.other.present) ||
                       (a.status == "removed" && a.base.present && !a.other.present);
    if (!shape) {
      Refuse(a.path, "the files recorded do not match its status \"" + a.status + "\"");
      return false;
    }
    out->push_back(std::move(a));
  }
  return true;
}

// Whether the file on `side` is still the one recorded (or, when none was,
// still absent).  False with the reason.
bool StillAsReported(const std::string& folder, const std::string& path, const Side& side, std::string* why) {
  const std::string full = JoinRelative(folder, path);
  const platform::PathKind kind = platform::KindOfPath(full.c_str());
  if (!side.present) {
    if (kind == platform::PathKind::Missing) return true;
    *why = full + " exists now; the report saw no file there";
    return false;
  }
  Fingerprint now;
  std::string error;
  if (!FingerprintFile(full, &now, &error)) {
    *why = full + ": " + error;
    return false;
  }
  if (now.bytes != side.file.bytes || now.fnv1a64 != side.file.fnv1a64) {
    *why = full + " changed since the report (size or hash differ)";
    return false;
  }
  return true;
}

}  // namespace

int RunApprove(int argc, char** argv) {
  bool all = false;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--all") {
      all = true;
    } else if (arg == "-h" || arg == "--help") {
      std::printf("%s", kUsage);
      return kEqual;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      std::fprintf(stderr, "diffmark-cli approve: unknown option %s\n%s", arg.c_str(), kUsage);
      return kTrouble;
    } else if (arg != "--") {
      operands.push_back(arg);
    }
  }
  if (operands.size() != 3) {
    std::fprintf(stderr, "diffmark-cli approve: an approvals file (or, with --all, a report page) and two folders "
                         "are needed\n%s", kUsage);
    return kTrouble;
  }
  const std::string& file = operands[0];
  const std::string& base = operands[1];
  const std::string& other = operands[2];
  for (const std::string* folder : {&base, &other}) {
    if (platform::KindOfPath(folder->c_str()) != platform::PathKind::Directory) {
      Refuse(*folder, "is not a folder");
      return kTrouble;
    }
  }
  std::vector<Approval> approvals;
  if (!ReadApprovals(file, all, &approvals)) return kTrouble;

  // Everything is checked before anything is written.
  for (const Approval& a : approvals) {
    std::string why;
    if (!PlainRelative(a.path, &why)) {
      Refuse(a.path, why);
      return kTrouble;
    }
    for (const std::string* folder : {&base, &other}) {
      if (!StaysInside(*folder, a.path)) {
        Refuse(a.path, "leads out of " + *folder + " (through a symbolic link)");
        return kTrouble;
      }
    }
    if (!StillAsReported(base, a.path, a.base, &why) || !StillAsReported(other, a.path, a.other, &why)) {
      Refuse(a.path, why);
      return kTrouble;
    }
  }

  for (const Approval& a : approvals) {
    const std::string target = JoinRelative(base, a.path);
    if (a.status == "removed") {
      std::error_code ec;
      if (!std::filesystem::remove(std::filesystem::path(target), ec) || ec) {
        Refuse(target, "cannot be removed (" + ec.message() + ")");
        return kTrouble;
      }
      std::printf("removed  %s\n", a.path.c_str());
      continue;
    }
    // The other file is read once; what is written is what was hashed.
    std::vector<unsigned char> bytes;
    std::string error;
    const std::string source = JoinRelative(other, a.path);
    if (!ReadWholeFile(source, &bytes, &error)) {
      Refuse(source, error);
      return kTrouble;
    }
    if (bytes.size() != a.other.file.bytes || Fnv1a64(bytes.data(), bytes.size()) != a.other.file.fnv1a64) {
      Refuse(source, "changed since the report (size or hash differ)");
      return kTrouble;
    }
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(target).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (ec) {
      Refuse(parent.string(), "cannot be created (" + ec.message() + ")");
      return kTrouble;
    }
    if (!platform::ReplaceFileWith(target, bytes.data(), bytes.size(), &error)) {
      Refuse(target, error);
      return kTrouble;
    }
    std::printf("%s  %s\n", a.status == "added" ? "added  " : "updated", a.path.c_str());
  }
  if (approvals.empty()) std::printf("nothing to accept\n");
  return kEqual;
}

#else

int RunApprove(int, char**) {
  std::fprintf(stderr, "diffmark-cli approve: not available in this build (built without nlohmann-json)\n");
  return kTrouble;
}

#endif

}  // namespace diffmark::cli
