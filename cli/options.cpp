#include "cli/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "compare/modes.h"

namespace diffmark::cli {

namespace {

// Parses "a,b,c..." into exactly `count` integers within [low, high].
bool ParseList(const char* text, int count, long low, long high, long* out) {
  const char* p = text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      if (*p != ',') return false;
      ++p;
    }
    if (*p == '\0' || *p == '+' || *p == ' ') return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(p, &end, 10);
    if (end == p || errno != 0 || value < low || value > high) return false;
    out[i] = value;
    p = end;
  }
  return *p == '\0';
}

bool Refuse(std::string* error, const char* option, const char* value, const std::string& accepted) {
  *error = std::string(option) + " takes " + accepted + ", not \"" + value + "\"";
  return false;
}

template <typename Info>
std::string Names(std::span<const Info> table) {
  std::string names;
  for (size_t i = 0; i < table.size(); ++i) {
    names += i == 0 ? "" : (i + 1 == table.size() ? " or " : ", ");
    names += table[i].name;
  }
  return names;
}

bool SetOutput(Options& o, const char* v, std::string*) {
  o.output = v;
  return true;
}

bool SetMode(Options& o, const char* v, std::string* error) {
  const ModeInfo* mode = FindMode(v);
  if (mode == nullptr) return Refuse(error, "--mode", v, Names(Modes()));
  o.compare.mode = mode->mode;
  return true;
}

bool SetColour(Options& o, const char* v, std::string* error) {
  long c[3];
  if (!ParseList(v, 3, 0, 255, c)) return Refuse(error, "--color", v, "R,G,B, each 0 to 255");
  o.compare.colour[0] = static_cast<uint8_t>(c[2]);
  o.compare.colour[1] = static_cast<uint8_t>(c[1]);
  o.compare.colour[2] = static_cast<uint8_t>(c[0]);
  o.colourGiven = true;
  return true;
}

// A decimal number (no sign, no exponent) within [low, high].
bool ParseFraction(const char* text, double low, double high, double* out) {
  if (text[0] == '\0' || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (!((*p >= '0' && *p <= '9') || *p == '.')) return false;
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(value >= low && value <= high)) return false;
  *out = value;
  return true;
}

bool SetThreshold(Options& o, const char* v, std::string*) {
  o.thresholdText = v;  // its meaning depends on --metric, which may come later
  return true;
}

bool SetMetric(Options& o, const char* v, std::string* error) {
  const MetricInfo* metric = FindMetric(v);
  if (metric == nullptr) return Refuse(error, "--metric", v, Names(Metrics()));
  o.compare.metric = metric->metric;
  return true;
}

bool SetAntialiasing(Options& o, const char*, std::string*) {
  o.compare.antialiasing = true;
  return true;
}

bool SetAlpha(Options& o, const char* v, std::string* error) {
  if (!ParseFraction(v, 0, 1, &o.compare.alpha)) return Refuse(error, "--alpha", v, "a number from 0 to 1");
  return true;
}

bool SetAaColour(Options& o, const char* v, std::string* error) {
  long c[3];
  if (!ParseList(v, 3, 0, 255, c)) return Refuse(error, "--aa-color", v, "R,G,B, each 0 to 255");
  o.compare.aaColour[0] = static_cast<uint8_t>(c[2]);
  o.compare.aaColour[1] = static_cast<uint8_t>(c[1]);
  o.compare.aaColour[2] = static_cast<uint8_t>(c[0]);
  return true;
}

// A whole number from 0 on, for `option`.
bool ParseCount(const char* option, const char* v, std::optional<uint64_t>* out, std::string* error) {
  if (v[0] < '0' || v[0] > '9') return Refuse(error, option, v, "a whole number from 0 on");
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(v, &end, 10);
  if (*end != '\0' || errno != 0) return Refuse(error, option, v, "a whole number from 0 on");
  *out = n;
  return true;
}

bool SetMaxDiffPixels(Options& o, const char* v, std::string* error) {
  return ParseCount("--max-diff-pixels", v, &o.maxDiffPixels, error);
}

bool SetMaxClusterPixels(Options& o, const char* v, std::string* error) {
  return ParseCount("--max-cluster-pixels", v, &o.maxClusterPixels, error);
}

