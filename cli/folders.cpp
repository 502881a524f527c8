// Two folders at once.  The main thread lists both trees, pairs the files
// and starts the workers; each worker takes the next relative path,
// compares the pair and writes its files, and keeps what it found in that
// path's entry.  Only the main thread prints, after every worker is done,
// in path order: what a run prints and writes does not depend on the
// number of workers or on which of them finished first.
//
// The library is shared by the workers: the plug-in table was filled
// before they start and is only read; palettes and failure reasons are
// per thread; blocks may be allocated and freed on any thread.
#include "cli/folders.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include <diffmark/imageload.h>

#include "cli/html_report.h"
#include "cli/image.h"
#include "cli/pair.h"
#include "cli/stream_pair.h"
#include "platform/platform.h"

namespace diffmark::cli {

namespace fs = std::filesystem;

const char* StatusName(PairStatus status) {
  switch (status) {
    case PairStatus::Equal:
      return "equal";
    case PairStatus::Changed:
      return "changed";
    case PairStatus::Added:
      return "added";
    case PairStatus::Removed:
      return "removed";
    case PairStatus::Error:
      return "error";
  }
  return "error";
}

FolderTotals CountStatuses(const std::vector<FolderEntry>& entries) {
  FolderTotals t;
  for (const FolderEntry& e : entries) {
    switch (e.status) {
      case PairStatus::Equal:
        ++t.equal;
        break;
      case PairStatus::Changed:
        ++t.changed;
        break;
      case PairStatus::Added:
        ++t.added;
        break;
      case PairStatus::Removed:
        ++t.removed;
        break;
      case PairStatus::Error:
        ++t.errors;
        break;
    }
  }
  return t;
}

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

}  // namespace

bool IsImageFileName(const std::string& name) {
  const std::string ext = OwnExtension(name);
  if (ext.empty() || ext.size() > 6) return false;
  return Lower(ext) == "bmp" || FindPluginFor(ext.c_str()) >= 0;
}

