#include "cli/json.h"

#include <cstdio>
#include <cstdlib>

#include "compare/modes.h"

namespace diffmark::cli {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string BoxJson(const Stats& s) {
  if (s.differentPixels == 0) return "null";
  return "{\"x\": " + std::to_string(s.minX) + ", \"y\": " + std::to_string(s.minY) +
         ", \"width\": " + std::to_string(int64_t{s.maxX} - s.minX + 1) +
         ", \"height\": " + std::to_string(int64_t{s.maxY} - s.minY + 1) + "}";
}

std::string ClusterJson(const Cluster& c) {
  if (c.pixels == 0) return "null";
  return "{\"pixels\": " + std::to_string(c.pixels) + ", \"x\": " + std::to_string(c.minX) +
         ", \"y\": " + std::to_string(c.minY) + ", \"width\": " + std::to_string(int64_t{c.maxX} - c.minX + 1) +
         ", \"height\": " + std::to_string(int64_t{c.maxY} - c.minY + 1) + "}";
}

namespace {

std::string RegionsJson(const std::vector<Region>& regions) {
  std::string out = "[";
  for (size_t i = 0; i < regions.size(); ++i) {
    const Region& g = regions[i];
    if (i > 0) out += ", ";
    out += "{\"x\": " + std::to_string(g.x) + ", \"y\": " + std::to_string(g.y) +
           ", \"width\": " + std::to_string(g.width) + ", \"height\": " + std::to_string(g.height) + "}";
  }
  return out + "]";
}

// "[a, b]", or null when not `known`.
std::string SizeJson(int32_t width, int32_t height, bool known) {
  if (!known) return "null";
  // Built a step at a time: GCC 12 warns falsely (-Wrestrict) about
  // "[" + std::to_string(...) in the Windows build.
  std::string out = "[";
  out += std::to_string(width);
  out += ", ";
  out += std::to_string(height);
  out += "]";
  return out;
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i > 0 ? separator : "") + parts[i];
  return out;
}

std::string ThresholdJson(const CompareOptions& o) {
  if (InfoOf(o.metric).wholeThreshold) return std::to_string(o.threshold);
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", o.perceptualThreshold);
  // The shortest form that reads back the same number.
  for (int digits = 1; digits <= 17; ++digits) {
    char shorter[32];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, o.perceptualThreshold);
    if (std::strtod(shorter, nullptr) == o.perceptualThreshold) return shorter;
  }
  return text;
}

std::string RatioJson(double r) {
  for (int digits = 1; digits <= 17; ++digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*g", digits, r);
    if (std::strtod(text, nullptr) == r) return text;
  }
  return "0";
}

std::string ToleranceJson(const Options& o) {
  return ", \"max_diff_pixels\": " + (o.maxDiffPixels ? std::to_string(*o.maxDiffPixels) : std::string("null")) +
         ", \"max_diff_ratio\": " + (o.maxDiffRatio ? RatioJson(*o.maxDiffRatio) : std::string("null")) +
         ", \"max_cluster_pixels\": " +
         (o.maxClusterPixels ? std::to_string(*o.maxClusterPixels) : std::string("null"));
}

bool SizesDiffer(const PairResult& r) { return r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight; }

std::string EntryJson(const FolderEntry& e, const Options& options) {
  const PairResult& r = e.result;
  const Stats& s = r.stats;
  return "{\"path\": " + JsonString(e.path) + ", \"status\": \"" + StatusName(e.status) + "\"" +
         ", \"identical\": " + (r.identical ? "true" : "false") +
         ", \"base_size\": " + SizeJson(r.baseWidth, r.baseHeight, r.baseLoaded && r.sizesKnown) +
         ", \"other_size\": " + SizeJson(r.otherWidth, r.otherHeight, r.otherLoaded && r.sizesKnown) +
         ", \"pixels\": " + (r.compared && r.sizesKnown ? std::to_string(s.pixels) : "null") +
         ", \"different_pixels\": " + (r.compared ? std::to_string(s.differentPixels) : "null") +
         ", \"different_bytes\": " + (r.compared ? std::to_string(s.differentBytes) : "null") +
         ", \"antialiased_pixels\": " + (r.compared ? std::to_string(s.antialiasedPixels) : "null") +
         ", \"bbox\": " + (r.compared ? BoxJson(s) : "null") +
         ", \"largest_cluster\": " + (r.compared ? ClusterJson(s.largest) : "null") +
         ", \"passed\": " + (r.compared ? (Passes(s, SizesDiffer(r), options) ? "true" : "false") : "null") +
         ", \"output\": " + (r.output.empty() ? "null" : JsonString(r.output)) +
         ", \"error\": " + (e.trouble.empty() ? "null" : JsonString(Join(e.trouble, "; "))) + "}";
}

std::string TotalsJson(const FolderTotals& t) {
  return "{\"equal\": " + std::to_string(t.equal) + ", \"changed\": " + std::to_string(t.changed) +
         ", \"added\": " + std::to_string(t.added) + ", \"removed\": " + std::to_string(t.removed) +
         ", \"errors\": " + std::to_string(t.errors) + "}";
}