bool SetMaxDiffRatio(Options& o, const char* v, std::string* error) {
  double r = 0;
  if (!ParseFraction(v, 0, 1, &r)) return Refuse(error, "--max-diff-ratio", v, "a number from 0 to 1");
  o.maxDiffRatio = r;
  return true;
}

bool AddIgnore(Options& o, const char* v, std::string* error) {
  long r[4];
  if (!ParseList(v, 4, 0, 0x7FFFFFFF, r)) return Refuse(error, "--ignore", v, "X,Y,W,H (whole numbers from 0 on)");
  o.compare.ignore.push_back({r[0], r[1], r[2], r[3]});
  return true;
}

bool SetJson(Options& o, const char*, std::string*) {
  o.json = true;
  return true;
}

bool SetQuiet(Options& o, const char*, std::string*) {
  o.quiet = true;
  return true;
}

bool SetPlugins(Options& o, const char* v, std::string*) {
  o.pluginDir = v;
  return true;
}

bool SetJobs(Options& o, const char* v, std::string* error) {
  long n = 0;
  if (!ParseList(v, 1, 1, 1024, &n)) return Refuse(error, "-j", v, "a number of jobs from 1 to 1024");
  o.jobs = static_cast<unsigned>(n);
  return true;
}

bool SetShard(Options& o, const char* v, std::string* error) {
  const char* slash = std::strchr(v, '/');
  long k = 0;
  long n = 0;
  if (slash == nullptr || !ParseList(std::string(v, slash).c_str(), 1, 1, 1000000, &k) ||
      !ParseList(slash + 1, 1, 1, 1000000, &n) || k > n) {
    return Refuse(error, "--shard", v, "K/N, shard K of N counted from 1 (1 <= K <= N)");
  }
  o.shardIndex = static_cast<unsigned>(k);
  o.shardCount = static_cast<unsigned>(n);
  return true;
}

bool SetReport(Options& o, const char* v, std::string*) {
  o.report = v;
  return true;
}

bool SetJunit(Options& o, const char* v, std::string*) {
  o.junit = v;
  return true;
}

bool SetHelp(Options& o, const char*, std::string*) {
  o.help = true;
  return true;
}

bool SetVersion(Options& o, const char*, std::string*) {
  o.version = true;
  return true;
}

// The help of --mode, from the table of modes.
const std::string& ModeHelp() {
  static const std::string text = [] {
    std::string t = "how the marked copy shows what differs:";
    for (const ModeInfo& m : Modes()) t += std::string("\n") + m.name + ": " + m.help;
    return t;
  }();
  return text;
}

const OptionSpec kOptions[] = {
    {"output", 'o', "FILE",
     "write the marked copy of BASE: FILE.bmp (24-bit BMP) or FILE.png\n"
     "folders: OUT_DIR, a marked copy of each pair that differs",
     SetOutput},
    {"mode", 0, "MODE", nullptr, SetMode},  // help from the modes' table
    {"color", 0, "R,G,B",
     "the colour of differing pixels in pixels, mask and overlay\n(default 255,0,0; 255,0,255 for mask)", SetColour},
    {"colour", 0, "R,G,B", nullptr, SetColour},  // the same, not listed
    {"metric", 0, "METRIC", nullptr, SetMetric},  // help from the metrics' table
    {"threshold", 0, "T",
     "how far apart a pixel pair may be and still count as equal:\n"
     "channel: a whole number 0-255 (default 0); yiq, oklab: 0-1\n(default 0.1)",
     SetThreshold},
    {"aa", 0, nullptr,
     "detect anti-aliased pixels (font and edge smoothing) and leave\nthem out of the count", SetAntialiasing},
    {"alpha", 0, "A", "overlay: how much of the base shows in equal pixels, 0-1\n(default 0.1)", SetAlpha},
    {"aa-color", 0, "R,G,B", "overlay: the colour of anti-aliased pixels (default 255,255,0)", SetAaColour},
    {"max-diff-pixels", 0, "N", "pass (exit 0) while at most N pixels differ", SetMaxDiffPixels},
    {"max-diff-ratio", 0, "R",
     "pass (exit 0) while at most R (0-1) of the compared pixels differ;\nwith both, both must hold",
     SetMaxDiffRatio},
    {"max-cluster-pixels", 0, "N",
     "pass (exit 0) while no group of touching differing pixels is\nlarger than N (noise passes, a changed word does not); with\nother tolerances, all must hold",
     SetMaxClusterPixels},
    {"ignore", 0, "X,Y,W,H",
     "leave a region out of comparing, counting and marking\n(top-left origin; repeatable)", AddIgnore},
    {"json", 0, nullptr, "print one JSON object instead of the summary line", SetJson},
    {"quiet", 'q', nullptr, "print nothing; the exit status tells", SetQuiet},
    {"plugins", 0, "DIR",
     "the plug-in folder (else $DIFFMARK_PLUGINS, else the\nprogram's folder and the installed plug-in folder)",
     SetPlugins},
    {"jobs", 'j', "N", "folders: pairs compared at once (default: processors)", SetJobs},
    {"shard", 0, "K/N",
     "folders: compare only shard K of N (1-based): the relative paths\n"
     "in byte order, dealt out in turn, the same on every machine",
     SetShard},
    {"report", 0, "PAGE",
     "folders: an HTML page of the changed, added and removed\nfiles, its pictures in PAGE_files/ beside it",
     SetReport},
    {"junit", 0, "FILE",
     "write JUnit XML for CI: a test case per pair, failing when it\ndoes not pass, an error when it cannot be compared",
     SetJunit},
    {"help", 'h', nullptr, "this text", SetHelp},
    {"version", 0, nullptr, "the version", SetVersion},
};

