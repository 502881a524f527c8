// diffmark-cli: the difference run for scripts and CI.  Any two images the
// library reads, a report, an exit status (0 equal, 1 different, 2
// trouble), and with -o the marked copy of the first.
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include <diffmark/imageload.h>

#include "app/difference.h"

#include "cli/compare.h"
#include "cli/folders.h"
#include "cli/image.h"
#include "cli/options.h"
#include "cli/pair.h"
#include "cli/report.h"
#include "cli/stream_pair.h"
#include "platform/platform.h"

namespace {

using namespace diffmark;
using namespace diffmark::cli;

constexpr int kEqual = 0;
constexpr int kDifferent = 1;
constexpr int kTrouble = 2;

// One line on standard error, naming what it is about.
void Trouble(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), why.c_str());
}

// Prints what the options ask for; the exit status of the comparison.
int Report(const Options& options, const PairResult& result) {
  if (options.json) {
    std::printf("%s\n", PairJson(result, options.compare).c_str());
  } else if (!options.quiet) {
    std::printf("%s\n", SummaryLine(result).c_str());
  }
  return result.stats.differentPixels > 0 ? kDifferent : kEqual;
}

int ComparePair(const Options& options) {
  Format format = Format::Bmp;
  if (!options.output.empty() && !OutputFormat(options.output, &format)) {
    Trouble(options.output, "unknown output format (name it .bmp or .png)");
    return kTrouble;
  }
  if (format == Format::Png && !CanWritePng()) {
    Trouble(options.output, "PNG output is not available in this build (name it .bmp)");
    return kTrouble;
  }

  PairResult result;
  result.base = options.base;
  result.other = options.other;

  // Two BMP files of one size: streamed, neither held whole.
  std::string troubleFile;
  std::string troubleReason;
  switch (StreamPair(options, format, &result, &troubleFile, &troubleReason)) {
    case PairStream::Compared:
      return Report(options, result);
    case PairStream::Trouble:
      Trouble(troubleFile, troubleReason);
      return kTrouble;
    case PairStream::NotTaken:
      break;
  }

  // The two decodes are independent: the second runs on a thread of its own.
  LoadedPair pair;
  if (!LoadPair(options.base, options.other, true, &pair)) {
    if (!pair.baseError.empty()) Trouble(options.base, pair.baseError);
    if (!pair.otherError.empty()) Trouble(options.other, pair.otherError);
    return kTrouble;
  }
  result = CompareLoaded(options.base, options.other, pair, options.compare);

  if (!options.output.empty()) {
    std::string error;
    if (!WriteMarked(options.output, format, pair, &error)) {
      Trouble(options.output, error);
      return kTrouble;
    }
    result.output = options.output;
  }

  return Report(options, result);
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The same bytes as everywhere else: "\n", not "\r\n", for the scripts
  // and JSON readers that take this output.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  const char* program = "diffmark-cli";
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "%s: %s\n\n%s", program, error.c_str(), UsageText(program, CanWritePng()).c_str());
    return kTrouble;
  }
  if (options.help) {
    std::printf("%s", UsageText(program, CanWritePng()).c_str());
    return kEqual;
  }
  if (options.version) {
    std::printf("%s %s\n", program, DIFFMARK_VERSION);
    return kEqual;
  }
  if (!options.colourGiven && options.compare.mode == Mode::Mask) {
    options.compare.colour[0] = kMarkerBlue;  // the marker's magenta
    options.compare.colour[1] = kMarkerGreen;
    options.compare.colour[2] = kMarkerRed;
  }
  // Two folders, or two images; a folder and anything else is a mistake.
  const bool baseIsFolder = platform::KindOfPath(options.base.c_str()) == platform::PathKind::Directory;
  const bool otherIsFolder = platform::KindOfPath(options.other.c_str()) == platform::PathKind::Directory;
  if (baseIsFolder != otherIsFolder) {
    const std::string& folder = baseIsFolder ? options.base : options.other;
    const std::string& file = baseIsFolder ? options.other : options.base;
    const bool missing = platform::KindOfPath(file.c_str()) == platform::PathKind::Missing;
    std::fprintf(stderr, "%s: \"%s\" is a folder but \"%s\" %s: compare two folders or two images\n", program,
                 folder.c_str(), file.c_str(), missing ? "does not exist" : "is not");
    return kTrouble;
  }
  if (!baseIsFolder && !options.report.empty()) {
    std::fprintf(stderr, "%s: --report is for two folders\n", program);
    return kTrouble;
  }
  // The plug-in table is filled once, here, and only read from now on (by
  // every thread of the folder form).
  FindPlugins(options.pluginDir);
  const int status = baseIsFolder ? CompareFolders(options) : ComparePair(options);
  ReleasePlugins();
  std::fflush(stdout);
  return status;
}
