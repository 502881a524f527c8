#include "cli/tree.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include <diffmark/imageload.h>

#include "cli/output.h"

namespace diffmark::cli {

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

// The extension of a file name, or "" (no dot, or only a leading one).
std::string OwnExtension(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return "";
  return name.substr(dot + 1);
}

struct Lister {
  const std::vector<std::string>& skip;
  std::vector<std::string>* problems;
  std::vector<std::string> files;

  void Walk(const fs::path& dir, const std::string& prefix, const std::string& shown) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
      problems->push_back(shown + ": cannot be listed (" + ec.message() + ")");
      return;
    }
    std::vector<std::pair<std::string, fs::path>> folders;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      std::string name;
      try {
        name = it->path().filename().string();
      } catch (const std::exception&) {
        problems->push_back(shown + ": a name in it cannot be represented in this program's character set");
        continue;
      }
      std::error_code kindError;
      const bool link = it->is_symlink(kindError);
      const bool folder = it->is_directory(kindError);  // after following a link
      if (folder) {
        if (!link) folders.emplace_back(name, it->path());
      } else if (IsImageFileName(name)) {
        // Anything else with an image's name is compared, so that a broken
        // link or a special file is reported, not silently left out.
        files.push_back(prefix + name);
      }
    }
    if (ec) problems->push_back(shown + ": cannot be listed (" + ec.message() + ")");
    for (const auto& [name, path] : folders) {
      std::error_code canonicalError;
      const std::string canonical = fs::weakly_canonical(path, canonicalError).string();
      if (!canonicalError && std::find(skip.begin(), skip.end(), canonical) != skip.end()) continue;
      Walk(path, prefix + name + "/", JoinRelative(shown, name));
    }
  }
};

}  // namespace

bool IsImageFileName(const std::string& name) {
  const std::string ext = OwnExtension(name);
  if (ext.empty() || ext.size() > 6) return false;
  // The extensions of the usual image formats count whether or not a
  // plug-in reads them: a run without plug-ins must not pass for a run
  // with nothing to compare.
  static const char* const kUsual[] = {"bmp", "png", "jpg", "jpeg", "jpe", "gif", "webp", "tif", "tiff",
                                       "ppm", "pgm", "pbm", "pnm"};
  const std::string lower = Lower(ext);
  for (const char* usual : kUsual) {
    if (lower == usual) return true;
  }
  return FindPluginFor(ext.c_str()) >= 0;
}

bool HasReader(const std::string& name) {
  // The loader's own rule for the extension (jpeg and jpe read as jpg).
  char ext[kMaxPath];
  GetExtension(name.c_str(), ext);
  return CompareNames(0, ext, "bmp", 0) == 0 || FindPluginFor(ext) >= 0;
}

std::vector<std::string> ListImageFiles(const std::string& root, const std::vector<std::string>& skip,
                                        std::vector<std::string>* problems) {
  Lister lister{skip, problems, {}};
  lister.Walk(fs::path(root), "", root);
  // Sorted by the bytes of the whole path (std::string compares its
  // characters as unsigned bytes).
  std::sort(lister.files.begin(), lister.files.end());
  return std::move(lister.files);
}

std::vector<PairedPath> PairUp(const std::vector<std::string>& base, const std::vector<std::string>& other) {
  std::vector<PairedPath> paths;
  size_t i = 0;
  size_t j = 0;
  while (i < base.size() || j < other.size()) {
    PairedPath p;
    if (j == other.size() || (i < base.size() && base[i] < other[j])) {
      p.path = base[i++];
      p.inBase = true;
    } else if (i == base.size() || other[j] < base[i]) {
      p.path = other[j++];
      p.inOther = true;
    } else {
      p.path = base[i++];
      p.inBase = p.inOther = true;
      ++j;
    }
    paths.push_back(std::move(p));
  }
  return paths;
}

std::string JoinRelative(const std::string& dir, const std::string& relative) {
  if (dir.empty()) return relative;
  const char last = dir.back();
  return last == '/' || last == '\\' ? dir + relative : dir + "/" + relative;
}

std::string MarkedCopyName(const std::string& relative) {
  const size_t slash = relative.find_last_of('/');
  const std::string ext = Lower(OwnExtension(slash == std::string::npos ? relative : relative.substr(slash + 1)));
  if (ext == "bmp" || (ext == "png" && CanWritePng())) return relative;
  return relative + (CanWritePng() ? ".png" : ".bmp");
}

std::string CanonicalPath(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(fs::path(path), ec), ec);
  if (!p.has_filename()) p = p.parent_path();  // "diff/" names the folder "diff"
  return ec ? std::string() : p.string();
}

// Whether two paths name one file (the same path, or a hard or symbolic
// link to it); false when either does not exist.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec) && !ec) return true;
  // Where the file system gives no identity (folders under Windows'
  // runtime), the full paths tell; Windows names ignore letter case.
  std::error_code ea;
  std::error_code eb;
  std::string pa = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ea), ea).generic_string();
  std::string pb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, eb), eb).generic_string();
  if (ea || eb || pa.empty()) return false;
  while (pa.size() > 1 && pa.back() == '/') pa.pop_back();
  while (pb.size() > 1 && pb.back() == '/') pb.pop_back();
#if defined(_WIN32)
  for (std::string* p : {&pa, &pb}) {
    for (char& c : *p) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
#endif
  return pa == pb && std::filesystem::exists(a, ea);
}

}  // namespace diffmark::cli