// The help of --metric, from the table of metrics.
const std::string& MetricHelp() {
  static const std::string text = [] {
    std::string t = "when a pixel pair counts as differing:";
    for (const MetricInfo& m : Metrics()) t += std::string("\n") + m.name + ": " + m.help;
    return t + "\n(default channel)";
  }();
  return text;
}

const char* HelpOf(const OptionSpec& entry) {
  if (entry.apply == SetMode) return ModeHelp().c_str();
  if (entry.apply == SetMetric) return MetricHelp().c_str();
  return entry.help;
}

// The threshold read by the metric it is for.
bool ReadThreshold(Options& o, std::string* error) {
  const MetricInfo& metric = InfoOf(o.compare.metric);
  if (o.thresholdText.empty()) {
    if (!metric.wholeThreshold) o.compare.perceptualThreshold = metric.defaultThreshold;
    return true;
  }
  const char* v = o.thresholdText.c_str();
  if (metric.wholeThreshold) {
    long t = 0;
    if (!ParseList(v, 1, 0, static_cast<long>(metric.maxThreshold), &t)) {
      *error = std::string("--threshold takes a whole number from 0 to 255 with --metric ") + metric.name +
               ", not \"" + v + "\"";
      return false;
    }
    o.compare.threshold = static_cast<int>(t);
  } else if (!ParseFraction(v, 0, metric.maxThreshold, &o.compare.perceptualThreshold)) {
    *error = std::string("--threshold takes a number from 0 to 1 with --metric ") + metric.name + ", not \"" + v +
             "\"";
    return false;
  }
  return true;
}

}  // namespace

std::span<const OptionSpec> OptionTable() { return kOptions; }

ParseError ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  // getopt_long's tables, made from ours: long options return their index
  // in the table plus 256.
  std::vector<option> longOptions;
  std::string shortOptions = ":";  // ':' reports a missing value apart
  for (size_t i = 0; i < std::size(kOptions); ++i) {
    const OptionSpec& entry = kOptions[i];
    const int hasValue = entry.valueName != nullptr ? required_argument : no_argument;
    longOptions.push_back({entry.longName, hasValue, nullptr, static_cast<int>(256 + i)});
    if (entry.shortName != 0) {
      shortOptions += entry.shortName;
      if (entry.valueName != nullptr) shortOptions += ':';
    }
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});

  opterr = 0;  // the reason is reported by the caller
  optind = 1;
  for (;;) {
    const int previous = optind;
    const int c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
    if (c == -1) break;
    if (c == ':') {
      // Named from the table: the arguments may have been reordered.
      std::string name = argv[previous];
      if (optopt >= 256 && static_cast<size_t>(optopt - 256) < std::size(kOptions)) {
        name = std::string("--") + kOptions[optopt - 256].longName;
      } else if (optopt > 0 && optopt < 256) {
        name = std::string("-") + static_cast<char>(optopt);
      }
      *error = "option " + name + " needs a value";
      return ParseError::Usage;
    }
    const OptionSpec* entry = nullptr;
    if (c >= 256 && static_cast<size_t>(c - 256) < std::size(kOptions)) {
      entry = &kOptions[c - 256];
    } else {
      for (const OptionSpec& s : kOptions) {
        if (s.shortName != 0 && s.shortName == c) entry = &s;
      }
    }
    if (entry == nullptr) {
      *error = "unknown option " + std::string(argv[previous]);
      return ParseError::Usage;
    }
    if (!entry->apply(*o, optarg, error)) return ParseError::Value;
    if (o->help || o->version) return ParseError::None;
  }
  if (!ReadThreshold(*o, error)) return ParseError::Value;
  const int operands = argc - optind;
  if (operands != 2) {
    *error = operands < 2 ? "two images (or two folders) to compare are needed"
                          : "too many operands: \"" + std::string(argv[optind + 2]) + "\"";
    return ParseError::Usage;
  }
  o->base = argv[optind];
  o->other = argv[optind + 1];
  // Only the JSON reports the largest group of differing pixels and only
  // its tolerance needs it; finding it costs time on noisy pairs, so only a
  // run that does either looks for it.
  o->compare.largestCluster = o->json || o->maxClusterPixels.has_value();
  return ParseError::None;
}