std::string ColourJson(const uint8_t bgr[3]) {
  std::string out = "[";
  out += std::to_string(bgr[2]);
  out += ", ";
  out += std::to_string(bgr[1]);
  out += ", ";
  out += std::to_string(bgr[0]);
  out += "]";
  return out;
}

std::string SecondsJson(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", seconds < 0 ? 0.0 : seconds);
  return text;
}

}  // namespace

std::string PairJson(const PairResult& r, const Options& cli) {
  const CompareOptions& options = cli.compare;
  const Stats& s = r.stats;
  // The extent compared: both pictures laid at the top-left corner.
  const int32_t width = r.baseWidth > r.otherWidth ? r.baseWidth : r.otherWidth;
  const int32_t height = r.baseHeight > r.otherHeight ? r.baseHeight : r.otherHeight;
  const bool known = r.sizesKnown;
  return "{\"base\": " + JsonString(r.base) + ", \"other\": " + JsonString(r.other) +
         ", \"width\": " + (known ? std::to_string(width) : "null") +
         ", \"height\": " + (known ? std::to_string(height) : "null") +
         ", \"base_size\": " + SizeJson(r.baseWidth, r.baseHeight, known) +
         ", \"other_size\": " + SizeJson(r.otherWidth, r.otherHeight, known) +
         ", \"size_differs\": " +
         (r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight ? "true" : "false") +
         ", \"identical\": " + (r.identical ? "true" : "false") +
         ", \"pixels\": " + (known ? std::to_string(s.pixels) : "null") +
         ", \"different_pixels\": " + std::to_string(s.differentPixels) +
         ", \"different_bytes\": " + std::to_string(s.differentBytes) + ", \"per_channel\": {\"red\": " +
         std::to_string(s.perChannel[2]) + ", \"green\": " + std::to_string(s.perChannel[1]) +
         ", \"blue\": " + std::to_string(s.perChannel[0]) + "}, \"antialiased_pixels\": " +
         std::to_string(s.antialiasedPixels) + ", \"bbox\": " + BoxJson(s) +
         ", \"largest_cluster\": " + ClusterJson(s.largest) + ", \"metric\": " + JsonString(InfoOf(options.metric).name) + ", \"mode\": " +
         JsonString(InfoOf(options.mode).name) + ", \"threshold\": " + ThresholdJson(options) +
         ", \"antialiasing\": " + (options.antialiasing ? "true" : "false") +
         ", \"ignored\": " + RegionsJson(options.ignore) + ToleranceJson(cli) +
         ", \"passed\": " + (Passes(s, SizesDiffer(r), cli) ? "true" : "false") +
         ", \"output\": " + (r.output.empty() ? "null" : JsonString(r.output)) + "}";
}

std::string FoldersJson(const Options& options, const FolderTotals& totals, const std::vector<FolderEntry>& entries,
                        const std::vector<std::string>& problems, double seconds) {
  const CompareOptions& c = options.compare;
  const auto pathOrNull = [](const std::string& path) { return path.empty() ? std::string("null") : JsonString(path); };
  std::string out = "{\"base\": " + JsonString(options.base) + ", \"other\": " + JsonString(options.other) +
                    ", \"output\": " + pathOrNull(options.output) + ", \"report\": " + pathOrNull(options.report) +
                    ", \"junit\": " + pathOrNull(options.junit) +
                    ", \"metric\": " + JsonString(InfoOf(c.metric).name) +
                    ", \"mode\": " + JsonString(InfoOf(c.mode).name) + ", \"threshold\": " + ThresholdJson(c) +
                    ", \"antialiasing\": " + (c.antialiasing ? "true" : "false") +
                    ", \"color\": " + ColourJson(c.colour) + ", \"aa_color\": " + ColourJson(c.aaColour) +
                    ", \"alpha\": " + RatioJson(c.alpha) + ", \"ignored\": " + RegionsJson(c.ignore) +
                    ToleranceJson(options) + ", \"shard\": " +
                    SizeJson(static_cast<int32_t>(options.shardIndex), static_cast<int32_t>(options.shardCount),
                             options.shardCount > 0) +
                    ",\n \"totals\": " + TotalsJson(totals) + ",\n \"problems\": [";
  for (size_t i = 0; i < problems.size(); ++i) out += (i > 0 ? ", " : "") + JsonString(problems[i]);
  out += "],\n \"pairs\": [";
  for (size_t i = 0; i < entries.size(); ++i) out += (i > 0 ? ",\n  " : "\n  ") + EntryJson(entries[i], options);
  out += entries.empty() ? "]" : "\n ]";
  // A shard's timings, for the JUnit file `merge` writes; left out of every
  // other run, whose output stays the same from run to run.
  if (options.shardCount > 0) {
    out += ",\n \"timings\": {\"seconds\": " + SecondsJson(seconds) + ", \"pairs\": [";
    for (size_t i = 0; i < entries.size(); ++i) out += (i > 0 ? ", " : "") + SecondsJson(entries[i].seconds);
    out += "]}";
  }
  return out + "}\n";
}

}  // namespace diffmark::cli
