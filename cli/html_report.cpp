#include "cli/html_report.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "cli/json.h"
#include "cli/report_page.h"
#include "cli/text.h"
#include "compare/modes.h"
#include "platform/platform.h"

namespace diffmark::cli {

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name of the report without ".html" / ".htm" (any letter case).
std::string Stem(const std::string& name) {
  for (const char* ext : {".html", ".htm"}) {
    const size_t n = std::char_traits<char>::length(ext);
    if (name.size() > n) {
      bool same = true;
      for (size_t i = 0; i < n; ++i) {
        char c = name[name.size() - n + i];
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        same = same && c == ext[i];
      }
      if (same) return name.substr(0, name.size() - n);
    }
  }
  return name;
}

std::string Html(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The share of pixels that changed: what the page sorts by.  A file on one
// side only changed completely.
double ChangedShare(const FolderEntry& e) {
  if (e.status != PairStatus::Changed) return 1.0;
  const Stats& s = e.result.stats;
  return s.pixels > 0 ? static_cast<double>(s.differentPixels) / static_cast<double>(s.pixels) : 1.0;
}

std::string Percent(const Stats& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f",
                s.pixels > 0 ? 100.0 * static_cast<double>(s.differentPixels) / static_cast<double>(s.pixels) : 0.0);
  return text;
}

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  return platform::ReplaceFileWith(path, text.data(), text.size(), error);
}

// The settings of the run, in words.
std::string Settings(const Options& options) {
  const CompareOptions& c = options.compare;
  std::string text = std::string("metric ") + InfoOf(c.metric).name + ", mode " + InfoOf(c.mode).name;
  if (InfoOf(c.metric).wholeThreshold) {
    text += ", threshold " + std::to_string(c.threshold);
  } else {
    char t[32];
    std::snprintf(t, sizeof t, "%g", c.perceptualThreshold);
    text += std::string(", threshold ") + t;
  }
  if (c.antialiasing) text += ", anti-aliased pixels left out";
  if (options.maxDiffPixels) text += ", passing within " + Grouped(*options.maxDiffPixels) + " pixels";
  if (options.maxClusterPixels) {
    text += ", passing while no group of touching pixels is over " + Grouped(*options.maxClusterPixels);
  }
  if (options.maxDiffRatio) {
    char t[32];
    std::snprintf(t, sizeof t, "%g", *options.maxDiffRatio);
    text += std::string(", passing within a ratio of ") + t;
  }
  for (const Region& r : c.ignore) {
    text += ", ignoring x " + std::to_string(r.x) + ", y " + std::to_string(r.y) + ", " + std::to_string(r.width) +
            " \u00d7 " + std::to_string(r.height);
  }
  return text;
}

bool SizesDiffer(const PairResult& r) { return r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight; }

// The line under a pair's name (HTML).
std::string Counts(const FolderEntry& e, const Options& options) {
  const PairResult& r = e.result;
  switch (e.status) {
    case PairStatus::Added:
      return "only in the other folder";
    case PairStatus::Removed:
      return "only in the base folder";
    case PairStatus::Error: {
      // One line, as the summary, the JSON and the JUnit file give it.
      std::string text;
      for (size_t i = 0; i < e.trouble.size(); ++i) text += (i > 0 ? "; " : "") + e.trouble[i];
      return "<span class=\"reason\">" + Html(text) + "</span>";
    }
    case PairStatus::Equal:
      return "equal";
    case PairStatus::Changed:
      break;
  }
  const Stats& s = r.stats;
  std::string out;
  if (SizesDiffer(r)) {
    out += "sizes differ (" + std::to_string(r.baseWidth) + " &times; " + std::to_string(r.baseHeight) + " and " +
           std::to_string(r.otherWidth) + " &times; " + std::to_string(r.otherHeight) + "); ";
  }
  out += "<strong>" + Grouped(s.differentPixels) + "</strong> of " + Grouped(s.pixels) + " pixels differ (" +
         Percent(s) + " %), " + Grouped(s.differentBytes) + " channel bytes; in x " + std::to_string(s.minX) +
         "&ndash;" + std::to_string(s.maxX) + ", y " + std::to_string(s.minY) + "&ndash;" + std::to_string(s.maxY);
  if (options.compare.antialiasing) out += "; " + Grouped(s.antialiasedPixels) + " anti-aliased pixels left out";
  if (Passes(s, SizesDiffer(r), options)) out += " (within tolerance)";
  return out;
}

// JSON that can stand inside a <script> element: no "<" (so no
// "</script>" or "<!--"), ">" or "&" left as they are.
std::string ScriptSafe(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (const char c : json) {
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else {
      out += c;
    }
  }
  return out;
}

