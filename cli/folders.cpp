// Two folders at once.  The main thread lists both trees, pairs the files
// and starts the workers; each worker takes the next relative path,
// compares the pair through the comparison core and writes its files, and
// keeps what it found in that path's entry.  Only the main thread prints,
// after every worker is done, in path order: what a run prints and writes
// does not depend on the number of workers or on which of them finished
// first.
//
// The library is shared by the workers: the plug-in table was filled
// before they start and is only read; palettes and failure reasons are
// per thread; blocks may be allocated and freed on any thread.
#include "cli/folders.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>

#include "cli/exit.h"
#include "cli/html_report.h"
#include "cli/json.h"
#include "cli/junit.h"
#include "cli/output.h"
#include "cli/plugins.h"
#include "cli/text.h"
#include "cli/tree.h"
#include "cli/workers.h"
#include "compare/load.h"
#include <diffmark/imageload.h>
#include "platform/platform.h"

namespace diffmark::cli {

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

// What every worker shares, read only.
struct Job {
  const Options& options;
  std::string outputDir;  // empty: no marked copies
  std::string reportDir;  // the report's image folder; empty: no report
  OutputFormat shownFormat = OutputFormat::Png;
};

// Writes one picture of the report; its name goes to `shown`.
void Show(const Job& job, FolderEntry& entry, const Picture& picture, const std::string& name, std::string* shown) {
  const std::string path = JoinRelative(job.reportDir, name);
  std::string error;
  if (!WritePicture(path, OutputOf(path, job.shownFormat), picture, nullptr, &error)) {
    entry.reportTrouble.push_back(path + ": " + error);
    return;
  }
  *shown = name;
}

std::string ShownName(size_t index, const char* role, OutputFormat format) {
  char name[64];
  std::snprintf(name, sizeof name, "%04zu-%s.%s", index + 1, role, format == OutputFormat::Png ? "png" : "bmp");
  return name;
}

// One side only: in the report it is shown, when it can be loaded.
void WorkOnOneSide(const Job& job, FolderEntry& entry, size_t index) {
  if (job.reportDir.empty()) return;
  const bool base = entry.inBase;
  const std::string file = JoinRelative(base ? job.options.base : job.options.other, entry.path);
  LoadedImage image;
  std::string error;
  if (!LoadPicture(file, &image, &error)) {
    entry.shownProblem = file + ": " + error;
    return;
  }
  PairResult& r = entry.result;
  (base ? r.baseLoaded : r.otherLoaded) = true;
  (base ? r.baseWidth : r.otherWidth) = image.picture.width;
  (base ? r.baseHeight : r.otherHeight) = image.picture.height;
  Show(job, entry, image.picture, ShownName(index, base ? "base" : "other", job.shownFormat),
       base ? &entry.shownBase : &entry.shownOther);
}

void WorkOnPair(const Job& job, FolderEntry& entry, size_t index) {
  PairRequest request;
  request.base = JoinRelative(job.options.base, entry.path);
  request.other = JoinRelative(job.options.other, entry.path);
  request.loadAtOnce = false;  // the workers keep the processors busy
  request.threads = 1;
  if (!job.outputDir.empty()) {
    const std::string path = JoinRelative(job.outputDir, MarkedCopyName(entry.path));
    OutputFormat format = OutputFormat::Bmp;
    if (!OutputFormatOf(path, &format)) {
      entry.trouble.push_back(path + ": unknown output format");
      entry.status = PairStatus::Error;
      return;
    }
    request.output = OutputOf(path, format);
    request.output.onlyWhenDifferent = true;
  }

  // The report shows the base as it was: its rows are kept before marking.
  std::vector<uint8_t> unmarkedRows;
  Picture unmarked;
  PairObserver observer;
  if (!job.reportDir.empty()) {
    observer.loaded = [&](const Picture& base, const Picture&) {
      unmarked = base;
      const auto bytes = static_cast<size_t>(base.stride) * static_cast<size_t>(base.height);
      unmarkedRows.assign(base.rows, base.rows + bytes);
      unmarked.rows = unmarkedRows.data();
    };
    observer.compared = [&](const Picture& marked, const Picture& other, const Stats& stats) {
      if (stats.differentPixels == 0) return;
      Show(job, entry, unmarked, ShownName(index, "base", job.shownFormat), &entry.shownBase);
      Show(job, entry, other, ShownName(index, "other", job.shownFormat), &entry.shownOther);
      Show(job, entry, marked, ShownName(index, "marked", job.shownFormat), &entry.shownMarked);
    };
    request.observer = &observer;
  }

  entry.result = ComparePair(request, job.options.compare);
  const PairResult& r = entry.result;
  const std::vector<std::string>& folders = job.options.pluginFolders;
  if (!r.baseError.empty()) entry.trouble.push_back(r.base + ": " + WithSearchedFolders(r.baseError, folders));
  if (!r.otherError.empty()) entry.trouble.push_back(r.other + ": " + WithSearchedFolders(r.otherError, folders));
  if (!r.outputError.empty()) entry.trouble.push_back(request.output.path + ": " + r.outputError);
  if (!entry.trouble.empty()) {
    entry.status = PairStatus::Error;
  } else {
    entry.status = r.stats.differentPixels > 0 ? PairStatus::Changed : PairStatus::Equal;
  }
}

// The report records the size and hash of each file it shows, read
// apart from the comparison (the plug-ins read the files their own way).
void Fingerprints(const Job& job, FolderEntry& entry) {
  if (job.reportDir.empty() || entry.status == PairStatus::Equal || entry.status == PairStatus::Error) return;
  std::string error;
  if (entry.inBase) {
    entry.baseFingerprinted = FingerprintFile(JoinRelative(job.options.base, entry.path), &entry.baseFile, &error);
  }
  if (entry.inOther) {
    entry.otherFingerprinted = FingerprintFile(JoinRelative(job.options.other, entry.path), &entry.otherFile, &error);
  }
}

void Work(const Job& job, FolderEntry& entry, size_t index) {
  if (entry.inBase && entry.inOther) {
    WorkOnPair(job, entry, index);
    Fingerprints(job, entry);
    return;
  }
  entry.status = entry.inBase ? PairStatus::Removed : PairStatus::Added;
  if (!HasReader(entry.path)) {
    // Added or removed, it is an image no plug-in here reads: trouble, so
    // that a run without its plug-ins is never taken for a good one.
    const std::string file = JoinRelative(entry.inBase ? job.options.base : job.options.other, entry.path);
    char ext[kMaxPath];
    GetExtension(entry.path.c_str(), ext);
    entry.trouble.push_back(
        file + ": " + WithSearchedFolders("no plug-in for extension \"" + std::string(ext) + "\"",
                                          job.options.pluginFolders));
    entry.status = PairStatus::Error;
    return;
  }
  WorkOnOneSide(job, entry, index);
  Fingerprints(job, entry);
}

bool MakeFolder(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path), ec);
  if (ec || platform::KindOfPath(path.c_str()) != platform::PathKind::Directory) {
    const bool isFile = platform::KindOfPath(path.c_str()) != platform::PathKind::Missing;
    std::fprintf(stderr, "%s: %s\n", path.c_str(),
                 isFile ? "is not a folder" : ("cannot be created (" + ec.message() + ")").c_str());
    return false;
  }
  return true;
}

