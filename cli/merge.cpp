// Merging the shards of a folder run.  Nothing is decoded and no image is
// read: each shard's JSON says what it found (its entries are rebuilt from
// it and printed again by the same writer), its report page's data block
// says which pictures it showed and the size and hash of each file, and
// its pictures and marked copies are linked into OUT_DIR under the names
// the unsharded run gives them (copied where a link cannot be made, across
// file systems).  So time and memory grow with the number of pairs, not
// with the size of the pictures.
//
// Everything is checked before anything is written: a shard missing, given
// twice, of another N, compared with other options, on other trees, or a
// file it names that is not there, and nothing is merged.
#include "cli/merge.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/exit.h"
#include "cli/folders.h"
#include "cli/html_report.h"
#include "cli/options.h"
#include "cli/stored.h"
#include "cli/tree.h"
#include "compare/modes.h"
#include "platform/platform.h"

#if DIFFMARK_CLI_READS_JSON
#include <nlohmann/json.hpp>
#endif

namespace diffmark::cli {

#if DIFFMARK_CLI_READS_JSON

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kUsage = "usage: diffmark-cli merge [--json | -q] OUT_DIR SHARD_OUTPUT...\n";

// The fields of a shard's JSON that say how it compared and where it wrote:
// equal in every shard of one run.
constexpr const char* kSettings[] = {"base",      "other",        "output",         "report", "junit",
                                     "metric",    "mode",         "threshold",      "antialiasing",
                                     "color",     "aa_color",     "alpha",          "ignored",
                                     "max_diff_pixels", "max_diff_ratio", "max_cluster_pixels"};

void Refuse(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "diffmark-cli merge: %s: %s\n", what.c_str(), why.c_str());
}

struct Shard {
  std::string file;    // its JSON
  std::string folder;  // where the paths in it lead from: the JSON's folder
  json doc;
  unsigned index = 0;  // K of K/N
  unsigned count = 0;  // N
  json page;           // the data of its report page, when it wrote one
};

// One entry of the merged run, and where its files are in its shard.
struct Found {
  FolderEntry entry;
  const Shard* shard = nullptr;
  std::string copySource;  // its marked copy in the shard, or ""
  struct Picture {
    std::string source;  // in the shard's report folder
    std::string role;    // base, other, marked
    std::string extension;
    std::string* shown;  // the entry's name for it, set once placed
  };
  std::vector<Picture> pictures;
};

// The member `key` of an object, or null when there is none (or `j` is
// not an object): what a file says is never trusted to have a field.
const json& At(const json& j, const char* key) {
  static const json kNone;
  if (!j.is_object()) return kNone;
  const auto it = j.find(key);
  return it == j.end() ? kNone : *it;
}

// Why a text is not JSON, in nlohmann-json's words ("syntax error while
// parsing value - invalid string: ill-formed UTF-8 byte; last read: ...").
std::string WhyNotJson(const std::vector<unsigned char>& bytes) {
  struct Why : nlohmann::json_sax<json> {
    std::string reason = "cut short?";
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
      reason = e.what();
      return false;
    }
  } why;
  json::sax_parse(bytes.begin(), bytes.end(), &why, nlohmann::detail::input_format_t::json, true);
  return why.reason;
}