std::string SideJson(const std::string& picture, int32_t width, int32_t height, bool loaded,
                     const Fingerprint& file, bool fingerprinted) {
  if (!loaded && !fingerprinted) return "null";
  std::string out = "{\"picture\": " + (picture.empty() ? std::string("null") : JsonString(picture));
  out += ", \"width\": " + std::to_string(width) + ", \"height\": " + std::to_string(height);
  if (fingerprinted) out += ", \"bytes\": " + std::to_string(file.bytes) + ", \"fnv1a64\": \"" + HexOf(file.fnv1a64) + "\"";
  return out + "}";
}

// What the page's script needs, as one JSON object.
std::string PageData(const std::string& path, const Options& options, const std::vector<FolderEntry>& entries) {
  std::string out = "{\"base\": " + JsonString(options.base) + ", \"other\": " + JsonString(options.other) +
                    ", \"folder\": " + JsonString(BaseName(ReportImageFolder(path))) +
                    ", \"antialiasing\": " + (options.compare.antialiasing ? "true" : "false") + ", \"ignored\": [";
  for (size_t i = 0; i < options.compare.ignore.size(); ++i) {
    const Region& g = options.compare.ignore[i];
    out += (i > 0 ? ", " : "") + std::string("{\"x\": ") + std::to_string(g.x) + ", \"y\": " + std::to_string(g.y) +
           ", \"width\": " + std::to_string(g.width) + ", \"height\": " + std::to_string(g.height) + "}";
  }
  out += "],\n\"pairs\": [";
  for (size_t i = 0; i < entries.size(); ++i) {
    const FolderEntry& e = entries[i];
    const PairResult& r = e.result;
    const Stats& s = r.stats;
    const bool shown = e.status != PairStatus::Error && e.status != PairStatus::Equal;
    out += i > 0 ? ",\n" : "\n";
    out += "{\"path\": " + JsonString(e.path) + ", \"status\": \"" + StatusName(e.status) + "\"";
    out += ", \"base\": " + (shown ? SideJson(e.shownBase, r.baseWidth, r.baseHeight, !e.shownBase.empty(), e.baseFile,
                                              e.baseFingerprinted)
                                   : std::string("null"));
    out += ", \"other\": " + (shown ? SideJson(e.shownOther, r.otherWidth, r.otherHeight, !e.shownOther.empty(),
                                               e.otherFile, e.otherFingerprinted)
                                    : std::string("null"));
    out += ", \"marked\": " + (shown && !e.shownMarked.empty()
                                   ? SideJson(e.shownMarked, r.baseWidth, r.baseHeight, true, e.baseFile, false)
                                   : std::string("null"));
    if (r.compared) {
      out += ", \"pixels\": " + std::to_string(s.pixels) + ", \"different_pixels\": " +
             std::to_string(s.differentPixels) + ", \"antialiased_pixels\": " + std::to_string(s.antialiasedPixels) +
             ", \"bbox\": " + BoxJson(s) + ", \"passed\": " + (Passes(s, SizesDiffer(r), options) ? "true" : "false");
    } else {
      out += ", \"bbox\": null";
    }
    if (!e.shownProblem.empty()) out += ", \"problem\": " + JsonString(e.shownProblem);
    out += "}";
  }
  return ScriptSafe(out + "\n]}");
}

}  // namespace

namespace {

// "0001-base.png", "0012-marked.bmp": a name the report gives its pictures.
bool IsReportPictureName(const std::string& name) {
  size_t digits = 0;
  while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
  if (digits < 4 || digits >= name.size() || name[digits] != '-') return false;
  const std::string rest = name.substr(digits + 1);
  for (const char* role : {"base", "other", "marked"}) {
    for (const char* ext : {".png", ".bmp"}) {
      if (rest == std::string(role) + ext) return true;
    }
  }
  return false;
}

}  // namespace

void RemoveEarlierPictures(const std::string& folder, std::vector<std::string>* problems) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code kindError;
    if (!it->is_regular_file(kindError) || !IsReportPictureName(it->path().filename().string())) continue;
    std::error_code removeError;
    if (!std::filesystem::remove(it->path(), removeError)) {
      problems->push_back(it->path().string() + ": an earlier run's picture cannot be removed (" +
                          removeError.message() + ")");
    }
  }
}

std::string ReportImageFolder(const std::string& reportPath) {
  const size_t slash = reportPath.find_last_of("/\\");
  const std::string dir = slash == std::string::npos ? "" : reportPath.substr(0, slash + 1);
  return dir + Stem(BaseName(reportPath)) + "_files";
}

