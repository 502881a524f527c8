// diffmark-cli: the difference run for scripts and CI.  Any two images the
// library reads, a report, an exit status (0 equal, 1 different, 2
// trouble), and with -o the marked copy of the first.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include <diffmark/imageload.h>

#include "app/difference.h"

#include "cli/compare.h"
#include "cli/image.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/stream_pair.h"

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

  // The two decodes are independent: the second runs on a thread of its
  // own.  Not when both name one file: the library opens files without
  // sharing, and on Windows the second open would fail while the first is
  // reading.
  LoadedImage base;
  LoadedImage other;
  std::string baseError;
  std::string otherError;
  bool otherLoaded = false;
  std::error_code unknown;
  const bool oneFile = std::filesystem::equivalent(options.base, options.other, unknown);
  std::thread second;
  if (!oneFile) second = std::thread([&] { otherLoaded = LoadPicture(options.other, &other, &otherError); });
  const bool baseLoaded = LoadPicture(options.base, &base, &baseError);
  if (oneFile) {
    otherLoaded = LoadPicture(options.other, &other, &otherError);
  } else {
    second.join();
  }
  if (!baseLoaded) Trouble(options.base, baseError);
  if (!otherLoaded) Trouble(options.other, otherError);
  if (!baseLoaded || !otherLoaded) return kTrouble;

  const Stats stats = ComparePictures(base.picture, other.picture, options.compare);
  result.baseWidth = base.picture.width;
  result.baseHeight = base.picture.height;
  result.otherWidth = other.picture.width;
  result.otherHeight = other.picture.height;
  result.stats = stats;

  if (!options.output.empty()) {
    // Two 24-bit BMPs of one size give what the difference run gives: the
    // second file's info header (as a 40-byte header) over the marked rows.
    BitmapInfoHeader header{};
    if (base.builtInBmp && other.builtInBmp && result.baseWidth == result.otherWidth &&
        result.baseHeight == result.otherHeight) {
      header = other.header;
      header.biSize = kInfoHeaderBytes;
    } else {
      InitRgb24Header(&header, base.picture.width, base.picture.height);
    }
    std::string error;
    if (!WritePicture(options.output, format, base.picture, header, &error)) {
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
  FindPlugins(options.pluginDir);
  const int status = ComparePair(options);
  ReleasePlugins();
  std::fflush(stdout);
  return status;
}