std::string Text(const json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// Parses `path` as a shard's JSON.  `quiet`: say nothing when it is not
// one (a folder is searched).
std::optional<Shard> ReadShard(const std::string& path, bool quiet) {
  std::vector<unsigned char> bytes;
  std::string error;
  if (!ReadWholeFile(path, &bytes, &error)) {
    if (!quiet) Refuse(path, error);
    return std::nullopt;
  }
  Shard shard;
  shard.doc = json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (shard.doc.is_discarded() || !shard.doc.is_object() || !shard.doc.contains("pairs") ||
      !shard.doc.contains("totals")) {
    if (!quiet) {
      Refuse(path, shard.doc.is_discarded() ? "is not valid JSON (" + WhyNotJson(bytes) + ")"
                                            : "is not the --json output of a folder run (no \"pairs\", no \"totals\")");
    }
    return std::nullopt;
  }
  const json& k = At(shard.doc, "shard");
  if (!k.is_array() || k.size() != 2 || !k[0].is_number_unsigned() || !k[1].is_number_unsigned() ||
      k[0].get<uint64_t>() < 1 || k[0].get<uint64_t>() > k[1].get<uint64_t>() || k[1].get<uint64_t>() > 1000000) {
    if (!quiet) Refuse(path, "is the JSON of a run without --shard K/N: nothing to merge");
    return std::nullopt;
  }
  shard.index = k[0].get<unsigned>();
  shard.count = k[1].get<unsigned>();
  shard.file = path;
  const fs::path parent = fs::path(path).parent_path();
  shard.folder = (parent.empty() ? fs::path(".") : parent).string();
  return shard;
}

// A SHARD_OUTPUT: the JSON file itself, or the folder holding it (the one
// *.json directly in it that a shard printed).
std::optional<Shard> FindShard(const std::string& operand) {
  if (platform::KindOfPath(operand.c_str()) != platform::PathKind::Directory) return ReadShard(operand, false);
  std::vector<std::string> candidates;
  std::error_code ec;
  for (fs::directory_iterator it(operand, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code kind;
    if (it->is_regular_file(kind) && it->path().extension() == ".json") {
      candidates.push_back(JoinRelative(operand, it->path().filename().string()));  // named as the user named the folder
    }
  }
  if (ec) {
    Refuse(operand, "cannot be listed (" + ec.message() + ")");
    return std::nullopt;
  }
  std::sort(candidates.begin(), candidates.end());
  std::optional<Shard> found;
  for (const std::string& c : candidates) {
    std::optional<Shard> shard = ReadShard(c, true);
    if (!shard) continue;
    if (found) {
      Refuse(operand, "holds the JSON of two shards (" + found->file + ", " + c + "): name the one to merge");
      return std::nullopt;
    }
    found = std::move(shard);
  }
  if (!found) {
    Refuse(operand, "holds no shard's JSON (the *.json file diffmark-cli --json --shard K/N printed)");
  }
  return found;
}

// Whether `path` is a shard's JSON, or a folder holding one; says nothing.
bool ReadShardQuietly(const std::string& path) {
  if (platform::KindOfPath(path.c_str()) != platform::PathKind::Directory) return ReadShard(path, true).has_value();
  std::error_code ec;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code kind;
    if (it->is_regular_file(kind) && it->path().extension() == ".json" &&
        ReadShard(JoinRelative(path, it->path().filename().string()), true)) {
      return true;
    }
  }
  return false;
}

// A path that stays inside the folder it is relative to, by its words.
bool InsideRelative(const std::string& path) {
  if (path.empty() || path[0] == '/' || path[0] == '\\' || path.find(':') != std::string::npos) return false;
  size_t at = 0;
  for (;;) {
    const size_t end = path.find_first_of("/\\", at);
    if (path.compare(at, end == std::string::npos ? std::string::npos : end - at, "..") == 0) return false;
    if (end == std::string::npos) return true;
    at = end + 1;
  }
}

// The options the shards ran with (their "settings"), as a run's Options.
bool OptionsOf(const Shard& shard, Options* options) {
  const json& d = shard.doc;
  const auto text = [&](const char* key) { return At(d, key).is_string() ? At(d, key).get<std::string>() : std::string(); };
  options->base = text("base");
  options->other = text("other");
  options->output = text("output");
  options->report = text("report");
  options->junit = text("junit");
  const MetricInfo* metric = At(d, "metric").is_string() ? FindMetric(At(d, "metric").get<std::string>()) : nullptr;
  const ModeInfo* mode = At(d, "mode").is_string() ? FindMode(At(d, "mode").get<std::string>()) : nullptr;
  if (metric == nullptr || mode == nullptr || !At(d, "threshold").is_number() || !At(d, "antialiasing").is_boolean() ||
      !At(d, "alpha").is_number() || !At(d, "ignored").is_array()) {
    Refuse(shard.file, "its options are not ones diffmark-cli writes (\"metric\", \"mode\", \"threshold\", ...)");
    return false;
  }
  CompareOptions& c = options->compare;
  c.metric = metric->metric;
  c.mode = mode->mode;
  const double threshold = At(d, "threshold").get<double>();
  c.alpha = At(d, "alpha").get<double>();
  const bool whole = At(d, "threshold").is_number_unsigned();
  if (!(threshold >= 0 && threshold <= metric->maxThreshold) || (metric->wholeThreshold && !whole) ||
      !(c.alpha >= 0 && c.alpha <= 1)) {
    Refuse(shard.file, "its \"threshold\" or \"alpha\" is out of range for its metric");
    return false;
  }
  if (metric->wholeThreshold) {
    c.threshold = static_cast<int>(At(d, "threshold").get<uint64_t>());
  } else {
    c.perceptualThreshold = threshold;
  }
  c.antialiasing = At(d, "antialiasing").get<bool>();
  for (const auto& [key, colour] : {std::pair{"color", c.colour}, std::pair{"aa_color", c.aaColour}}) {
    const json& v = At(d, key);
    if (!v.is_array() || v.size() != 3) {
      Refuse(shard.file, std::string("its \"") + key + "\" is not [R, G, B]");
      return false;
    }
    for (size_t i = 0; i < 3; ++i) {
      if (!v[i].is_number_unsigned() || v[i].get<unsigned>() > 255) {
        Refuse(shard.file, std::string("its \"") + key + "\" is not [R, G, B]");
        return false;
      }
      colour[2 - i] = static_cast<uint8_t>(v[i].get<unsigned>());
    }
  }
  for (const json& r : At(d, "ignored")) {
    if (!r.is_object() || !At(r, "x").is_number_integer() || !At(r, "y").is_number_integer() ||
        !At(r, "width").is_number_integer() || !At(r, "height").is_number_integer()) {
      Refuse(shard.file, "its \"ignored\" regions are not {x, y, width, height}");
      return false;
    }
    c.ignore.push_back({At(r, "x").get<int64_t>(), At(r, "y").get<int64_t>(), At(r, "width").get<int64_t>(),
                        At(r, "height").get<int64_t>()});
  }
  if (At(d, "max_diff_pixels").is_number_unsigned()) options->maxDiffPixels = At(d, "max_diff_pixels").get<uint64_t>();
  if (At(d, "max_diff_ratio").is_number()) options->maxDiffRatio = At(d, "max_diff_ratio").get<double>();
  if (At(d, "max_cluster_pixels").is_number_unsigned()) {
    options->maxClusterPixels = At(d, "max_cluster_pixels").get<uint64_t>();
  }
  for (const std::string* path : {&options->output, &options->report, &options->junit}) {
    if (!path->empty() && !InsideRelative(*path)) {
      Refuse(shard.file, "its output " + *path +
                             " is not a path inside the shard's folder: run the shards with relative -o, --report "
                             "and --junit paths, so that merge finds their files beside the JSON");
      return false;
    }
  }
  return true;
}

std::optional<PairStatus> StatusOf(const json& value) {
  if (!value.is_string()) return std::nullopt;
  for (const PairStatus s :
       {PairStatus::Equal, PairStatus::Changed, PairStatus::Added, PairStatus::Removed, PairStatus::Error}) {
    if (value.get<std::string>() == StatusName(s)) return s;
  }
  return std::nullopt;
}

bool ReadSize(const json& value, int32_t* width, int32_t* height, bool* known) {
  if (value.is_null()) return true;
  if (!value.is_array() || value.size() != 2 || !value[0].is_number_unsigned() || !value[1].is_number_unsigned() ||
      value[0].get<uint64_t>() > INT32_MAX || value[1].get<uint64_t>() > INT32_MAX) {
    return false;
  }
  *width = value[0].get<int32_t>();
  *height = value[1].get<int32_t>();
  *known = true;
  return true;
}

// An entry as the shard wrote it, rebuilt; false when it is not one
// diffmark-cli writes.
bool EntryOf(const json& j, FolderEntry* e) {
  if (!j.is_object() || !At(j, "path").is_string() || !At(j, "identical").is_boolean()) return false;
  for (const char* key : {"base_size", "other_size", "pixels", "different_pixels", "different_bytes",
                          "antialiased_pixels", "bbox", "largest_cluster", "passed", "output", "error"}) {
    if (!j.contains(key)) return false;  // every entry has every field, null where it has no value
  }
  for (const char* key : {"output", "error"}) {
    if (!At(j, key).is_null() && !At(j, key).is_string()) return false;
  }
  const std::optional<PairStatus> status = StatusOf(At(j, "status"));
  if (!status) return false;
  e->path = At(j, "path").get<std::string>();
  e->status = *status;
  e->inBase = e->status != PairStatus::Added;
  e->inOther = e->status != PairStatus::Removed;
  PairResult& r = e->result;
  r.identical = At(j, "identical").get<bool>();
  if (!ReadSize(At(j, "base_size"), &r.baseWidth, &r.baseHeight, &r.baseLoaded) ||
      !ReadSize(At(j, "other_size"), &r.otherWidth, &r.otherHeight, &r.otherLoaded)) {
    return false;
  }
  Stats& s = r.stats;
  const json& different = At(j, "different_pixels");
  if (different.is_number_unsigned()) {
    for (const char* key : {"different_bytes", "antialiased_pixels"}) {
      if (!At(j, key).is_number_unsigned()) return false;
    }
    r.compared = true;
    s.differentPixels = different.get<uint64_t>();
    s.differentBytes = At(j, "different_bytes").get<uint64_t>();
    s.antialiasedPixels = At(j, "antialiased_pixels").get<uint64_t>();
    r.sizesKnown = At(j, "pixels").is_number_unsigned();
    if (r.sizesKnown) s.pixels = At(j, "pixels").get<uint64_t>();
    // Identical files of a format whose header was not read: no sizes, and
    // nothing loaded.
    if (!r.sizesKnown) r.baseLoaded = r.otherLoaded = false;
    const json& box = At(j, "bbox");
    if (s.differentPixels > 0) {
      if (!box.is_object()) return false;
      for (const char* key : {"x", "y", "width", "height"}) {
        if (!At(box, key).is_number_unsigned() || At(box, key).get<uint64_t>() > INT32_MAX) return false;
      }
      s.minX = At(box, "x").get<int32_t>();
      s.minY = At(box, "y").get<int32_t>();
      s.maxX = static_cast<int32_t>(At(box, "x").get<int64_t>() + At(box, "width").get<int64_t>() - 1);
      s.maxY = static_cast<int32_t>(At(box, "y").get<int64_t>() + At(box, "height").get<int64_t>() - 1);
      const json& group = At(j, "largest_cluster");
      if (!group.is_object()) return false;
      for (const char* key : {"pixels", "x", "y", "width", "height"}) {
        if (!At(group, key).is_number_unsigned() || At(group, key).get<uint64_t>() > INT32_MAX) return false;
      }
      Cluster& c = s.largest;
      c.pixels = At(group, "pixels").get<uint64_t>();
      c.minX = At(group, "x").get<int32_t>();
      c.minY = At(group, "y").get<int32_t>();
      c.maxX = static_cast<int32_t>(At(group, "x").get<int64_t>() + At(group, "width").get<int64_t>() - 1);
      c.maxY = static_cast<int32_t>(At(group, "y").get<int64_t>() + At(group, "height").get<int64_t>() - 1);
    }
  } else if (!different.is_null()) {
    return false;
  }
  if (At(j, "output").is_string()) r.output = At(j, "output").get<std::string>();
  if (At(j, "error").is_string()) e->trouble.push_back(At(j, "error").get<std::string>());
  return true;
}

// Links `from` to `to` (or copies it where no link can be made), through a
// fresh name beside `to` renamed over it.
bool PlaceFile(const std::string& from, const std::string& to, std::string* error) {
  std::error_code ec;
  if (fs::equivalent(from, to, ec) && !ec) return true;  // merged into this folder before
  const fs::path parent = fs::path(to).parent_path();
  if (!parent.empty()) fs::create_directories(parent, ec);
  if (ec) {
    *error = parent.string() + ": cannot be created (" + ec.message() + ")";
    return false;
  }
  const std::string fresh = to + ".merging";
  fs::remove(fresh, ec);
  ec.clear();
  fs::create_hard_link(from, fresh, ec);
  if (ec) {
    ec.clear();
    fs::copy_file(from, fresh, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      *error = to + ": cannot be written from " + from + " (" + ec.message() + ")";
      fs::remove(fresh, ec);
      return false;
    }
  }
  if (!platform::RenameReplacing(fresh.c_str(), to.c_str())) {
    *error = to + ": cannot be replaced (" + platform::LastFileErrorText() + ")";
    fs::remove(fresh, ec);
    return false;
  }
  return true;
}

bool IsFile(const std::string& path) { return platform::KindOfPath(path.c_str()) == platform::PathKind::RegularFile; }

// The report page's record of each path, by path; false (said) when the
// page cannot be read.
bool ReadPage(Shard& shard, const std::string& pagePath) {
  std::vector<unsigned char> bytes;
  std::string error;
  if (!ReadWholeFile(pagePath, &bytes, &error)) {
    Refuse(pagePath, error + " (the report page of " + shard.file + ")");
    return false;
  }
  std::string data;
  if (!ReportData(std::string(bytes.begin(), bytes.end()), &data)) {
    Refuse(pagePath, "has no diffmark report data (the report page of " + shard.file + ")");
    return false;
  }
  shard.page = json::parse(data, nullptr, false);
  if (shard.page.is_discarded() || !shard.page.is_object() || !At(shard.page, "pairs").is_array() ||
      !At(shard.page, "folder").is_string()) {
    Refuse(pagePath, "its report data is not valid (the report page of " + shard.file + ")");
    return false;
  }
  // The pictures lie in a folder beside the page, named without a path.
  const std::string folder = At(shard.page, "folder").get<std::string>();
  if (folder.empty() || folder == "." || folder == ".." || folder.find_first_of("/\\:") != std::string::npos) {
    Refuse(pagePath, "its report data names a picture folder that is not beside it (the report page of " +
                         shard.file + ")");
    return false;
  }
  return true;
}

// The report's pictures of one entry, and the size and hash of its files.
bool TakeReportRecord(Found& f, const json& record, const std::string& pictureFolder, std::string* why) {
  FolderEntry& e = f.entry;
  if (At(record, "problem").is_string()) e.shownProblem = At(record, "problem").get<std::string>();
  const std::pair<const char*, std::string*> sides[] = {
      {"base", &e.shownBase}, {"other", &e.shownOther}, {"marked", &e.shownMarked}};
  for (const auto& [key, shown] : sides) {
    const json& side = At(record, key);
    if (side.is_null()) continue;
    if (!side.is_object()) {
      *why = std::string("its report record of the ") + key + " side is not one diffmark-cli writes";
      return false;
    }
    if (At(side, "picture").is_string()) {
      const std::string name = At(side, "picture").get<std::string>();
      const size_t dash = name.find('-');
      const size_t dot = name.rfind('.');
      if (name.find_first_of("/\\") != std::string::npos || dash == std::string::npos || dot == std::string::npos ||
          dot < dash) {
        *why = "its report picture " + name + " is not named as diffmark-cli names them";
        return false;
      }
      f.pictures.push_back({JoinRelative(pictureFolder, name), name.substr(dash + 1, dot - dash - 1),
                            name.substr(dot + 1), shown});
    }
    if (std::string(key) == "marked") continue;  // the base file's record
    if (At(side, "bytes").is_number_unsigned() && At(side, "fnv1a64").is_string()) {
      Fingerprint& print = std::string(key) == "base" ? e.baseFile : e.otherFile;
      const std::string hex = At(side, "fnv1a64").get<std::string>();
      if (hex.size() != 16 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
        *why = "its report record's hash is not 16 hex digits";
        return false;
      }
      print.bytes = At(side, "bytes").get<uint64_t>();
      print.fnv1a64 = std::stoull(hex, nullptr, 16);
      (std::string(key) == "base" ? e.baseFingerprinted : e.otherFingerprinted) = true;
    }
  }
  return true;
}

std::string ShardName(unsigned k, unsigned n) { return "shard " + std::to_string(k) + " of " + std::to_string(n); }

}  // namespace