bool SizesDiffer(const PairResult& r) { return r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight; }

void PrintText(const Options& options, const std::vector<FolderEntry>& entries, const FolderTotals& totals) {
  for (const FolderEntry& e : entries) {
    switch (e.status) {
      case PairStatus::Equal:
        break;
      case PairStatus::Changed:
        std::printf("changed  %s: %s%s\n", e.path.c_str(),
                    SummaryLine(e.result, options.maxClusterPixels.has_value()).c_str(),
                    Passes(e.result.stats, SizesDiffer(e.result), options) ? " (within tolerance)" : "");
        break;
      case PairStatus::Added:
      case PairStatus::Removed:
        std::printf("%-8s %s\n", StatusName(e.status), e.path.c_str());
        break;
      case PairStatus::Error: {
        // The trouble lines name the file (of either side, or the copy).
        std::string joined;
        for (size_t i = 0; i < e.trouble.size(); ++i) joined += (i > 0 ? "; " : "") + e.trouble[i];
        std::printf("error    %s\n", joined.c_str());
        break;
      }
    }
  }
  std::printf("%s: %s equal, %s changed, %s added, %s removed, %s\n",
              Plural(entries.size(), "image", "images").c_str(), Grouped(totals.equal).c_str(),
              Grouped(totals.changed).c_str(), Grouped(totals.added).c_str(), Grouped(totals.removed).c_str(),
              Plural(totals.errors, "error", "errors").c_str());
}

}  // namespace

