#include "cli/html_report.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

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

// A relative URL: every byte but the unreserved ones and '/' escaped.
std::string Url(const std::string& path) {
  std::string out;
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~' || c == '/') {
      out += c;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", u);
      out += escape;
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

const char* kStyle = R"(
:root { color-scheme: light; --line: #d0d4da; --muted: #5c6670; }
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: #1d232a; background: #f4f5f7; }
header, main { max-width: 1600px; margin: 0 auto; padding: 16px 24px; }
header { padding-top: 24px; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 0; font-weight: 600; word-break: break-all; }
code { font: 13px/1.4 ui-monospace, "SFMono-Regular", Menlo, Consolas, monospace; }
.where, .settings { color: var(--muted); margin: 2px 0; }
.totals { display: flex; flex-wrap: wrap; gap: 12px; margin: 16px 0 0; padding: 0; list-style: none; }
.totals li { background: #fff; border: 1px solid var(--line); border-left-width: 6px; border-radius: 6px; padding: 8px 16px; min-width: 120px; }
.totals .count { display: block; font-size: 26px; font-weight: 700; }
.equal { border-left-color: #3c9a5f !important; }
.changed { border-left-color: #d9822b !important; }
.added { border-left-color: #2f80c9 !important; }
.removed { border-left-color: #8a63d2 !important; }
.errors, .error { border-left-color: #d1453b !important; }
.problems { background: #fff; border: 1px solid var(--line); border-left: 6px solid #d1453b; border-radius: 6px; padding: 8px 16px; margin: 0 0 16px; }
.problems ul { margin: 4px 0; padding-left: 20px; }
.none { color: var(--muted); }
article { background: #fff; border: 1px solid var(--line); border-left-width: 6px; border-radius: 6px; padding: 12px 16px 16px; margin: 0 0 16px; }
.status { display: inline-block; font-size: 12px; font-weight: 700; text-transform: uppercase; letter-spacing: .04em; color: #fff; border-radius: 4px; padding: 1px 6px; margin-right: 8px; vertical-align: 2px; }
article.changed .status { background: #d9822b; }
article.added .status { background: #2f80c9; }
article.removed .status { background: #8a63d2; }
.counts { margin: 4px 0 12px; color: var(--muted); }
.sides { display: grid; grid-template-columns: repeat(3, minmax(0, 1fr)); gap: 12px; }
figure { margin: 0; }
figcaption { font-size: 13px; color: var(--muted); margin-bottom: 4px; }
figure a { display: block; border: 1px solid var(--line); background: repeating-conic-gradient(#eceef1 0 25%, #fff 0 50%) 0 0 / 16px 16px; }
figure img { display: block; max-width: 100%; height: auto; margin: 0 auto; }
figure img.small { width: 100%; image-rendering: pixelated; }
.missing { display: flex; align-items: center; justify-content: center; min-height: 120px; border: 1px dashed var(--line); color: var(--muted); }
footer { max-width: 1600px; margin: 0 auto; padding: 0 24px 24px; color: var(--muted); font-size: 13px; }
)";

struct Page {
  std::string folderLink;  // the picture folder, relative to the page
  std::string text;

  void Picture(const char* role, const std::string& name, int32_t width, int32_t height, const char* absent) {
    text += "<figure><figcaption>" + std::string(role);
    if (name.empty()) {
      text += "</figcaption><div class=\"missing\">" + std::string(absent) + "</div></figure>\n";
      return;
    }
    const std::string url = Html(Url(folderLink + "/" + name));
    const bool small = width < 240 && height < 240;
    text += " &middot; " + std::to_string(width) + " &times; " + std::to_string(height) + "</figcaption>";
    text += "<a href=\"" + url + "\" target=\"_blank\" title=\"open at full size\"><img src=\"" + url + "\" alt=\"" +
            role + "\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\"" +
            (small ? " class=\"small\"" : "") + "></a></figure>\n";
  }
};

std::string Percent(const Stats& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f",
                s.pixels > 0 ? 100.0 * static_cast<double>(s.differentPixels) / static_cast<double>(s.pixels) : 0.0);
  return text;
}

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  return platform::ReplaceFileWith(path, text.data(), text.size(), error);
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
  Page page;
  page.folderLink = BaseName(ReportImageFolder(path));
  std::string& out = page.text;

  const uint64_t shownCount = totals.changed + totals.added + totals.removed;
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  out += "<title>diffmark: " + Html(options.base) + " against " + Html(options.other) + "</title>\n";
  out += "<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n<header>\n";
  out += "<h1>diffmark report</h1>\n";
  out += "<p class=\"where\"><code>" + Html(options.base) + "</code> (base) against <code>" + Html(options.other) +
         "</code> (other)" +
         (options.output.empty() ? std::string() : ", marked copies in <code>" + Html(options.output) + "</code>") +
         "</p>\n";
  std::string settings = "mode " + std::string(InfoOf(options.compare.mode).name) + ", threshold " +
                         std::to_string(options.compare.threshold);
  for (const Region& r : options.compare.ignore) {
    settings += ", ignoring x " + std::to_string(r.x) + ", y " + std::to_string(r.y) + ", " +
                std::to_string(r.width) + " &times; " + std::to_string(r.height);
  }
  out += "<p class=\"settings\">" + settings + "</p>\n";

  // The summary: one figure per status, each marked for programs that read the page.
  out += "<ul class=\"totals\" id=\"summary\">\n";
  const std::pair<const char*, uint64_t> figures[] = {{"equal", totals.equal},
                                                      {"changed", totals.changed},
                                                      {"added", totals.added},
                                                      {"removed", totals.removed},
                                                      {"errors", totals.errors}};
  for (const auto& [name, count] : figures) {
    out += "<li class=\"" + std::string(name) + "\"><span class=\"count\" data-total=\"" + name + "\">" +
           std::to_string(count) + "</span>" + name + "</li>\n";
  }
  out += "</ul>\n</header>\n<main>\n";

  // What could not be compared or shown.
  std::vector<std::string> problems;
  for (const FolderEntry& e : entries) {
    for (const std::string& t : e.trouble) problems.push_back(t);
    if (!e.shownProblem.empty()) problems.push_back(e.shownProblem + " (not shown)");
    for (const std::string& t : e.reportTrouble) problems.push_back(t);
  }
  if (!problems.empty()) {
    out += "<section class=\"problems\"><h2>Not compared or not shown</h2><ul>\n";
    for (const std::string& p : problems) out += "<li><code>" + Html(p) + "</code></li>\n";
    out += "</ul></section>\n";
  }

  std::vector<const FolderEntry*> shown;
  for (const FolderEntry& e : entries) {
    if (e.status == PairStatus::Changed || e.status == PairStatus::Added || e.status == PairStatus::Removed) {
      shown.push_back(&e);
    }
  }
  std::stable_sort(shown.begin(), shown.end(), [](const FolderEntry* a, const FolderEntry* b) {
    return ChangedShare(*a) > ChangedShare(*b);  // entries come in path order: ties stay so
  });
  if (shown.empty()) {
    out += "<p class=\"none\">Nothing changed, nothing added or removed.</p>\n";
  }
  for (const FolderEntry* e : shown) {
    const char* status = StatusName(e->status);
    out += "<article class=\"" + std::string(status) + "\">\n<h2><span class=\"status\">" + status + "</span><code>" +
           Html(e->path) + "</code></h2>\n<p class=\"counts\">";
    const PairResult& r = e->result;
    if (e->status == PairStatus::Changed) {
      const Stats& s = r.stats;
      if (r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight) {
        out += "sizes differ (" + std::to_string(r.baseWidth) + " &times; " + std::to_string(r.baseHeight) + " and " +
               std::to_string(r.otherWidth) + " &times; " + std::to_string(r.otherHeight) + "); ";
      }
      out += "<strong>" + Grouped(s.differentPixels) + "</strong> of " + Grouped(s.pixels) + " pixels differ (" +
             Percent(s) + " %), " + Grouped(s.differentBytes) + " channel bytes; in x " + std::to_string(s.minX) +
             "&ndash;" + std::to_string(s.maxX) + ", y " + std::to_string(s.minY) + "&ndash;" +
             std::to_string(s.maxY);
    } else {
      out += e->status == PairStatus::Added ? "only in the other folder" : "only in the base folder";
    }
    out += "</p>\n<div class=\"sides\">\n";
    page.Picture("base", e->shownBase, r.baseWidth, r.baseHeight, e->inBase ? "cannot be shown" : "not in base");
    page.Picture("other", e->shownOther, r.otherWidth, r.otherHeight,
                 e->inOther ? "cannot be shown" : "not in other");
    page.Picture("marked", e->shownMarked, r.baseWidth, r.baseHeight,
                 e->status == PairStatus::Changed ? "cannot be shown" : "nothing to compare");
    out += "</div>\n</article>\n";
  }
  out += "</main>\n<footer>" + std::to_string(shownCount) + " of " + std::to_string(entries.size()) +
         " images shown; click a picture to open it at full size.</footer>\n</body>\n</html>\n";
  return WriteText(path, out, error);
}

}  // namespace diffmark::cli