int RunMerge(int argc, char** argv) {
  bool jsonOutput = false;
  bool quiet = false;
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "--json") {
      jsonOutput = true;
    } else if (!optionsEnded && (arg == "-q" || arg == "--quiet")) {
      quiet = true;
    } else if (!optionsEnded && (arg == "-h" || arg == "--help")) {
      std::printf("%s", kUsage);
      return kEqual;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "diffmark-cli merge: unknown option %s\n%s", arg.c_str(), kUsage);
      return kTrouble;
    } else {
      operands.push_back(arg);
    }
  }
  if (jsonOutput && quiet) {
    std::fprintf(stderr, "diffmark-cli merge: -q prints nothing and --json prints JSON: choose one\n%s", kUsage);
    return kTrouble;
  }
  if (operands.size() < 2) {
    std::fprintf(stderr, "diffmark-cli merge: an output folder and the shards' outputs are needed\n%s", kUsage);
    return kTrouble;
  }
  const std::string outDir = operands[0];
  if (platform::KindOfPath(outDir.c_str()) == platform::PathKind::RegularFile) {
    Refuse(outDir, "is a file, not a folder");
    return kTrouble;
  }

  // A shard's folder where the output folder belongs: the output folder was
  // left out, not a shard.
  if (platform::KindOfPath(outDir.c_str()) != platform::PathKind::Missing && ReadShardQuietly(outDir)) {
    Refuse(outDir, "holds a shard's output: name the folder to merge into first (merge OUT_DIR SHARD_OUTPUT...)");
    return kTrouble;
  }

  // The shards: each read, then all of one run, all there, once each.
  std::vector<Shard> shards;
  for (size_t i = 1; i < operands.size(); ++i) {
    std::optional<Shard> shard = FindShard(operands[i]);
    if (!shard) return kTrouble;
    shards.push_back(std::move(*shard));
  }
  const Shard& first = shards.front();
  for (const Shard& s : shards) {
    if (s.count != first.count) {
      Refuse(s.file, "is " + ShardName(s.index, s.count) + ", but " + first.file + " is " +
                         ShardName(first.index, first.count) + ": shards of different runs");
      return kTrouble;
    }
    for (const char* key : kSettings) {
      if (!s.doc.contains(key)) {
        Refuse(s.file, std::string("has no \"") + key + "\": written by another version of diffmark-cli?");
        return kTrouble;
      }
      if (At(s.doc, key) != At(first.doc, key)) {
        Refuse(s.file, std::string("compared with other options than ") + first.file + ": \"" + key + "\" is " +
                           Text(At(s.doc, key)) + " there and " + Text(At(first.doc, key)) + " in " + first.file);
        return kTrouble;
      }
    }
  }
  std::vector<const Shard*> byIndex(first.count, nullptr);
  for (const Shard& s : shards) {
    const Shard*& slot = byIndex[s.index - 1];
    if (slot != nullptr) {
      Refuse(s.file, "is " + ShardName(s.index, s.count) + ", and so is " + slot->file);
      return kTrouble;
    }
    slot = &s;
  }
  std::string missing;
  for (unsigned k = 1; k <= first.count; ++k) {
    if (byIndex[k - 1] == nullptr) missing += (missing.empty() ? "" : ", ") + std::to_string(k);
  }
  if (!missing.empty()) {
    std::string given;
    for (unsigned k = 1; k <= first.count; ++k) {
      if (byIndex[k - 1] != nullptr) given += (given.empty() ? "" : ", ") + std::to_string(k);
    }
    Refuse(outDir, "shard " + missing + " of " + std::to_string(first.count) + " missing (given: " + given +
                       "); a merged report would look complete without it");
    return kTrouble;
  }
  for (const Shard& s : shards) {
    if (SameFile(outDir, s.folder)) {
      Refuse(outDir, "is the folder of " + s.file + ": merge into another folder");
      return kTrouble;
    }
  }

  Options options;
  if (!OptionsOf(first, &options)) return kTrouble;
  options.json = jsonOutput;
  options.quiet = quiet;

  // The entries of every shard, checked, with their timings.
  std::vector<Found> found;
  std::vector<std::string> problems;
  double seconds = 0;
  for (const Shard& s : shards) {
    const json& pairs = At(s.doc, "pairs");
    const json& timings = At(s.doc, "timings");
    if (!pairs.is_array() || !timings.is_object() || !At(timings, "pairs").is_array() ||
        At(timings, "pairs").size() != pairs.size() || !At(timings, "seconds").is_number()) {
      Refuse(s.file, "its \"pairs\" and \"timings\" do not match (cut short or edited?)");
      return kTrouble;
    }
    seconds += At(timings, "seconds").get<double>();
    std::vector<FolderEntry> own;
    for (size_t i = 0; i < pairs.size(); ++i) {
      Found f;
      f.shard = &s;
      if (!EntryOf(pairs[i], &f.entry)) {
        Refuse(s.file, "entry " + std::to_string(i + 1) + " is not one diffmark-cli writes");
        return kTrouble;
      }
      const json& t = At(timings, "pairs")[i];
      f.entry.seconds = t.is_number() ? t.get<double>() : 0;
      if (!f.entry.result.output.empty()) {
        if (!InsideRelative(f.entry.result.output)) {
          Refuse(s.file, f.entry.path + ": its marked copy " + f.entry.result.output + " is not inside the shard's folder");
          return kTrouble;
        }
        f.copySource = JoinRelative(s.folder, f.entry.result.output);
      }
      own.push_back(f.entry);
      found.push_back(std::move(f));
    }
    // The totals a shard printed are its entries' own: else it was cut or edited.
    const FolderTotals t = CountStatuses(own);
    const json& totals = At(s.doc, "totals");
    const std::pair<const char*, uint64_t> counts[] = {
        {"equal", t.equal}, {"changed", t.changed}, {"added", t.added}, {"removed", t.removed}, {"errors", t.errors}};
    for (const auto& [key, count] : counts) {
      if (!totals.is_object() || !At(totals, key).is_number_unsigned() || At(totals, key).get<uint64_t>() != count) {
        Refuse(s.file, "its \"totals\" are not the count of its \"pairs\" (cut short or edited?)");
        return kTrouble;
      }
    }
    if (At(s.doc, "problems").is_array()) {
      for (const auto& p : At(s.doc, "problems")) problems.push_back(Text(p));
    }
  }

  // In path order, as the unsharded run lists them; each path once, and
  // in the shard that takes it from these trees.
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return a.entry.path < b.entry.path; });
  for (size_t i = 0; i < found.size(); ++i) {
    if (i > 0 && found[i].entry.path == found[i - 1].entry.path) {
      Refuse(found[i].entry.path, "is in " + found[i - 1].shard->file + " and in " + found[i].shard->file);
      return kTrouble;
    }
    const unsigned owner = static_cast<unsigned>(i % first.count) + 1;
    if (owner != found[i].shard->index) {
      Refuse(found[i].shard->file, "holds " + found[i].entry.path + ", which " + ShardName(owner, first.count) +
                                       " takes from these trees: were the shards run on the same trees?");
      return kTrouble;
    }
  }

  // The report's records: which pictures each shard showed, and its files.
  if (!options.report.empty()) {
    const std::string pageFolder = fs::path(options.report).parent_path().string();
    std::map<const Shard*, std::map<std::string, const json*>> records;
    for (Shard& s : shards) {
      if (!ReadPage(s, JoinRelative(s.folder, options.report))) return kTrouble;
      for (const json& record : At(s.page, "pairs")) {
        if (record.is_object() && At(record, "path").is_string()) records[&s][At(record, "path").get<std::string>()] = &record;
      }
    }
    for (Found& f : found) {
      const auto at = records[f.shard].find(f.entry.path);
      if (at == records[f.shard].end()) {
        Refuse(f.shard->file, f.entry.path + " is not in its report page");
        return kTrouble;
      }
      const std::string pictures = JoinRelative(f.shard->folder, JoinRelative(pageFolder.empty() ? "." : pageFolder,
                                                                               At(f.shard->page, "folder").get<std::string>()));
      std::string why;
      if (!TakeReportRecord(f, *at->second, pictures, &why)) {
        Refuse(f.shard->file, f.entry.path + ": " + why);
        return kTrouble;
      }
    }
  }
  for (const Found& f : found) {
    if (!f.copySource.empty() && !IsFile(f.copySource)) {
      Refuse(f.copySource, "missing (the marked copy of " + f.entry.path + " in " + f.shard->file + ")");
      return kTrouble;
    }
    for (const Found::Picture& p : f.pictures) {
      if (!IsFile(p.source)) {
        Refuse(p.source, "missing (a report picture of " + f.entry.path + " in " + f.shard->file + ")");
        return kTrouble;
      }
    }
  }

  // Everything is there: the files go into place under the run's names.
  std::error_code ec;
  fs::create_directories(outDir, ec);
  if (platform::KindOfPath(outDir.c_str()) != platform::PathKind::Directory) {
    Refuse(outDir, "cannot be created (" + ec.message() + ")");
    return kTrouble;
  }
  const std::string reportPath = options.report.empty() ? "" : JoinRelative(outDir, options.report);
  const std::string junitPath = options.junit.empty() ? "" : JoinRelative(outDir, options.junit);
  std::string pictureFolder;
  if (!reportPath.empty()) {
    pictureFolder = ReportImageFolder(reportPath);
    fs::create_directories(pictureFolder, ec);
    if (platform::KindOfPath(pictureFolder.c_str()) != platform::PathKind::Directory) {
      Refuse(pictureFolder, "cannot be created (" + ec.message() + ")");
      return kTrouble;
    }
    RemoveEarlierPictures(pictureFolder, &problems);
  }
  if (!options.output.empty()) fs::create_directories(JoinRelative(outDir, options.output), ec);
  std::vector<FolderEntry> entries;
  entries.reserve(found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    Found& f = found[i];
    std::string error;
    if (!f.copySource.empty() && !PlaceFile(f.copySource, JoinRelative(outDir, f.entry.result.output), &error)) {
      Refuse(outDir, error);
      return kTrouble;
    }
    for (const Found::Picture& p : f.pictures) {
      char number[32];
      std::snprintf(number, sizeof number, "%04zu-", i + 1);
      const std::string name = number + p.role + "." + p.extension;
      if (!PlaceFile(p.source, JoinRelative(pictureFolder, name), &error)) {
        Refuse(outDir, error);
        return kTrouble;
      }
      *p.shown = name;
    }
    entries.push_back(std::move(f.entry));
  }
  return FinishFolderRun(options, entries, std::move(problems), seconds, reportPath, junitPath);
}

#else

int RunMerge(int, char**) {
  std::fprintf(stderr, "diffmark-cli merge: not available in this build (built without nlohmann-json)\n");
  return kTrouble;
}

#endif

}  // namespace diffmark::cli
