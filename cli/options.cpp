#include "cli/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace diffmark::cli {

namespace {

enum LongOnly { kMode = 256, kColour, kThreshold, kIgnore, kJson, kPlugins, kReport, kVersion };

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

}  // namespace

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  static const option kLong[] = {
      {"output", required_argument, nullptr, 'o'},   {"mode", required_argument, nullptr, kMode},
      {"color", required_argument, nullptr, kColour}, {"colour", required_argument, nullptr, kColour},
      {"threshold", required_argument, nullptr, kThreshold},
      {"ignore", required_argument, nullptr, kIgnore}, {"json", no_argument, nullptr, kJson},
      {"quiet", no_argument, nullptr, 'q'},           {"plugins", required_argument, nullptr, kPlugins},
      {"jobs", required_argument, nullptr, 'j'},      {"report", required_argument, nullptr, kReport},
      {"help", no_argument, nullptr, 'h'},            {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;  // the reason is reported by the caller, with the usage
  optind = 1;
  for (;;) {
    const int previous = optind;
    const int c = getopt_long(argc, argv, ":o:qj:h", kLong, nullptr);
    if (c == -1) break;
    long v[4];
    switch (c) {
      case 'o':
        o->output = optarg;
        break;
      case kMode:
        if (std::strcmp(optarg, "channels") == 0) {
          o->compare.mode = Mode::Channels;
        } else if (std::strcmp(optarg, "pixels") == 0) {
          o->compare.mode = Mode::Pixels;
        } else if (std::strcmp(optarg, "mask") == 0) {
          o->compare.mode = Mode::Mask;
        } else {
          *error = "--mode must be channels, pixels or mask, not \"" + std::string(optarg) + "\"";
          return false;
        }
        break;
      case kColour:
        if (!ParseList(optarg, 3, 0, 255, v)) {
          *error = "--color takes R,G,B, each 0 to 255, not \"" + std::string(optarg) + "\"";
          return false;
        }
        o->compare.colour[0] = static_cast<uint8_t>(v[2]);
        o->compare.colour[1] = static_cast<uint8_t>(v[1]);
        o->compare.colour[2] = static_cast<uint8_t>(v[0]);
        o->colourGiven = true;
        break;
      case kThreshold:
        if (!ParseList(optarg, 1, 0, 255, v)) {
          *error = "--threshold takes a number from 0 to 255, not \"" + std::string(optarg) + "\"";
          return false;
        }
        o->compare.threshold = static_cast<int>(v[0]);
        break;
      case kIgnore:
        if (!ParseList(optarg, 4, 0, 0x7FFFFFFF, v)) {
          *error = "--ignore takes X,Y,W,H (whole numbers from 0 on), not \"" + std::string(optarg) + "\"";
          return false;
        }
        o->compare.ignore.push_back({v[0], v[1], v[2], v[3]});
        break;
      case kJson:
        o->json = true;
        break;
      case 'q':
        o->quiet = true;
        break;
      case kPlugins:
        o->pluginDir = optarg;
        break;
      case 'j':
        if (!ParseList(optarg, 1, 1, 1024, v)) {
          *error = "-j takes a number of jobs from 1 to 1024, not \"" + std::string(optarg) + "\"";
          return false;
        }
        o->jobs = static_cast<unsigned>(v[0]);
        break;
      case kReport:
        o->report = optarg;
        break;
      case 'h':
        o->help = true;
        return true;
      case kVersion:
        o->version = true;
        return true;
      case ':':
        *error = "option " + std::string(argv[previous]) + " needs a value";
        return false;
      default:
        *error = "unknown option " + std::string(argv[previous]);
        return false;
    }
  }
  const int operands = argc - optind;
  if (operands != 2) {
    *error = operands < 2 ? "two images (or two folders) to compare are needed"
                          : "too many operands: \"" + std::string(argv[optind + 2]) + "\"";
    return false;
  }
  o->base = argv[optind];
  o->other = argv[optind + 1];
  return true;
}

std::string UsageText(const char* program, bool pngOutput) {
  std::string text = std::string("usage: ") + program +
                     " [options] BASE OTHER [-o OUTPUT]\n"
                     "       " + program + " [options] BASE_DIR OTHER_DIR [-o OUT_DIR] [--report PAGE.html]\n"
                     "\n"
                     "Compares two images (any format the plug-ins read; BMP directly) and marks\n"
                     "where BASE differs from OTHER.  Exit status: 0 no pixel differs, 1 some do,\n"
                     "2 trouble.  Two folders: every image file in them, paired by relative path,\n"
                     "marked copies under OUT_DIR; exit 0 when all are equal and none is added or\n"
                     "removed, 1 otherwise, 2 on trouble.\n"
                     "\n"
                     "  -o, --output FILE     write the marked copy of BASE: FILE.bmp (24-bit BMP)";
  text += pngOutput ? " or FILE.png\n" : "\n                        (PNG output is not available in this build)\n";
  text += "                        folders: OUT_DIR, a marked copy of each pair that differs\n";
  text +=
      "      --mode MODE       channels: every differing channel byte gets its marker\n"
      "                        (blue 255, green 0, red 255), the default;\n"
      "                        pixels: every differing pixel painted in --color;\n"
      "                        mask: differing pixels in --color, all else black\n"
      "      --color R,G,B     the colour of pixels and mask (default 255,0,0 for pixels,\n"
      "                        255,0,255 for mask)\n"
      "      --threshold N     a channel differs only when the two bytes are more than\n"
      "                        N apart (0-255, default 0)\n"
      "      --ignore X,Y,W,H  leave a region out of comparing, counting and marking\n"
      "                        (top-left origin; repeatable)\n"
      "      --json            print one JSON object instead of the summary line\n"
      "  -q, --quiet           print nothing; the exit status tells\n"
      "      --plugins DIR     the plug-in folder (else $DIFFMARK_PLUGINS, else the\n"
      "                        program's folder and the installed plug-in folder)\n"
      "  -j, --jobs N          folders: pairs compared at once (default: processors)\n"
      "      --report PAGE     folders: an HTML page of the changed, added and removed\n"
      "                        files, its pictures in PAGE_files/ beside it\n"
      "  -h, --help            this text\n"
      "      --version         the version\n";
  return text;
}

}  // namespace diffmark::cli