bool WriteHtmlReport(const std::string& path, const Options& options, const std::vector<FolderEntry>& entries,
                     std::string* error) {
  const FolderTotals totals = CountStatuses(entries);
  std::string out;

  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  out += "<title>diffmark: " + Html(options.base) + " against " + Html(options.other) + "</title>\n";
  out += "<style>" + std::string(kReportStyle) + "</style>\n</head>\n<body>\n<header>\n";
  out += "<h1>diffmark report</h1>\n";
  out += "<p class=\"where\"><code>" + Html(options.base) + "</code> (base) against <code>" + Html(options.other) +
         "</code> (other)" +
         (options.output.empty() ? std::string() : ", marked copies in <code>" + Html(options.output) + "</code>") +
         "</p>\n";
  out += "<p class=\"settings\">" + Html(Settings(options)) + "</p>\n";

  // The summary: one figure per status, each marked for programs that read the page.
  out += "<ul class=\"totals\" id=\"summary\">\n";
  const std::pair<const char*, uint64_t> figures[] = {{"equal", totals.equal},
                                                      {"changed", totals.changed},
                                                      {"added", totals.added},
                                                      {"removed", totals.removed},
                                                      {"errors", totals.errors}};
  for (const auto& [name, count] : figures) {
    out += "<li class=\"" + std::string(name) + "\"><a href=\"#group-" + name + "\"><span class=\"count\" data-total=\"" +
           name + "\">" + std::to_string(count) + "</span>" + name + "</a></li>\n";
  }
  out += "</ul>\n</header>\n";
  out += "<div class=\"bar\"><input type=\"search\" id=\"filter\" placeholder=\"filter by name\" "
         "aria-label=\"filter by name\" autocomplete=\"off\"><span id=\"shown\"></span>"
         "<button type=\"button\" id=\"export\" disabled>export approvals.json (<span id=\"accepted-count\">0</span> "
         "accepted)</button><span class=\"keys\"><kbd>j</kbd>/<kbd>k</kbd> next/previous, <kbd>1</kbd>&ndash;<kbd>5</kbd> "
         "view, <kbd>t</kbd> toggle, <kbd>a</kbd> accept, <kbd>/</kbd> filter</span></div>\n";
  out += "<main>\n<noscript><p class=\"problems\">The pictures and views of this page need JavaScript.</p></noscript>\n";

  // What could not be compared or shown.
  std::vector<std::string> problems;
  for (const FolderEntry& e : entries) {
    if (!e.shownProblem.empty()) problems.push_back(e.shownProblem + " (not shown)");
    for (const std::string& t : e.reportTrouble) problems.push_back(t);
  }
  if (!problems.empty()) {
    out += "<section class=\"problems\"><h2>Not shown</h2><ul>\n";
    for (const std::string& p : problems) out += "<li><code>" + Html(p) + "</code></li>\n";
    out += "</ul></section>\n";
  }

  // The groups: changed (the most changed first), added, removed, errors,
  // then the equal ones folded away.
  std::vector<size_t> order(entries.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return ChangedShare(entries[a]) > ChangedShare(entries[b]);  // entries come in path order: ties stay so
  });
  const std::pair<PairStatus, const char*> groups[] = {{PairStatus::Changed, "Changed"},
                                                       {PairStatus::Added, "Added"},
                                                       {PairStatus::Removed, "Removed"},
                                                       {PairStatus::Error, "Not compared"}};
  for (const auto& [status, title] : groups) {
    const std::string group = status == PairStatus::Error ? "errors" : StatusName(status);
    uint64_t count = 0;
    for (const FolderEntry& e : entries) count += e.status == status ? 1 : 0;
    if (count == 0) continue;
    out += "<h2 class=\"group\" id=\"group-" + group + "\">" + title + " (" + std::to_string(count) + ")</h2>\n";
    for (const size_t i : order) {
      const FolderEntry& e = entries[i];
      if (e.status != status) continue;
      out += "<article class=\"pair " + std::string(StatusName(e.status)) + "\" id=\"" + Html(e.path) +
             "\" data-i=\"" + std::to_string(i) + "\">\n<h2><span class=\"status\">" + StatusName(e.status) +
             "</span><code>" + Html(e.path) + "</code><span class=\"ok\">accepted</span></h2>\n<p class=\"counts\">" +
             Counts(e, options) + "</p>\n";
      if (e.status != PairStatus::Error) out += "<div class=\"viewer\"></div>\n";
      out += "</article>\n";
    }
  }
  if (totals.changed + totals.added + totals.removed + totals.errors == 0) {
    out += "<p class=\"none\">Nothing changed, nothing added or removed.</p>\n";
  }
  if (totals.equal > 0) {
    out += "<details class=\"group\" id=\"group-equal\"><summary>Equal (" + std::to_string(totals.equal) +
           ")</summary>\n<ul class=\"equal-list\">\n";
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].status != PairStatus::Equal) continue;
      out += "<li class=\"pair equal\" id=\"" + Html(entries[i].path) + "\" data-i=\"" + std::to_string(i) +
             "\"><code>" + Html(entries[i].path) + "</code></li>\n";
    }
    out += "</ul></details>\n";
  }
  out += "</main>\n<footer>" + std::to_string(entries.size()) +
         " images compared; click a picture to open it at full size.</footer>\n";
  out += "<script type=\"application/json\" id=\"diffmark-data\">" + PageData(path, options, entries) + "</script>\n";
  out += "<script>" + std::string(kReportScript) + "</script>\n</body>\n</html>\n";
  return WriteText(path, out, error);
}

}  // namespace diffmark::cli
