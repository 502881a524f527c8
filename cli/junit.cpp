#include "cli/junit.h"

#include <cstdio>
#include <ctime>

#include "cli/text.h"
#include "platform/platform.h"

namespace diffmark::cli {

namespace {

// The length of the UTF-8 sequence at `p` (of `left` bytes), 0 when it is
// not one XML may carry (malformed, overlong, a surrogate, U+FFFE/U+FFFF).
size_t Utf8Length(const unsigned char* p, size_t left) {
  const unsigned char c = p[0];
  size_t n = 0;
  uint32_t code = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    code = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    code = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    code = c & 0x07u;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (p[i] & 0x3Fu);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF) {
    return 0;
  }
  return n;
}

std::string Percent(const Stats& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f",
                s.pixels > 0 ? 100.0 * static_cast<double>(s.differentPixels) / static_cast<double>(s.pixels) : 0.0);
  return text;
}

// "12 of 4 096 pixels differ (0.293 %); box x 3, y 4, 8 x 6; 5 anti-aliased
// pixels left out"; the sizes first when they differ.
std::string Figures(const PairResult& r) {
  const Stats& s = r.stats;
  std::string text;
  if (r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight) {
    text += "sizes differ (" + std::to_string(r.baseWidth) + " x " + std::to_string(r.baseHeight) + " and " +
            std::to_string(r.otherWidth) + " x " + std::to_string(r.otherHeight) + "); ";
  }
  text += Grouped(s.differentPixels) + " of " + Grouped(s.pixels) + " pixels differ (" + Percent(s) + " %)";
  if (s.differentPixels > 0) {
    text += "; box x " + std::to_string(s.minX) + ", y " + std::to_string(s.minY) + ", " +
            std::to_string(int64_t{s.maxX} - s.minX + 1) + " x " + std::to_string(int64_t{s.maxY} - s.minY + 1);
  }
  text += "; " + Plural(s.antialiasedPixels, "anti-aliased pixel", "anti-aliased pixels") + " left out";
  return text;
}

bool SizesDiffer(const PairResult& r) { return r.baseWidth != r.otherWidth || r.baseHeight != r.otherHeight; }

// "nested/deeper/a.png" -> "diffmark-cli.nested.deeper": the folder as a
// package, the way reporters group classes.
std::string ClassOf(const std::string& path) {
  std::string name = "diffmark-cli";
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return name;
  name += '.';
  for (size_t i = 0; i < slash; ++i) name += path[i] == '/' ? '.' : path[i];
  return name;
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", s < 0 ? 0.0 : s);
  return text;
}

std::string Timestamp() {
  const std::time_t now = std::time(nullptr);
  const std::tm* utc = std::gmtime(&now);  // the main thread alone writes results
  char text[32] = "1970-01-01T00:00:00";
  if (utc != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
  return text;
}

}  // namespace

std::string XmlText(const std::string& text) {
  std::string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = bytes[i];
    if (c >= 0x80) {
      const size_t n = Utf8Length(bytes + i, text.size() - i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
        ++i;
      } else {
        out.append(text, i, n);
        i += n;
      }
      continue;
    }
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
        out += "&apos;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case '\t':
        out += "&#9;";
        break;
      default:
        if (c >= 0x20 && c != 0x7F) out += static_cast<char>(c);  // other control characters: left out
    }
    ++i;
  }
  return out;
}

JunitCase PairCase(const PairResult& r, const Options& options, double seconds) {
  JunitCase c;
  c.className = "diffmark-cli";
  c.name = r.base + " against " + r.other;
  c.seconds = seconds;
  if (r.Failed()) {
    c.outcome = JunitCase::Outcome::Error;
    std::string reason;
    if (!r.baseError.empty()) reason += r.base + ": " + r.baseError;
    if (!r.otherError.empty()) reason += (reason.empty() ? "" : "; ") + r.other + ": " + r.otherError;
    if (!r.outputError.empty()) reason += (reason.empty() ? "" : "; ") + r.outputError;
    c.message = reason;
    return c;
  }
  const std::string figures = Figures(r);
  if (!Passes(r.stats, SizesDiffer(r), options)) {
    c.outcome = JunitCase::Outcome::Failed;
    c.message = figures;
  } else if (r.stats.differentPixels > 0) {
    c.detail = "within tolerance: " + figures;
  }
  return c;
}