bool HasTolerance(const Options& o) {
  return o.maxDiffPixels.has_value() || o.maxDiffRatio.has_value() || o.maxClusterPixels.has_value();
}

bool Passes(const Stats& stats, bool sizesDiffer, const Options& o) {
  if (stats.differentPixels == 0) return true;
  if (sizesDiffer || !HasTolerance(o)) return false;
  if (o.maxDiffPixels.has_value() && stats.differentPixels > *o.maxDiffPixels) return false;
  if (o.maxClusterPixels.has_value() && stats.largest.pixels > *o.maxClusterPixels) return false;
  if (o.maxDiffRatio.has_value() &&
      static_cast<double>(stats.differentPixels) > *o.maxDiffRatio * static_cast<double>(stats.pixels)) {
    return false;
  }
  return true;
}

std::string SynopsisText(const char* program) {
  return std::string("usage: ") + program + " [options] BASE OTHER [-o OUTPUT]\n       " + program +
         " [options] BASE_DIR OTHER_DIR [-o OUT_DIR] [--report PAGE.html]\n";
}

std::string UsageText(const char* program, bool pngOutput) {
  std::string text = SynopsisText(program) + "       " + program +
                     " approve [--all] APPROVALS.json|PAGE.html BASE_DIR OTHER_DIR\n"
                     "       " + program + " merge [--json | -q] OUT_DIR SHARD_OUTPUT...\n"
                     "\n"
                     "Compares two images (any format the plug-ins read; BMP directly) and marks\n"
                     "where BASE differs from OTHER.  Exit status: 0 no pixel differs, 1 some do,\n"
                     "2 trouble.  Two folders: every image file in them, paired by relative path,\n"
                     "marked copies under OUT_DIR; exit 0 when all are equal and none is added or\n"
                     "removed, 1 otherwise, 2 on trouble.  approve: the base folder takes the\n"
                     "changes accepted in a report (every one listed in PAGE.html with --all).\n"
                     "merge: the shards of a folder run (--shard K/N, each its --json output with\n"
                     "its files) made into that run's JSON, JUnit file and report under OUT_DIR.\n"
                     "\n";
  constexpr size_t kHelpColumn = 24;
  for (const OptionSpec& entry : kOptions) {
    const char* help = HelpOf(entry);
    if (help == nullptr) continue;  // an alias
    std::string line = entry.shortName != 0 ? std::string("  -") + entry.shortName + ", " : std::string("      ");
    line += std::string("--") + entry.longName;
    if (entry.valueName != nullptr) line += std::string(" ") + entry.valueName;
    std::string helpText = help;
    if (entry.apply == SetOutput && !pngOutput) {
      helpText.replace(helpText.find(" or FILE.png"), 12, "\n(PNG output is not available in this build)");
    }
    line.resize(std::max(line.size() + 2, kHelpColumn), ' ');
    for (size_t at = 0;;) {
      const size_t end = helpText.find('\n', at);
      text += line + helpText.substr(at, end == std::string::npos ? std::string::npos : end - at) + "\n";
      if (end == std::string::npos) break;
      at = end + 1;
      line.assign(kHelpColumn, ' ');
    }
  }
  return text;
}

}  // namespace diffmark::cli