int CompareFolders(const Options& options) {
  const auto started = std::chrono::steady_clock::now();
  Job job{options, options.output, {}, CanWritePng() ? OutputFormat::Png : OutputFormat::Bmp};
  if (!options.output.empty() && !MakeFolder(options.output)) return kTrouble;
  std::vector<std::string> problems;
  if (!options.report.empty()) {
    job.reportDir = ReportImageFolder(options.report);
    if (!MakeFolder(job.reportDir)) return kTrouble;
    RemoveEarlierPictures(job.reportDir, &problems);
  }

  // The program's own output inside an input folder is not an input.
  std::vector<std::string> skip;
  if (!job.outputDir.empty()) skip.push_back(CanonicalPath(job.outputDir));
  if (!job.reportDir.empty()) skip.push_back(CanonicalPath(job.reportDir));
  const std::vector<std::string> baseFiles = ListImageFiles(options.base, skip, &problems);
  const std::vector<std::string> otherFiles = ListImageFiles(options.other, skip, &problems);
  if (baseFiles.empty() && otherFiles.empty()) {
    for (const std::string& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
    std::fprintf(stderr, "no images found in %s or %s\n", options.base.c_str(), options.other.c_str());
    return kTrouble;
  }
  std::vector<FolderEntry> entries;
  std::vector<PairedPath> paths = PairUp(baseFiles, otherFiles);
  for (size_t i = 0; i < paths.size(); ++i) {
    // A shard takes every N-th path of the sorted list: it depends on the
    // two trees alone, and the shards differ in size by one at most.
    if (options.shardCount > 0 && i % options.shardCount != options.shardIndex - 1) continue;
    PairedPath& p = paths[i];
    FolderEntry e;
    e.path = std::move(p.path);
    e.inBase = p.inBase;
    e.inOther = p.inOther;
    entries.push_back(std::move(e));
  }

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
  const bool progress = !options.quiet && platform::StandardErrorIsTerminal();
  RunWorkers(entries.size(), jobs, progress, [&](size_t i) {
    if (clash[i]) {
      entries[i].status = PairStatus::Error;
      entries[i].trouble.push_back(JoinRelative(job.outputDir, MarkedCopyName(entries[i].path)) +
                                   ": also the name of another file's marked copy");
      return;
    }
    const auto from = std::chrono::steady_clock::now();
    Work(job, entries[i], i);
    entries[i].seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  });

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return FinishFolderRun(options, entries, std::move(problems), seconds, options.report, options.junit);
}

int FinishFolderRun(const Options& options, const std::vector<FolderEntry>& entries, std::vector<std::string> problems,
                    double seconds, const std::string& reportPath, const std::string& junitPath) {
  const FolderTotals totals = CountStatuses(entries);
  bool trouble = !problems.empty() || totals.errors > 0;
  for (const std::string& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
  for (const FolderEntry& e : entries) {
    for (const std::string& t : e.trouble) std::fprintf(stderr, "%s\n", t.c_str());
    for (const std::string& t : e.reportTrouble) {
      std::fprintf(stderr, "%s\n", t.c_str());
      problems.push_back(t);
    }
  }
  if (!reportPath.empty()) {
    std::string error;
    if (!WriteHtmlReport(reportPath, options, entries, &error)) {
      std::fprintf(stderr, "%s: %s\n", reportPath.c_str(), error.c_str());
      problems.push_back(reportPath + ": " + error);
    }
  }
  if (!junitPath.empty()) {
    std::vector<JunitCase> cases;
    for (const FolderEntry& e : entries) cases.push_back(EntryCase(e, options));
    std::string error;
    if (!WriteJunit(junitPath, cases, seconds, &error)) {
      std::fprintf(stderr, "%s: %s\n", junitPath.c_str(), error.c_str());
      problems.push_back(junitPath + ": " + error);
    }
  }
  trouble = trouble || !problems.empty();

  if (options.json) {
    std::fputs(FoldersJson(options, totals, entries, problems, seconds).c_str(), stdout);
  } else if (!options.quiet) {
    PrintText(options, entries, totals);
  }
  if (trouble) return kTrouble;
  // Changed pairs within the tolerance pass; added and removed files never do.
  uint64_t failing = totals.added + totals.removed;
  for (const FolderEntry& e : entries) {
    if (e.status == PairStatus::Changed && !Passes(e.result.stats, SizesDiffer(e.result), options)) ++failing;
  }
  return failing > 0 ? kDifferent : kEqual;
}

}  // namespace diffmark::cli
