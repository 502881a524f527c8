#include "cli/text.h"

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

std::string Plural(uint64_t n, const char* one, const char* many) {
  return Grouped(n) + " " + (n == 1 ? one : many);
}

namespace {

// "; 1 234 pixels left out as anti-aliasing", when any were.
std::string AntialiasedText(const Stats& s) {
  if (s.antialiasedPixels == 0) return "";
  return "; " + Plural(s.antialiasedPixels, "pixel", "pixels") + " left out as anti-aliasing";
}

}  // namespace

std::string SummaryLine(const PairResult& r, bool withGroup) {
  const Stats& s = r.stats;
  std::string line;
  if (r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight) {
    line += "sizes differ (" + std::to_string(r.baseWidth) + " x " + std::to_string(r.baseHeight) + " and " +
            std::to_string(r.otherWidth) + " x " + std::to_string(r.otherHeight) + "); ";
  }
  if (r.identical && !r.sizesKnown) return "no pixel differs (identical files)";
  if (s.differentPixels == 0) {
    return line + "no pixel differs (" + (r.identical ? "identical files, " : "") + Grouped(s.pixels) +
           " pixels compared)" + AntialiasedText(s);
  }
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.3f",
                s.pixels > 0 ? 100.0 * static_cast<double>(s.differentPixels) / static_cast<double>(s.pixels) : 0.0);
  line += Grouped(s.differentPixels) + " of " + Grouped(s.pixels) + " pixels differ (" + percent + " %), " +
          Grouped(s.differentBytes) + " channel byte" + (s.differentBytes == 1 ? "" : "s") + "; in x " +
          std::to_string(s.minX) + "\u2013" + std::to_string(s.maxX) + ", y " + std::to_string(s.minY) +
          "\u2013" + std::to_string(s.maxY);
  const Cluster& g = s.largest;
  if (withGroup && g.pixels > 0) {
    line += "; largest group " + Plural(g.pixels, "pixel", "pixels") + " in x " + std::to_string(g.minX) + "\u2013" +
            std::to_string(g.maxX) + ", y " + std::to_string(g.minY) + "\u2013" + std::to_string(g.maxY);
  }
  return line + AntialiasedText(s);
}

}  // namespace diffmark::cli