JunitCase EntryCase(const FolderEntry& e, const Options& options) {
  JunitCase c;
  c.className = ClassOf(e.path);
  c.name = e.path;
  c.seconds = e.seconds;
  switch (e.status) {
    case PairStatus::Error: {
      c.outcome = JunitCase::Outcome::Error;
      for (size_t i = 0; i < e.trouble.size(); ++i) c.message += (i > 0 ? "; " : "") + e.trouble[i];
      break;
    }
    case PairStatus::Added:
      c.outcome = JunitCase::Outcome::Failed;
      c.message = "added: only in " + options.other;
      break;
    case PairStatus::Removed:
      c.outcome = JunitCase::Outcome::Failed;
      c.message = "removed: only in " + options.base;
      break;
    case PairStatus::Changed:
    case PairStatus::Equal: {
      const std::string figures = Figures(e.result);
      if (!Passes(e.result.stats, SizesDiffer(e.result), options)) {
        c.outcome = JunitCase::Outcome::Failed;
        c.message = "changed: " + figures;
      } else if (e.result.stats.differentPixels > 0) {
        c.detail = "within tolerance: " + figures;
      }
      break;
    }
  }
  return c;
}

std::string JunitXml(const std::vector<JunitCase>& cases, double seconds, const std::string& timestamp) {
  size_t failures = 0;
  size_t errors = 0;
  for (const JunitCase& c : cases) {
    failures += c.outcome == JunitCase::Outcome::Failed ? 1 : 0;
    errors += c.outcome == JunitCase::Outcome::Error ? 1 : 0;
  }
  const std::string counts = "tests=\"" + std::to_string(cases.size()) + "\" failures=\"" + std::to_string(failures) +
                             "\" errors=\"" + std::to_string(errors) + "\" skipped=\"0\" time=\"" + Seconds(seconds) +
                             "\"";
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<testsuites name=\"diffmark-cli\" " + counts + ">\n";
  out += "  <testsuite name=\"diffmark-cli\" " + counts + " timestamp=\"" + XmlText(timestamp) +
         "\" hostname=\"localhost\">\n";
  for (const JunitCase& c : cases) {
    out += "    <testcase classname=\"" + XmlText(c.className) + "\" name=\"" + XmlText(c.name) + "\" time=\"" +
           Seconds(c.seconds) + "\"";
    switch (c.outcome) {
      case JunitCase::Outcome::Passed:
        if (c.detail.empty()) {
          out += "/>\n";
        } else {
          out += ">\n      <system-out>" + XmlText(c.detail) + "</system-out>\n    </testcase>\n";
        }
        break;
      case JunitCase::Outcome::Failed:
        out += ">\n      <failure message=\"" + XmlText(c.message) + "\" type=\"diffmark.different\">" +
               XmlText(c.message) + "</failure>\n    </testcase>\n";
        break;
      case JunitCase::Outcome::Error:
        out += ">\n      <error message=\"" + XmlText(c.message) + "\" type=\"diffmark.unreadable\">" +
               XmlText(c.message) + "</error>\n    </testcase>\n";
        break;
    }
  }
  out += "  </testsuite>\n</testsuites>\n";
  return out;
}

bool WriteJunit(const std::string& path, const std::vector<JunitCase>& cases, double seconds, std::string* error) {
  const std::string xml = JunitXml(cases, seconds, Timestamp());
  return platform::ReplaceFileWith(path, xml.data(), xml.size(), error);
}

}  // namespace diffmark::cli