namespace {

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

std::vector<std::string> ListImageFiles(const std::string& root, const std::vector<std::string>& skip,
                                        std::vector<std::string>* problems) {
  Lister lister{skip, problems, {}};
  lister.Walk(fs::path(root), "", root);
  // Sorted by the bytes of the whole path (std::string compares its
  // characters as unsigned bytes).
  std::sort(lister.files.begin(), lister.files.end());
  return std::move(lister.files);
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

namespace {

constexpr int kEqual = 0;
constexpr int kDifferent = 1;
constexpr int kTrouble = 2;

// What every worker shares: read-only settings, and a lock for making
// folders (two workers may need the same one).
struct Job {
  const Options& options;
  std::string outputDir;    // empty: no marked copies
  std::string reportDir;    // the report's image folder; empty: no report
  Format shownFormat = Format::Png;
  std::mutex folderLock;
};

bool MakeParentFolder(Job& job, const std::string& file, std::string* error) {
  const fs::path parent = fs::path(file).parent_path();
  if (parent.empty()) return true;
  std::lock_guard<std::mutex> hold(job.folderLock);
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (ec) {
    *error = "cannot be created (" + ec.message() + ")";
    return false;
  }
  return true;
}

// Writes one picture of the report; its name goes to `shown`.
void Show(Job& job, FolderEntry& entry, const Picture& picture, const std::string& name, std::string* shown) {
  const std::string path = JoinRelative(job.reportDir, name);
  BitmapInfoHeader header{};
  InitRgb24Header(&header, picture.width, picture.height);
  std::string error;
  if (!WritePicture(path, job.shownFormat, picture, header, &error)) {
    entry.reportTrouble.push_back(path + ": " + error);
    return;
  }
  *shown = name;
}

std::string ShownName(size_t index, const char* role, Format format) {
  char name[64];
  std::snprintf(name, sizeof name, "%04zu-%s.%s", index + 1, role, format == Format::Png ? "png" : "bmp");
  return name;
}

// One side only: in the report it is shown, when it can be loaded.
void WorkOnOneSide(Job& job, FolderEntry& entry, size_t index) {
  if (job.reportDir.empty()) return;
  const bool base = entry.inBase;
  const std::string file = JoinRelative(base ? job.options.base : job.options.other, entry.path);
  LoadedImage image;
  std::string error;
  if (!LoadPicture(file, &image, &error)) {
    entry.shownProblem = file + ": " + error;
    return;
  }
  (base ? entry.result.baseWidth : entry.result.otherWidth) = image.picture.width;
  (base ? entry.result.baseHeight : entry.result.otherHeight) = image.picture.height;
  Show(job, entry, image.picture, ShownName(index, base ? "base" : "other", job.shownFormat),
       base ? &entry.shownBase : &entry.shownOther);
}

void WorkOnPair(Job& job, FolderEntry& entry, size_t index) {
  const std::string baseFile = JoinRelative(job.options.base, entry.path);
  const std::string otherFile = JoinRelative(job.options.other, entry.path);

  // Two BMP files of one size are first compared a chunk at a time, held
  // nowhere whole: most pairs of a folder are equal, and then that is all.
  // A pair that differs is loaded whole for its marked copy and the report.
  PairResult streamed;
  if (StreamCompare(baseFile, otherFile, job.options.compare, 1, &streamed) == PairStream::Compared &&
      streamed.stats.differentPixels == 0) {
    entry.result = streamed;
    entry.baseLoaded = entry.otherLoaded = entry.compared = true;
    entry.status = PairStatus::Equal;
    return;
  }

  LoadedPair pair;
  const bool loaded = LoadPair(baseFile, otherFile, false, &pair);
  entry.baseLoaded = pair.baseError.empty();
  entry.otherLoaded = pair.otherError.empty();
  entry.result.baseWidth = pair.base.picture.width;
  entry.result.baseHeight = pair.base.picture.height;
  entry.result.otherWidth = pair.other.picture.width;
  entry.result.otherHeight = pair.other.picture.height;
  if (!loaded) {
    if (!pair.baseError.empty()) entry.trouble.push_back(baseFile + ": " + pair.baseError);
    if (!pair.otherError.empty()) entry.trouble.push_back(otherFile + ": " + pair.otherError);
    entry.status = PairStatus::Error;
    return;
  }

  // The report shows the base as it was: keep its rows before marking.
  const bool report = !job.reportDir.empty();
  std::vector<uint8_t> unmarkedRows;
  Picture unmarked = pair.base.picture;
  if (report) {
    const Picture& p = pair.base.picture;
    const auto bytes = static_cast<size_t>(p.stride) * static_cast<size_t>(p.height);
    unmarkedRows.assign(p.rows, p.rows + bytes);
    unmarked.rows = unmarkedRows.data();
  }

  entry.result = CompareLoaded(baseFile, otherFile, pair, job.options.compare);
  entry.compared = true;
  if (entry.result.stats.differentPixels == 0) {
    entry.status = PairStatus::Equal;
    return;
  }
  entry.status = PairStatus::Changed;

  if (report) {
    Show(job, entry, unmarked, ShownName(index, "base", job.shownFormat), &entry.shownBase);
    Show(job, entry, pair.other.picture, ShownName(index, "other", job.shownFormat), &entry.shownOther);
    Show(job, entry, pair.base.picture, ShownName(index, "marked", job.shownFormat), &entry.shownMarked);
  }

  if (!job.outputDir.empty()) {
    const std::string path = JoinRelative(job.outputDir, MarkedCopyName(entry.path));
    Format format = Format::Bmp;
    std::string error;
    const bool known = OutputFormat(path, &format);
    if (!known || !MakeParentFolder(job, path, &error) || !WriteMarked(path, format, pair, &error)) {
      entry.trouble.push_back(path + ": " + (known ? error : "unknown output format"));
      entry.status = PairStatus::Error;
      return;
    }
    entry.output = path;
  }
}

void Work(Job& job, FolderEntry& entry, size_t index) {
  if (entry.inBase && entry.inOther) {
    WorkOnPair(job, entry, index);
  } else {
    entry.status = entry.inBase ? PairStatus::Removed : PairStatus::Added;
    WorkOnOneSide(job, entry, index);
  }
}

// The progress line on a terminal: "[#####.....]  120/200 pairs  2.4 s  50.0/s".
class Progress {
 public:
  Progress(bool shown, size_t total) : shown_(shown), total_(total), start_(std::chrono::steady_clock::now()) {}

  void Draw(size_t done) const {
    if (!shown_) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    constexpr size_t kWidth = 30;
    const size_t filled = total_ == 0 ? kWidth : done * kWidth / total_;
    char bar[kWidth + 1];
    for (size_t i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::fprintf(stderr, "\r[%s] %zu/%zu pairs  %.1f s  %.1f pairs/s ", bar, done, total_, seconds, rate);
    std::fflush(stderr);
  }

  void Erase() const {
    if (!shown_) return;
    std::fprintf(stderr, "\r%79s\r", "");
    std::fflush(stderr);
  }

 private:
  bool shown_;
  size_t total_;
  std::chrono::steady_clock::time_point start_;
};

// Runs `work(i)` for every i below `count` on `jobs` threads, drawing the
// progress while they run.
template <typename Work>
void RunWorkers(size_t count, unsigned jobs, const Progress& progress, Work&& work) {
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::mutex lock;
  std::condition_variable finished;
  unsigned running = 0;
  const unsigned threads = static_cast<unsigned>(std::min<size_t>(jobs, std::max<size_t>(count, 1)));
  std::vector<std::thread> workers;
  workers.reserve(threads);
  for (unsigned t = 0; t < threads; ++t) {
    {
      std::lock_guard<std::mutex> hold(lock);
      ++running;
    }
    workers.emplace_back([&] {
      for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        work(i);
        done.fetch_add(1);
      }
      std::lock_guard<std::mutex> hold(lock);
      --running;
      finished.notify_all();
    });
  }
  {
    std::unique_lock<std::mutex> wait(lock);
    while (!finished.wait_for(wait, std::chrono::milliseconds(100), [&] { return running == 0; })) {
      progress.Draw(done.load());
    }
  }
  for (std::thread& w : workers) w.join();
  progress.Draw(done.load());
  progress.Erase();
}

// Pairs the two sorted lists into entries, in path order.
std::vector<FolderEntry> PairUp(const std::vector<std::string>& base, const std::vector<std::string>& other) {
  std::vector<FolderEntry> entries;
  size_t i = 0;
  size_t j = 0;
  while (i < base.size() || j < other.size()) {
    FolderEntry e;
    if (j == other.size() || (i < base.size() && base[i] < other[j])) {
      e.path = base[i++];
      e.inBase = true;
    } else if (i == base.size() || other[j] < base[i]) {
      e.path = other[j++];
      e.inOther = true;
    } else {
      e.path = base[i++];
      e.inBase = e.inOther = true;
      ++j;
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i > 0 ? separator : "") + parts[i];
  return out;
}

std::string SizeJson(int32_t width, int32_t height, bool known) {
  if (!known) return "null";
  std::string out = "[";
  out += std::to_string(width);
  out += ", ";
  out += std::to_string(height);
  out += "]";
  return out;
}

std::string EntryJson(const FolderEntry& e) {
  const Stats& s = e.result.stats;
  return "{\"path\": " + JsonString(e.path) + ", \"status\": \"" + StatusName(e.status) + "\"" +
         ", \"base_size\": " + SizeJson(e.result.baseWidth, e.result.baseHeight, e.baseLoaded) +
         ", \"other_size\": " + SizeJson(e.result.otherWidth, e.result.otherHeight, e.otherLoaded) +
         ", \"pixels\": " + (e.compared ? std::to_string(s.pixels) : "null") +
         ", \"different_pixels\": " + (e.compared ? std::to_string(s.differentPixels) : "null") +
         ", \"different_bytes\": " + (e.compared ? std::to_string(s.differentBytes) : "null") +
         ", \"bbox\": " + (e.compared ? BoxJson(s) : "null") +
         ", \"output\": " + (e.output.empty() ? "null" : JsonString(e.output)) +
         ", \"error\": " + (e.trouble.empty() ? "null" : JsonString(Join(e.trouble, "; "))) + "}";
}

std::string TotalsJson(const FolderTotals& t) {
  return "{\"equal\": " + std::to_string(t.equal) + ", \"changed\": " + std::to_string(t.changed) +
         ", \"added\": " + std::to_string(t.added) + ", \"removed\": " + std::to_string(t.removed) +
         ", \"errors\": " + std::to_string(t.errors) + "}";
}

std::string Plural(uint64_t n, const char* one, const char* many) {
  return Grouped(n) + " " + (n == 1 ? one : many);
}

// The canonical form of a path that may not exist yet, for comparing.
std::string Canonical(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(fs::path(path), ec), ec);
  if (!p.has_filename()) p = p.parent_path();  // "diff/" names the folder "diff"
  return ec ? std::string() : p.string();
}

bool MakeFolder(const std::string& path) {
  std::error_code ec;
  fs::create_directories(fs::path(path), ec);
  if (ec || platform::KindOfPath(path.c_str()) != platform::PathKind::Directory) {
    const bool isFile = platform::KindOfPath(path.c_str()) != platform::PathKind::Missing;
    std::fprintf(stderr, "%s: %s\n", path.c_str(),
                 isFile ? "is not a folder" : ("cannot be created (" + ec.message() + ")").c_str());
    return false;
  }
  return true;
}

}  // namespace

int CompareFolders(const Options& options) {
  Job job{options, options.output, {}, CanWritePng() ? Format::Png : Format::Bmp, {}};
  if (!options.output.empty() && !MakeFolder(options.output)) return kTrouble;
  if (!options.report.empty()) {
    job.reportDir = ReportImageFolder(options.report);
    if (!MakeFolder(job.reportDir)) return kTrouble;
  }

  // The program's own output inside an input folder is not an input.
  std::vector<std::string> skip;
  if (!job.outputDir.empty()) skip.push_back(Canonical(job.outputDir));
  if (!job.reportDir.empty()) skip.push_back(Canonical(job.reportDir));
  std::vector<std::string> problems;
  const std::vector<std::string> baseFiles = ListImageFiles(options.base, skip, &problems);
  const std::vector<std::string> otherFiles = ListImageFiles(options.other, skip, &problems);
  std::vector<FolderEntry> entries = PairUp(baseFiles, otherFiles);

  // Two names whose marked copies would have one name (x.jpg and a real
  // x.jpg.png): the second in path order is trouble, not a race.
  std::set<std::string> copies;
  std::vector<bool> clash(entries.size(), false);
  for (size_t i = 0; i < entries.size() && !job.outputDir.empty(); ++i) {
    if (entries[i].inBase && entries[i].inOther && !copies.insert(MarkedCopyName(entries[i].path)).second) {
      clash[i] = true;
    }
  }

  const unsigned jobs = options.jobs > 0 ? options.jobs : platform::ProcessorCount();
  const Progress progress(!options.quiet && platform::StandardErrorIsTerminal(), entries.size());
  RunWorkers(entries.size(), jobs, progress, [&](size_t i) {
    if (clash[i]) {
      entries[i].status = PairStatus::Error;
      entries[i].trouble.push_back(JoinRelative(job.outputDir, MarkedCopyName(entries[i].path)) +
                                   ": also the name of another file's marked copy");
      return;
    }
    Work(job, entries[i], i);
  });

  const FolderTotals totals = CountStatuses(entries);
  bool trouble = !problems.empty() || totals.errors > 0;
  for (const std::string& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
  for (const FolderEntry& e : entries) {
    for (const std::string& t : e.trouble) std::fprintf(stderr, "%s\n", t.c_str());
    for (const std::string& t : e.reportTrouble) std::fprintf(stderr, "%s\n", t.c_str());
    trouble = trouble || !e.reportTrouble.empty();
  }
  if (!options.report.empty()) {
    std::string error;
    if (!WriteHtmlReport(options.report, options, entries, &error)) {
      std::fprintf(stderr, "%s: %s\n", options.report.c_str(), error.c_str());
      trouble = true;
    }
  }

  if (options.json) {
    std::string out = "{\"base\": " + JsonString(options.base) + ", \"other\": " + JsonString(options.other) +
                      ", \"output\": " + (options.output.empty() ? "null" : JsonString(options.output)) +
                      ", \"report\": " + (options.report.empty() ? "null" : JsonString(options.report)) +
                      ",\n \"totals\": " + TotalsJson(totals) + ",\n \"pairs\": [";
    for (size_t i = 0; i < entries.size(); ++i) out += (i > 0 ? ",\n  " : "\n  ") + EntryJson(entries[i]);
    out += entries.empty() ? "]}\n" : "\n ]}\n";
    std::fputs(out.c_str(), stdout);
  } else if (!options.quiet) {
    for (const FolderEntry& e : entries) {
      switch (e.status) {
        case PairStatus::Equal:
          break;
        case PairStatus::Changed:
          std::printf("changed  %s: %s\n", e.path.c_str(), SummaryLine(e.result).c_str());
          break;
        case PairStatus::Added:
        case PairStatus::Removed:
          std::printf("%-8s %s\n", StatusName(e.status), e.path.c_str());
          break;
        case PairStatus::Error:
          // The trouble lines name the file (of either side, or the copy).
          std::printf("error    %s\n", Join(e.trouble, "; ").c_str());
          break;
      }
    }
    std::printf("%s: %s equal, %s changed, %s added, %s removed, %s\n",
                Plural(entries.size(), "image", "images").c_str(), Grouped(totals.equal).c_str(),
                Grouped(totals.changed).c_str(), Grouped(totals.added).c_str(), Grouped(totals.removed).c_str(),
                Plural(totals.errors, "error", "errors").c_str());
  }
  if (trouble) return kTrouble;
  return totals.changed + totals.added + totals.removed > 0 ? kDifferent : kEqual;
}

}  // namespace diffmark::cli
