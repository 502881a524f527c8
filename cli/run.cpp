#include "cli/run.h"

#include <chrono>
#include <cstdio>
#include <string>

#include <diffmark/imageload.h>

#include "cli/approve.h"
#include "cli/exit.h"
#include "cli/folders.h"
#include "cli/json.h"
#include "cli/junit.h"
#include "cli/merge.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/plugins.h"
#include "cli/text.h"
#include "cli/tree.h"
#include "compare/modes.h"
#include "compare/pair.h"
#include "platform/platform.h"

namespace diffmark::cli {

namespace {

constexpr const char* kProgram = "diffmark-cli";

// One line on standard error, naming what it is about.
void Trouble(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), why.c_str());
}

int ComparePairForm(const Options& options) {
  // An output that is an input would destroy it: refused before anything
  // is read or written.
  for (const std::string* input : {&options.base, &options.other}) {
    if (!options.output.empty() && SameFile(options.output, *input)) {
      Trouble(options.output, "is the input " + *input + " (or a link to it): choose another output");
      return kTrouble;
    }
  }
  PairRequest request;
  request.base = options.base;
  request.other = options.other;
  if (!options.output.empty()) {
    OutputFormat format = OutputFormat::Bmp;
    if (!OutputFormatOf(options.output, &format)) {
      Trouble(options.output, "unknown output format (name it .bmp or .png)");
      return kTrouble;
    }
    if (format == OutputFormat::Png && !CanWritePng()) {
      Trouble(options.output, "PNG output is not available in this build (name it .bmp)");
      return kTrouble;
    }
    request.output = OutputOf(options.output, format);
  }

  const auto started = std::chrono::steady_clock::now();
  const PairResult result = ComparePair(request, options.compare);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  bool junitWritten = true;
  if (!options.junit.empty()) {
    std::string error;
    junitWritten = WriteJunit(options.junit, {PairCase(result, options, seconds)}, seconds, &error);
    if (!junitWritten) Trouble(options.junit, error);
  }
  if (!result.baseError.empty()) Trouble(options.base, WithSearchedFolders(result.baseError, options.pluginFolders));
  if (!result.otherError.empty()) Trouble(options.other, WithSearchedFolders(result.otherError, options.pluginFolders));
  if (!result.outputError.empty()) Trouble(options.output, result.outputError);
  if (result.Failed() || !junitWritten) return kTrouble;

  if (options.json) {
    std::printf("%s\n", PairJson(result, options).c_str());
  } else if (!options.quiet) {
    std::printf("%s\n", SummaryLine(result, options.maxClusterPixels.has_value()).c_str());
  }
  const bool sizesDiffer = result.baseWidth != result.otherWidth || result.baseHeight != result.otherHeight;
  return Passes(result.stats, sizesDiffer, options) ? kEqual : kDifferent;
}

}  // namespace

int Run(int argc, char** argv) {
  // A subcommand: the baseline follows accepted changes (approve.h).
  if (argc >= 2 && std::string(argv[1]) == "approve") return RunApprove(argc - 1, argv + 1);
  // The shards of a folder run made into one run's results (merge.h).
  if (argc >= 2 && std::string(argv[1]) == "merge") return RunMerge(argc - 1, argv + 1);
  Options options;
  std::string error;
  switch (ParseOptions(argc, argv, &options, &error)) {
    case ParseError::None:
      break;
    case ParseError::Value:
      std::fprintf(stderr, "%s: %s\nsee %s --help\n", kProgram, error.c_str(), kProgram);
      return kTrouble;
    case ParseError::Usage:
      std::fprintf(stderr, "%s: %s\n%ssee %s --help\n", kProgram, error.c_str(), SynopsisText(kProgram).c_str(),
                   kProgram);
      return kTrouble;
  }
  if (options.quiet && options.json) {
    std::fprintf(stderr, "%s: -q prints nothing and --json prints JSON: choose one\nsee %s --help\n", kProgram,
                 kProgram);
    return kTrouble;
  }
  if (options.help) {
    std::printf("%s", UsageText(kProgram, CanWritePng()).c_str());
    return kEqual;
  }
  if (options.version) {
    std::printf("%s %s\n", kProgram, DIFFMARK_VERSION);
    return kEqual;
  }
  if (!options.colourGiven) {
    const ModeInfo& mode = InfoOf(options.compare.mode);
    for (int c = 0; c < 3; ++c) options.compare.colour[c] = mode.defaultColour[c];
  }
  // Two folders, or two images; a folder and anything else is a mistake.
  const bool baseIsFolder = platform::KindOfPath(options.base.c_str()) == platform::PathKind::Directory;
  const bool otherIsFolder = platform::KindOfPath(options.other.c_str()) == platform::PathKind::Directory;
  if (baseIsFolder != otherIsFolder) {
    const std::string& folder = baseIsFolder ? options.base : options.other;
    const std::string& file = baseIsFolder ? options.other : options.base;
    const bool missing = platform::KindOfPath(file.c_str()) == platform::PathKind::Missing;
    std::fprintf(stderr, "%s: \"%s\" is a folder but \"%s\" %s: compare two folders or two images\n", kProgram,
                 folder.c_str(), file.c_str(), missing ? "does not exist" : "is not");
    return kTrouble;
  }
  if (!baseIsFolder && !options.report.empty()) {
    std::fprintf(stderr, "%s: --report is for two folders\n", kProgram);
    return kTrouble;
  }
  if (!baseIsFolder && options.shardCount > 0) {
    std::fprintf(stderr, "%s: --shard is for two folders\n", kProgram);
    return kTrouble;
  }
  for (const std::string* input : {&options.base, &options.other}) {
    if (!options.junit.empty() && SameFile(options.junit, *input)) {
      Trouble(options.junit, "is the input " + *input + " (or a link to it): choose another --junit file");
      return kTrouble;
    }
  }
  if (baseIsFolder && !options.output.empty()) {
    for (const std::string* input : {&options.base, &options.other}) {
      if (SameFile(options.output, *input)) {
        Trouble(options.output, "is the input folder " + *input + ": marked copies would overwrite its files; "
                                "choose another output folder");
        return kTrouble;
      }
    }
  }
  // The plug-in table is filled once, here, and only read from now on (by
  // every thread of the folder form).
  options.pluginFolders = FindPlugins(options.pluginDir);
  const int status = baseIsFolder ? CompareFolders(options) : ComparePairForm(options);
  ReleasePlugins();
  std::fflush(stdout);
  return status;
}

}  // namespace diffmark::cli
