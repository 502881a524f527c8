#include "cli/report.h"

#include <cstdio>

namespace diffmark::cli {

std::string Grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
    out += digits[i];
  }
  return out;
}

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::Channels:
      return "channels";
    case Mode::Pixels:
      return "pixels";
    case Mode::Mask:
      return "mask";
  }
  return "channels";
}

std::string SummaryLine(const PairResult& r) {
  const Stats& s = r.stats;
  std::string line;
  if (r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight) {
    line += "sizes differ (" + std::to_string(r.baseWidth) + " x " + std::to_string(r.baseHeight) + " and " +
            std::to_string(r.otherWidth) + " x " + std::to_string(r.otherHeight) + "); ";
  }
  if (s.differentPixels == 0) {
    return line + "no pixel differs (" + Grouped(s.pixels) + " pixels compared)";
  }
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.3f",
                s.pixels > 0 ? 100.0 * static_cast<double>(s.differentPixels) / static_cast<double>(s.pixels) : 0.0);
  line += Grouped(s.differentPixels) + " of " + Grouped(s.pixels) + " pixels differ (" + percent + " %), " +
          Grouped(s.differentBytes) + " channel byte" + (s.differentBytes == 1 ? "" : "s") + "; in x " +
          std::to_string(s.minX) + "\u2013" + std::to_string(s.maxX) + ", y " + std::to_string(s.minY) +
          "\u2013" + std::to_string(s.maxY);
  return line;
}

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

std::string PairJson(const PairResult& r, const CompareOptions& options) {
  const Stats& s = r.stats;
  const int32_t width = r.baseWidth < r.otherWidth ? r.baseWidth : r.otherWidth;
  const int32_t height = r.baseHeight < r.otherHeight ? r.baseHeight : r.otherHeight;
  std::string ignored = "[";
  for (size_t i = 0; i < options.ignore.size(); ++i) {
    const Region& g = options.ignore[i];
    if (i > 0) ignored += ", ";
    ignored += "{\"x\": " + std::to_string(g.x) + ", \"y\": " + std::to_string(g.y) +
               ", \"width\": " + std::to_string(g.width) + ", \"height\": " + std::to_string(g.height) + "}";
  }
  ignored += "]";
  return "{\"base\": " + JsonString(r.base) + ", \"other\": " + JsonString(r.other) +
         ", \"width\": " + std::to_string(width) + ", \"height\": " + std::to_string(height) +
         ", \"base_size\": [" + std::to_string(r.baseWidth) + ", " + std::to_string(r.baseHeight) + "]" +
         ", \"other_size\": [" + std::to_string(r.otherWidth) + ", " + std::to_string(r.otherHeight) + "]" +
         ", \"size_differs\": " +
         (r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight ? "true" : "false") +
         ", \"pixels\": " + std::to_string(s.pixels) + ", \"different_pixels\": " + std::to_string(s.differentPixels) +
         ", \"different_bytes\": " + std::to_string(s.differentBytes) + ", \"per_channel\": {\"red\": " +
         std::to_string(s.perChannel[2]) + ", \"green\": " + std::to_string(s.perChannel[1]) +
         ", \"blue\": " + std::to_string(s.perChannel[0]) + "}, \"bbox\": " + BoxJson(s) + ", \"mode\": " +
         JsonString(ModeName(options.mode)) + ", \"threshold\": " + std::to_string(options.threshold) +
         ", \"ignored\": " + ignored + ", \"output\": " + (r.output.empty() ? "null" : JsonString(r.output)) +
         "}";
}

}  // namespace diffmark::cli
