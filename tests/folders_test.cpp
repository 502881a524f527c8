// diffmark-cli on two folders: the real program on a real tree of
// screenshots in a temporary directory (tests/folders, made by
// ImageMagick; its pixel counts are ImageMagick's), and its HTML report in
// a real browser.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::ReadAll;
using testsupport::TempDir;
using testsupport::WriteAll;

const std::string kCli = testsupport::BuildPath(DIFFMARK_CLI_EXE);
const std::string kNetpbm = testsupport::BuildPath(DIFFMARK_NETPBM_PLUGIN);
const fs::path kFixture = fs::path(testsupport::BuildPath(DIFFMARK_SOURCE_DIR)) / "tests" / "folders";

// Every file under `root`, by its relative path ('/' between parts).
std::map<std::string, Bytes> Files(const fs::path& root) {
  std::map<std::string, Bytes> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).generic_string()] = ReadAll(entry.path());
  }
  return files;
}

class Folders : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "spi");
    fs::copy_file(kNetpbm, dir / "spi" / "netpbm.spi");
  }
  testsupport::RunOutcome Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--plugins", "spi"});
    return testsupport::RunProgram(kCli, dir.path(), args);
  }
  // Copies fixture files: {"base/equal.bmp", "other/x/equal.bmp"} copies
  // tests/folders/base/equal.bmp to base/ and to other/x/ in the temporary directory.
  void Copy(const std::string& from, const std::string& to) {
    fs::create_directories((dir / to).parent_path());
    fs::copy_file(kFixture / from, dir / to, fs::copy_options::overwrite_existing);
  }
  void CopyFixture() { fs::copy(kFixture, dir.path(), fs::copy_options::recursive); }
  bool WritesPng() { return Run({"--help"}).standardOutput.find("PNG output is not available") == std::string::npos; }

  TempDir dir;
};

TEST_F(Folders, PairsTheTreesComparesEveryPairAndWritesTheMarkedCopies) {
  CopyFixture();
  const std::string png = WritesPng() ? ".png" : ".bmp";
  const auto outcome = Run({"--json", "base", "other", "-o", "out"});
  EXPECT_EQ(outcome.exitCode, 2);  // the unreadable file is trouble; everything else is still compared
  // shots/home.png is an image no plug-in here reads: trouble, named with
  // the folder searched, never silently left out.
  const std::string noPng = "no plug-in for extension \\\"png\\\" (plug-in folder searched: spi)";
  EXPECT_EQ(outcome.standardError,
            "other/broken.bmp: header too short: 40 of the 54 header bytes\n"
            "base/shots/home.png: no plug-in for extension \"png\" (plug-in folder searched: spi)\n"
            "other/shots/home.png: no plug-in for extension \"png\" (plug-in folder searched: spi)\n");
  // Makefile, .gitignore and notes.txt are not images.  changed.bmp: 28
  // differing pixels, the PPM 6, as ImageMagick's compare counts them; their
  // largest groups of touching pixels, 14 and 6, as a flood fill over the
  // pixels Pillow reads as different finds them.
  EXPECT_EQ(outcome.standardOutput,
            "{\"base\": \"base\", \"other\": \"other\", \"output\": \"out\", \"report\": null, \"junit\": null, "
            "\"metric\": \"channel\", \"mode\": \"channels\", \"threshold\": 0, \"antialiasing\": false, "
            "\"color\": [255, 0, 255], \"aa_color\": [255, 255, 0], \"alpha\": 0.1, \"ignored\": [], \"max_diff_pixels\": null, \"max_diff_ratio\": null, "
            "\"max_cluster_pixels\": null, "
            "\"shard\": null,\n"
            " \"totals\": {\"equal\": 2, \"changed\": 2, \"added\": 1, \"removed\": 1, \"errors\": 2},\n"
            " \"problems\": [],\n"
            " \"pairs\": [\n"
            "  {\"path\": \"added.bmp\", \"status\": \"added\", \"identical\": false, \"base_size\": null, \"other_size\": null, "
            "\"pixels\": null, \"different_pixels\": null, \"different_bytes\": null, \"antialiased_pixels\": null, "
            "\"bbox\": null, \"largest_cluster\": null, \"passed\": null, \"output\": null, \"error\": null},\n"
            "  {\"path\": \"broken.bmp\", \"status\": \"error\", \"identical\": false, \"base_size\": [24, 16], \"other_size\": null, "
            "\"pixels\": null, \"different_pixels\": null, \"different_bytes\": null, \"antialiased_pixels\": null, "
            "\"bbox\": null, \"largest_cluster\": null, \"passed\": null, \"output\": null, \"error\": \"other/broken.bmp: header too short: 40 of the 54 header bytes\"},\n"
            "  {\"path\": \"changed.bmp\", \"status\": \"changed\", \"identical\": false, \"base_size\": [24, 16], \"other_size\": [24, 16], "
            "\"pixels\": 384, \"different_pixels\": 28, \"different_bytes\": 84, "
            "\"antialiased_pixels\": 0, \"bbox\": {\"x\": 4, \"y\": 4, \"width\": 11, \"height\": 7}, "
            "\"largest_cluster\": {\"pixels\": 14, \"x\": 4, \"y\": 4, \"width\": 2, \"height\": 7}, \"passed\": false, \"output\": \"out/changed.bmp\", "
            "\"error\": null},\n"
            "  {\"path\": \"equal.bmp\", \"status\": \"equal\", \"identical\": true, \"base_size\": [24, 16], \"other_size\": [24, 16], "
            "\"pixels\": 384, \"different_pixels\": 0, \"different_bytes\": 0, \"antialiased_pixels\": 0, \"bbox\": null, "
            "\"largest_cluster\": null, "
            "\"passed\": true, \"output\": null, "
            "\"error\": null},\n"
            "  {\"path\": \"nested/deeper/changed.ppm\", \"status\": \"changed\", \"identical\": false, \"base_size\": [20, 12], "
            "\"other_size\": [20, 12], \"pixels\": 240, \"different_pixels\": 6, \"different_bytes\": 12, "
            "\"antialiased_pixels\": 0, \"bbox\": {\"x\": 3, \"y\": 3, \"width\": 3, \"height\": 2}, "
            "\"largest_cluster\": {\"pixels\": 6, \"x\": 3, \"y\": 3, \"width\": 3, \"height\": 2}, \"passed\": false, "
            "\"output\": \"out/nested/deeper/changed.ppm" + png + "\", \"error\": null},\n"
            "  {\"path\": \"nested/equal.ppm\", \"status\": \"equal\", \"identical\": true, \"base_size\": null, "
            "\"other_size\": null, \"pixels\": null, \"different_pixels\": 0, \"different_bytes\": 0, "
            "\"antialiased_pixels\": 0, \"bbox\": null, \"largest_cluster\": null, \"passed\": true, \"output\": null, \"error\": null},\n"
            "  {\"path\": \"removed.bmp\", \"status\": \"removed\", \"identical\": false, \"base_size\": null, \"other_size\": null, "
            "\"pixels\": null, \"different_pixels\": null, \"different_bytes\": null, \"antialiased_pixels\": null, "
            "\"bbox\": null, \"largest_cluster\": null, \"passed\": null, \"output\": null, \"error\": null},\n"
            "  {\"path\": \"shots/home.png\", \"status\": \"error\", \"identical\": false, \"base_size\": null, \"other_size\": null, "
            "\"pixels\": null, \"different_pixels\": null, \"different_bytes\": null, \"antialiased_pixels\": null, "
            "\"bbox\": null, \"largest_cluster\": null, \"passed\": null, \"output\": null, \"error\": \"base/shots/home.png: " + noPng + "; other/shots/home.png: " + noPng +
            "\"}\n"
            " ]}\n");

  // Only the pairs that differ get a marked copy, and each is what the
  // single-pair form writes for that pair.
  const auto written = Files(dir / "out");
  ASSERT_EQ(written.size(), 2u);
  ASSERT_TRUE(written.count("changed.bmp"));
  ASSERT_TRUE(written.count("nested/deeper/changed.ppm" + png));
  ASSERT_EQ(Run({"base/changed.bmp", "other/changed.bmp", "-o", "single.bmp"}).exitCode, 1);
  EXPECT_EQ(written.at("changed.bmp"), ReadAll(dir / "single.bmp"));
  const std::string ppm = "nested/deeper/changed.ppm";
  ASSERT_EQ(Run({"base/" + ppm, "other/" + ppm, "-o", "single" + png}).exitCode, 1);
  EXPECT_EQ(written.at(ppm + png), ReadAll(dir / ("single" + png)));
}

// With the format plug-ins, PNG files are images too.
TEST_F(Folders, ThePluginsSayWhatIsAnImage) {
  const fs::path formats = testsupport::BuildPath(DIFFMARK_FORMAT_PLUGIN_DIR);
  if (!fs::exists(formats / "png.spi") && !fs::exists(formats / "wic.spi")) {
    GTEST_SKIP() << "no plug-in for PNG in " << formats;
  }
  CopyFixture();
  const std::string copy = WritesPng() ? "out/shots/home.png" : "out/shots/home.png.bmp";
  const auto outcome = testsupport::RunProgram(kCli, dir.path(),
                                               {"--plugins", formats.string(), "--json", "base", "other", "-o", "out"});
  EXPECT_EQ(outcome.exitCode, 2);
  // 100 differing pixels, as ImageMagick's compare counts them.
  EXPECT_NE(outcome.standardOutput.find(
                "{\"path\": \"shots/home.png\", \"status\": \"changed\", \"identical\": false, \"base_size\": [24, 16], "
                "\"other_size\": [24, 16], \"pixels\": 384, \"different_pixels\": 100, \"different_bytes\": 300, "
                "\"antialiased_pixels\": 0, \"bbox\": {\"x\": 2, \"y\": 10, \"width\": 20, \"height\": 5}, "
                "\"largest_cluster\": {\"pixels\": 100, \"x\": 2, \"y\": 10, \"width\": 20, \"height\": 5}, "
                "\"passed\": false, \"output\": \"" + copy +
                "\", \"error\": null}"),
            std::string::npos)
      << outcome.standardOutput;
  EXPECT_NE(outcome.standardOutput.find("\"totals\": {\"equal\": 2, \"changed\": 3, "), std::string::npos);
  const std::string single = copy.substr(copy.rfind('.'));
  ASSERT_EQ(testsupport::RunProgram(kCli, dir.path(),
                                    {"--plugins", formats.string(), "base/shots/home.png", "other/shots/home.png",
                                     "-o", "single" + single})
                .exitCode,
            1);
  EXPECT_EQ(ReadAll(dir / copy), ReadAll(dir / ("single" + single)));
}

TEST_F(Folders, ExitStatusAndSummary) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // fixture file, where it goes
    int status;
    std::string summary;
    std::string trouble;
  };
  const std::vector<std::pair<std::string, std::string>> equal = {
      {"base/equal.bmp", "base/equal.bmp"},
      {"other/equal.bmp", "other/equal.bmp"},
      {"base/nested/equal.ppm", "base/sub/Shot.PPM"},
      {"other/nested/equal.ppm", "other/sub/Shot.PPM"},
      {"base/Makefile", "base/Makefile"},
      {"base/notes.txt", "other/notes.txt"},
      {"base/.gitignore", "other/.bmp"},  // a name that starts with its only dot has no extension
  };
  auto with = [&](std::vector<std::pair<std::string, std::string>> more) {
    more.insert(more.begin(), equal.begin(), equal.end());
    return more;
  };
  const std::string changedLine =
      "changed  changed.bmp: 28 of 384 pixels differ (7.292 %), 84 channel bytes; in x 4\u201314, y 4\u201310\n";
  const Case cases[] = {
      {"all equal", equal, 0, "2 images: 2 equal, 0 changed, 0 added, 0 removed, 0 errors\n", ""},
      {"nothing at all", {}, 2, "", "no images found in base or other\n"},
      {"one changed",
       with({{"base/changed.bmp", "base/changed.bmp"}, {"other/changed.bmp", "other/changed.bmp"}}),
       1,
       changedLine + "3 images: 2 equal, 1 changed, 0 added, 0 removed, 0 errors\n",
       ""},
      {"one added", with({{"other/added.bmp", "other/new/added.bmp"}}), 1,
       "added    new/added.bmp\n3 images: 2 equal, 0 changed, 1 added, 0 removed, 0 errors\n", ""},
      {"one removed", with({{"base/removed.bmp", "base/removed.bmp"}}), 1,
       "removed  removed.bmp\n3 images: 2 equal, 0 changed, 0 added, 1 removed, 0 errors\n", ""},
      {"unreadable, the rest still compared",
       with({{"base/broken.bmp", "base/broken.bmp"},
             {"other/broken.bmp", "other/broken.bmp"},
             {"base/changed.bmp", "base/changed.bmp"},
             {"other/changed.bmp", "other/changed.bmp"}}),
       2,
       "error    other/broken.bmp: header too short: 40 of the 54 header bytes\n" + changedLine +
           "4 images: 2 equal, 1 changed, 0 added, 0 removed, 1 error\n",
       "other/broken.bmp: header too short: 40 of the 54 header bytes\n"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir / "base");
    fs::remove_all(dir / "other");
    fs::create_directories(dir / "base");
    fs::create_directories(dir / "other");
    for (const auto& [from, to] : c.files) Copy(from, to);
    const auto outcome = Run({"base", "other"});
    EXPECT_EQ(outcome.exitCode, c.status) << c.name;
    EXPECT_EQ(outcome.standardOutput, c.summary) << c.name;
    EXPECT_EQ(outcome.standardError, c.trouble) << c.name;  // not a terminal: no progress bar
    const auto quiet = Run({"-q", "base", "other"});
    EXPECT_EQ(quiet.exitCode, c.status) << c.name;
    EXPECT_EQ(quiet.standardOutput, "") << c.name;
    EXPECT_EQ(quiet.standardError, c.trouble) << c.name;
  }
}

TEST_F(Folders, AFolderAndAFileAreTrouble) {
  Copy("base/equal.bmp", "base/equal.bmp");
  Copy("base/equal.bmp", "a.bmp");
  Copy("base/equal.bmp", "b.bmp");
  WriteAll(dir / "file", Bytes(3, 0));
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{"base", "a.bmp"},
       "diffmark-cli: \"base\" is a folder but \"a.bmp\" is not: compare two folders or two images\n"},
      {{"a.bmp", "base"},
       "diffmark-cli: \"base\" is a folder but \"a.bmp\" is not: compare two folders or two images\n"},
      {{"base", "nowhere"},
       "diffmark-cli: \"base\" is a folder but \"nowhere\" does not exist: compare two folders or two images\n"},
      {{"a.bmp", "b.bmp", "--report", "r.html"}, "diffmark-cli: --report is for two folders\n"},
      {{"base", "base", "-o", "file"}, "file: is not a folder\n"},
  };
  for (const Case& c : cases) {
    const auto outcome = Run(c.args);
    EXPECT_EQ(outcome.exitCode, 2) << c.error;
    EXPECT_EQ(outcome.standardError, c.error);
    EXPECT_EQ(outcome.standardOutput, "") << c.error;
  }
}

TEST_F(Folders, OwnOutputInsideAnInputFolderIsNotAnInput) {
  CopyFixture();
  const auto first = Run({"--json", "base", "other", "-o", "base/marked/", "--report", "other/report.html"});
  EXPECT_EQ(first.exitCode, 2);
  ASSERT_TRUE(fs::exists(dir / "base" / "marked" / "changed.bmp"));
  ASSERT_TRUE(fs::exists(dir / "other" / "report_files"));
  const auto second = Run({"--json", "base", "other", "-o", "base/marked/", "--report", "other/report.html"});
  EXPECT_EQ(second.standardOutput, first.standardOutput);
}

// A run whose plug-ins are missing never passes: each image no plug-in
// reads is an error entry naming the folders searched, and two folders
// with no image at all are trouble, not "0 images, all equal".
TEST_F(Folders, ARunWithoutItsPluginsNeverPasses) {
  fs::create_directories(dir / "empty-spi");
  for (const char* side : {"expected", "actual"}) {
    for (const char* name : {"home.png", "cart.png"}) {
      fs::create_directories(dir / side);
      fs::copy_file(kFixture / "base" / "shots" / "home.png", dir / side / name);
    }
  }
  for (const std::string& folder : {std::string("empty-spi"), std::string("no-such-folder")}) {
    const auto outcome = testsupport::RunProgram(kCli, dir.path(), {"--plugins", folder, "expected", "actual"});
    EXPECT_EQ(outcome.exitCode, 2) << folder;
    EXPECT_NE(outcome.standardOutput.find("2 images: 0 equal, 0 changed, 0 added, 0 removed, 2 errors"),
              std::string::npos)
        << outcome.standardOutput;
    EXPECT_NE(outcome.standardError.find("expected/cart.png: no plug-in for extension \"png\" (plug-in folder "
                                         "searched: " + folder + ")"),
              std::string::npos)
        << outcome.standardError;
  }
  // Only in one folder, an image nothing reads is trouble too.
  fs::remove(dir / "actual" / "cart.png");
  const auto oneSide = testsupport::RunProgram(kCli, dir.path(), {"--plugins", "empty-spi", "expected", "actual"});
  EXPECT_EQ(oneSide.exitCode, 2);
  EXPECT_NE(oneSide.standardOutput.find("2 errors"), std::string::npos) << oneSide.standardOutput;

  fs::create_directories(dir / "a");
  fs::create_directories(dir / "b");
  WriteAll(dir / "a" / "notes.txt", Bytes(3, 'x'));
  const auto none = Run({"a", "b"});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_EQ(none.standardError, "no images found in a or b\n");
  EXPECT_EQ(none.standardOutput, "");
}

// An output folder that is an input folder would overwrite its files:
// refused before anything is written.
TEST_F(Folders, AnOutputFolderThatIsAnInputIsRefused) {
  CopyFixture();
  const std::map<std::string, Bytes> before = Files(dir / "other");
  for (const char* output : {"other", "other/", "./base"}) {
    const auto outcome = Run({"base", "other", "-o", output});
    EXPECT_EQ(outcome.exitCode, 2) << output;
    EXPECT_EQ(outcome.standardError.rfind(std::string(output) + ": is the input folder ", 0), 0u)
        << outcome.standardError;
    EXPECT_EQ(outcome.standardOutput, "") << output;
  }
  EXPECT_EQ(Files(dir / "other"), before);
}

// A report run owns its picture folder: an earlier run's pictures go, and
// nothing else in the folder is touched.
TEST_F(Folders, AReportRunOwnsItsPictureFolder) {
  CopyFixture();
  ASSERT_EQ(Run({"base", "other", "--report", "r/index.html"}).exitCode, 2);
  const std::map<std::string, Bytes> first = Files(dir / "r" / "index_files");
  ASSERT_FALSE(first.empty());
  WriteAll(dir / "r" / "index_files" / "mine.txt", Bytes(2, 'm'));
  // The second run has less to show: only what it shows stays.
  fs::remove(dir / "other" / "added.bmp");
  fs::remove(dir / "base" / "removed.bmp");
  ASSERT_EQ(Run({"base", "other", "--report", "r/index.html"}).exitCode, 2);
  std::map<std::string, Bytes> second = Files(dir / "r" / "index_files");
  EXPECT_EQ(second.erase("mine.txt"), 1u);
  EXPECT_LT(second.size(), first.size());
  const std::string page = [&] {
    const Bytes b = ReadAll(dir / "r" / "index.html");
    return std::string(b.begin(), b.end());
  }();
  // The page's data names its picture folder once and each picture by name.
  EXPECT_NE(page.find("\"folder\": \"index_files\""), std::string::npos);
  for (const auto& [name, bytes] : second) {
    EXPECT_NE(page.find("\"picture\": \"" + name + "\""), std::string::npos) << name << " is not on the page";
  }
}

// A bigger tree, so that several workers really run at once: the same
// files, report, output and status whatever the number of jobs.
TEST_F(Folders, TheSameResultWhateverTheNumberOfJobs) {
  for (int k = 0; k < 24; ++k) {
    std::string d = "d";  // "d" + std::to_string(k) sets off GCC 12's -Wrestrict false alarm
    d += std::to_string(k);
    d += "/";
    Copy("base/changed.bmp", "base/" + d + "a.bmp");
    Copy(k % 3 == 0 ? "other/changed.bmp" : "base/changed.bmp", "other/" + d + "a.bmp");
    Copy("base/nested/deeper/changed.ppm", "base/" + d + "b.ppm");
    Copy(k % 4 == 1 ? "other/nested/deeper/changed.ppm" : "base/nested/deeper/changed.ppm", "other/" + d + "b.ppm");
    if (k % 5 == 2) Copy("base/removed.bmp", "base/" + d + "gone.bmp");
    if (k % 7 == 3) Copy("other/added.bmp", "other/" + d + "new.bmp");
  }
  Copy("base/broken.bmp", "base/d9/broken.bmp");
  Copy("other/broken.bmp", "other/d9/broken.bmp");

  struct Result {
    testsupport::RunOutcome outcome;
    std::map<std::string, Bytes> files;
  };
  auto runWith = [&](const char* jobs) {
    fs::remove_all(dir / "out");
    Result r;
    r.outcome = Run({"-j", jobs, "--json", "base", "other", "-o", "out", "--report", "out/report.html"});
    r.files = Files(dir / "out");
    return r;
  };
  const Result one = runWith("1");
  EXPECT_EQ(one.outcome.exitCode, 2);
  EXPECT_NE(one.outcome.standardOutput.find("\"totals\": {\"equal\": 34, \"changed\": 14, \"added\": 3, "
                                            "\"removed\": 5, \"errors\": 1}"),
            std::string::npos)
      << one.outcome.standardOutput;
  // 14 marked copies, the page, and 3 pictures per changed file, 1 per added or removed one.
  EXPECT_EQ(one.files.size(), 14u + 1u + 3u * 14u + 3u + 5u);
  for (const char* jobs : {"4", "3"}) {
    const Result other = runWith(jobs);
    EXPECT_EQ(other.outcome.exitCode, one.outcome.exitCode) << jobs;
    EXPECT_EQ(other.outcome.standardOutput, one.outcome.standardOutput) << jobs;
    EXPECT_EQ(other.outcome.standardError, one.outcome.standardError) << jobs;
    EXPECT_TRUE(other.files == one.files) << jobs;
  }
}

#if !defined(_WIN32)
// On a terminal (script(1) gives the program one) standard error shows the
// progress, erased at the end; -q shows none.
TEST_F(Folders, ProgressOnlyOnATerminal) {
  if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "no script(1) to give the program a terminal";
  CopyFixture();
  auto onTerminal = [&](const std::string& options) {
    return testsupport::RunProgram("/usr/bin/script", dir.path(),
                                   {"-q", "-e", "-c", "'" + kCli + "' --plugins spi " + options + " base other",
                                    "/dev/null"})
        .standardOutput;
  };
  const std::string shown = onTerminal("");
  EXPECT_NE(shown.find("] 8/8 pairs  "), std::string::npos) << shown;
  EXPECT_NE(shown.find(" pairs/s"), std::string::npos) << shown;
  EXPECT_NE(shown.find("8 images: 2 equal, 2 changed, 1 added, 1 removed, 2 errors"), std::string::npos) << shown;
  const std::string quiet = onTerminal("-q");
  EXPECT_EQ(quiet.find("pairs"), std::string::npos) << quiet;
}

// The page in a real browser: every picture decodes, whole, to the size
// the page gives it and links to itself, the summary shows the JSON's totals, the
// most changed comes first, and nothing is fetched from elsewhere.
TEST_F(Folders, TheReportWorksInABrowser) {
  const char* env = std::getenv("DIFFMARK_CHROMIUM");
  const std::string chromium = env != nullptr && env[0] != '\0' ? env : "/usr/bin/chromium";
  if (!fs::exists(chromium)) GTEST_SKIP() << "no browser at " << chromium << " (Debian package chromium)";

  CopyFixture();
  const auto run = Run({"--json", "base", "other", "-o", "out", "--report", "report/index.html"});
  ASSERT_EQ(run.exitCode, 2) << run.standardError;
  const std::smatch totals = [&] {
    std::smatch m;
    std::regex_search(run.standardOutput, m, std::regex("\"totals\": (\\{[^}]*\\})"));
    return m;
  }();
  ASSERT_FALSE(totals.empty()) << run.standardOutput;

  const Bytes page = ReadAll(dir / "report" / "index.html");
  const std::string html(page.begin(), page.end());
  // Its own script and data only: nothing loaded from elsewhere.
  EXPECT_EQ(html.find("<script src"), std::string::npos);
  EXPECT_EQ(html.find(" src=\""), std::string::npos);
  EXPECT_EQ(html.find("http:"), std::string::npos);
  EXPECT_EQ(html.find("https:"), std::string::npos);
  EXPECT_EQ(html.find("//"), std::string::npos);  // no address of another place, not even scheme-relative

  // A probe beside the page, in the same folder: the page with a script
  // that writes what the browser made of it into the document.
  const std::string probe = R"(<script>
// Whether every pixel of the picture arrived: the pictures have no alpha,
// so a row a truncated file lacks stays transparent.
function Opaque(image) {
  try {
    var canvas = document.createElement("canvas");
    canvas.width = image.naturalWidth;
    canvas.height = image.naturalHeight;
    var context = canvas.getContext("2d");
    context.drawImage(image, 0, 0);
    var data = context.getImageData(0, 0, canvas.width, canvas.height).data;
    for (var k = 3; k < data.length; k += 4) if (data[k] !== 255) return false;
    return true;
  } catch (e) {
    return false;
  }
}
// The page builds a pair's pictures when it comes near the screen, and
// they load lazily: here every pair is opened and loaded at once.
document.querySelectorAll("article.pair").forEach(function (a) { window.diffmarkReport.open(a); });
document.querySelectorAll("img").forEach(function (i) { i.loading = "eager"; });
window.addEventListener("load", function () {
  var images = Array.from(document.images);
  var result = {
    images: images.length,
    undecoded: images.filter(function (i) { return !(i.complete && i.naturalWidth > 0 && i.naturalHeight > 0); }).length,
    wrongSize: images.filter(function (i) { return i.naturalWidth != i.getAttribute("width") || i.naturalHeight != i.getAttribute("height"); }).length,
    unlinked: images.filter(function (i) { var a = i.closest("a"); return !a || a.getAttribute("href") !== i.getAttribute("src"); }).length,
    incomplete: images.filter(function (i) { return !Opaque(i); }).length,
    totals: {},
    order: Array.from(document.querySelectorAll("article h2 code")).map(function (c) { return c.textContent; })
  };
  document.querySelectorAll("[data-total]").forEach(function (e) { result.totals[e.dataset.total] = Number(e.textContent); });
  var out = document.createElement("pre");
  out.id = "probe";
  out.textContent = JSON.stringify(result);
  document.body.appendChild(out);
});
</script>
)";
  std::string probed = html;
  probed.insert(probed.rfind("</body>"), probe);
  WriteAll(dir / "report" / "probe.html", Bytes(probed.begin(), probed.end()));

  const auto browser = testsupport::RunProgram(
      chromium, dir.path(),
      {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--allow-file-access-from-files",  // the probe reads the pictures' pixels back
       "--user-data-dir=" + (dir / "browser-profile").string(), "--virtual-time-budget=10000", "--dump-dom",
       "file://" + (dir / "report" / "probe.html").string()});
  std::smatch found;
  ASSERT_TRUE(std::regex_search(browser.standardOutput, found, std::regex("<pre id=\"probe\">([^<]*)</pre>")))
      << browser.standardOutput.substr(0, 2000) << browser.standardError.substr(0, 2000);

  std::string expectedTotals = totals[1];
  expectedTotals.erase(std::remove(expectedTotals.begin(), expectedTotals.end(), ' '), expectedTotals.end());
  // 3 pictures and 3 zoomed crops for each of the 2 changed files, 1
  // picture for the added and the removed one.  Grouped: changed ones by
  // share of changed pixels (7.3 % before 2.5 %), added, removed, then
  // those that could not be compared.
  EXPECT_EQ(std::string(found[1]),
            "{\"images\":14,\"undecoded\":0,\"wrongSize\":0,\"unlinked\":0,\"incomplete\":0,\"totals\":" + expectedTotals +
                ",\"order\":[\"changed.bmp\",\"nested/deeper/changed.ppm\",\"added.bmp\",\"removed.bmp\",\"broken.bmp\","
                "\"shots/home.png\"]}");
}
#endif

}  // namespace

namespace {

// Shards: three processes at once, each its shard of the same trees; every
// pair, added and removed file in exactly one, the shards' sizes within
// one of each other, and each entry what the unsharded run says of it.
TEST_F(Folders, ShardsSplitTheRunExactly) {
  // Names built a step at a time: GCC 12 warns falsely (-Wrestrict) about
  // "literal" + std::to_string(...) in the 32-bit Windows build.
  const auto numbered = [](const char* prefix, int k, const char* suffix) {
    std::string name = prefix;
    name += std::to_string(k);
    name += suffix;
    return name;
  };
  for (int k = 0; k < 10; ++k) {
    Copy("base/changed.bmp", numbered("base/more/c", k, ".bmp"));
    Copy(k % 3 == 0 ? "other/changed.bmp" : "base/changed.bmp", numbered("other/more/c", k, ".bmp"));
  }
  CopyFixture();
  const auto whole = Run({"--json", "base", "other"});
  std::vector<std::thread> running;
  std::vector<testsupport::RunOutcome> shards(3);
  for (int k = 0; k < 3; ++k) {
    running.emplace_back([&, k] {
      shards[static_cast<size_t>(k)] = Run({"--json", "--shard", numbered("", k + 1, "/3"), "base", "other"});
    });
  }
  for (std::thread& t : running) t.join();

  // The entries, one a line, each tagged by its path.
  const auto entries = [](const std::string& json) {
    std::map<std::string, std::string> found;
    const std::regex entry("\\{\"path\": \"([^\"]+)\"[^\n]*\\}");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), entry); it != std::sregex_iterator(); ++it) {
      found[(*it)[1]] = (*it)[0];
    }
    return found;
  };
  const std::map<std::string, std::string> all = entries(whole.standardOutput);
  ASSERT_GT(all.size(), 15u);
  std::map<std::string, std::string> merged;
  size_t smallest = all.size();
  size_t largest = 0;
  for (int k = 0; k < 3; ++k) {
    const auto& shard = shards[static_cast<size_t>(k)];
    EXPECT_NE(shard.standardOutput.find(numbered("\"shard\": [", k + 1, ", 3]")), std::string::npos);
    const auto part = entries(shard.standardOutput);
    smallest = std::min(smallest, part.size());
    largest = std::max(largest, part.size());
    for (const auto& [path, text] : part) EXPECT_TRUE(merged.emplace(path, text).second) << path << " twice";
  }
  EXPECT_EQ(merged, all);
  EXPECT_LE(largest - smallest, 1u);
  EXPECT_EQ(Run({"--shard", "4/3", "base", "other"}).exitCode, 2);
  EXPECT_EQ(Run({"--shard", "1/2", "base/equal.bmp", "other/equal.bmp"}).exitCode, 2);
}

}  // namespace

namespace {

// Shards run at once, each in a folder of its own as on a CI machine, then
// merged: the JSON byte for byte the unsharded run's, the same files (the
// JUnit file apart from its times), summary and exit status; and every way
// a set of shards can be wrong is refused before anything is written.
void WriteText(const fs::path& path, const std::string& text) { WriteAll(path, Bytes(text.begin(), text.end())); }

class Merge : public Folders {
 protected:
  void SetUp() override {
    Folders::SetUp();
    for (int k = 0; k < 8; ++k) {
      std::string name = "more/c";
      name += std::to_string(k);
      name += ".bmp";
      Copy("base/changed.bmp", "base/" + name);
      Copy(k % 3 == 0 ? "other/changed.bmp" : "base/changed.bmp", "other/" + name);
    }
    CopyFixture();
  }
  // diffmark-cli in `folder` (made), writing everything there.
  testsupport::RunOutcome RunIn(const std::string& folder, std::vector<std::string> args) {
    fs::create_directories(dir / folder);
    args.insert(args.begin(), {"--plugins", "../spi", "--json", "../base", "../other", "-o", "diff", "--report",
                               "report.html", "--junit", "junit.xml"});
    return testsupport::RunProgram(kCli, dir / folder, args);
  }
  testsupport::RunOutcome Merged(std::vector<std::string> args) {
    args.insert(args.begin(), "merge");
    return testsupport::RunProgram(kCli, dir.path(), args);
  }
  // Runs the three shards at once; each leaves result.json in its folder.
  void RunShards(const std::vector<std::string>& extra = {}) {
    std::vector<std::thread> running;
    for (int k = 1; k <= 3; ++k) {
      running.emplace_back([this, k, extra] {
        // Built a step at a time (GCC 12's -Wrestrict false alarm, Windows builds).
        std::string folder = "s";
        folder += std::to_string(k);
        std::string shard = std::to_string(k);
        shard += "/3";
        std::vector<std::string> args = {"--shard", shard};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto outcome = RunIn(folder, args);
        WriteText(dir / folder / "result.json", outcome.standardOutput);
      });
    }
    for (std::thread& t : running) t.join();
  }
};

std::string WithoutTimes(const Bytes& junit) {
  const std::string text(junit.begin(), junit.end());
  return std::regex_replace(text, std::regex(" (time|timestamp)=\"[^\"]*\""), "");
}

TEST_F(Merge, ThreeShardsMergeIntoTheUnshardedRun) {
  for (const std::vector<std::string>& options : {std::vector<std::string>{},
                                                   std::vector<std::string>{"--mode", "overlay", "--metric", "yiq",
                                                                            "--aa", "--max-diff-pixels", "10",
                                                                            "--max-cluster-pixels", "5",
                                                                            "--ignore", "0,0,3,3"}}) {
    SCOPED_TRACE(options.empty() ? "defaults" : "perceptual");
    fs::remove_all(dir / "whole");
    fs::remove_all(dir / "merged");
    for (const char* s : {"s1", "s2", "s3"}) fs::remove_all(dir / s);
    const auto whole = RunIn("whole", options);
    RunShards(options);
    const auto merged = Merged({"--json", "merged", "s1", "s2/result.json", "s3"});
    EXPECT_EQ(merged.exitCode, whole.exitCode);
    EXPECT_EQ(merged.exitCode, 2);  // the broken file and the PNG files no plug-in here reads
    EXPECT_EQ(merged.standardOutput, whole.standardOutput);

    auto wholeFiles = Files(dir / "whole");
    auto mergedFiles = Files(dir / "merged");
    ASSERT_TRUE(wholeFiles.count("junit.xml") && mergedFiles.count("junit.xml"));
    EXPECT_EQ(WithoutTimes(mergedFiles.at("junit.xml")), WithoutTimes(wholeFiles.at("junit.xml")));
    wholeFiles.erase("junit.xml");
    mergedFiles.erase("junit.xml");
    EXPECT_GT(mergedFiles.size(), 20u);  // marked copies, the page and its pictures
    for (const auto& [path, bytes] : wholeFiles) {
      EXPECT_TRUE(mergedFiles.count(path) && mergedFiles.at(path) == bytes) << path;
    }
    for (const auto& [path, bytes] : mergedFiles) EXPECT_TRUE(wholeFiles.count(path)) << path << " only merged";

    // Merged again into the same folder: the same; and the summary is the
    // unsharded run's.
    auto again = Merged({"merged", "s3", "s2", "s1"});
    EXPECT_EQ(again.exitCode, 2);
    fs::remove_all(dir / "text");
    fs::create_directories(dir / "text");
    std::vector<std::string> textArgs = {"--plugins", "../spi", "../base", "../other"};
    textArgs.insert(textArgs.end(), options.begin(), options.end());
    const auto text = testsupport::RunProgram(kCli, dir / "text", textArgs);
    EXPECT_EQ(again.standardOutput, text.standardOutput);
    EXPECT_EQ(ReadAll(dir / "merged" / "report.html"), wholeFiles.at("report.html"));
  }
}

TEST_F(Merge, RefusesShardsThatDoNotMakeOneRun) {
  RunShards();
  // Another run's shard 2: of four, with another threshold, and a copy of this one's.
  fs::create_directories(dir / "four");
  WriteText(dir / "four" / "result.json", RunIn("four", {"--shard", "2/4"}).standardOutput);
  fs::create_directories(dir / "other-threshold");
  WriteText(dir / "other-threshold" / "result.json",
           RunIn("other-threshold", {"--shard", "2/3", "--threshold", "3"}).standardOutput);
  fs::copy(dir / "s2", dir / "twin", fs::copy_options::recursive);
  WriteText(dir / "unsharded.json", RunIn("unsharded", {}).standardOutput);
  {
    const Bytes json = ReadAll(dir / "s2" / "result.json");
    ASSERT_GT(json.size(), 100u);
    WriteText(dir / "cut.json", std::string(json.begin(), json.begin() + static_cast<long>(json.size() / 2)));
  }
  // Shard files edited or cut: each refused for what is wrong with it.
  const Bytes json = ReadAll(dir / "s2" / "result.json");
  const std::string text(json.begin(), json.end());
  const std::vector<std::pair<std::string, std::pair<std::string, std::string>>> edits = {
      {"totals", {"\"equal\": [0-9]+", "\"equal\": 99"}},
      {"timings", {",\n \"timings\": \\{[^}]*\\}", ""}},
      {"entry", {"\"different_pixels\": [0-9]+", "\"different_pixels\": \"many\""}},
      {"field", {"\"identical\": (true|false), ", ""}},
  };
  for (const auto& [name, edit] : edits) {
    const std::string edited = std::regex_replace(text, std::regex(edit.first), edit.second,
                                                  std::regex_constants::format_first_only);
    ASSERT_NE(edited, text) << name;
    fs::create_directories(dir / ("edited-" + name));
    WriteText(dir / ("edited-" + name) / "result.json", edited);
  }
  // A marked copy gone from a shard's folder.
  fs::copy(dir / "s2", dir / "lost", fs::copy_options::recursive);
  std::vector<std::string> copies;
  for (const auto& entry : fs::recursive_directory_iterator(dir / "lost" / "diff")) {
    if (entry.is_regular_file()) copies.push_back(entry.path().string());
  }
  ASSERT_FALSE(copies.empty());
  fs::remove(copies.front());

  struct Case {
    std::vector<std::string> shards;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"s1", "s3"}, "merged: shard 2 of 3 missing (given: 1, 3)"},
      {{"s1", "s2", "twin", "s3"}, "is shard 2 of 3, and so is"},
      {{"s1", "four", "s3"}, "four/result.json: is shard 2 of 4, but s1/result.json is shard 1 of 3"},
      {{"s1", "other-threshold", "s3"}, "\"threshold\" is 3 there and 0 in s1/result.json"},
      {{"s1", "unsharded.json", "s3"}, "unsharded.json: is the JSON of a run without --shard K/N"},
      {{"s1", "cut.json", "s3"}, "cut.json: is not valid JSON"},
      {{"s1", "lost", "s3"}, "missing (the marked copy of"},
      {{"s1", "nowhere", "s3"}, "nowhere: not found"},
      {{"s1", "edited-totals", "s3"}, "its \"totals\" are not the count of its \"pairs\""},
      {{"s1", "edited-timings", "s3"}, "its \"pairs\" and \"timings\" do not match"},
      {{"s1", "edited-entry", "s3"}, "is not one diffmark-cli writes"},
      {{"s1", "edited-field", "s3"}, "is not one diffmark-cli writes"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"merged"};
    args.insert(args.end(), c.shards.begin(), c.shards.end());
    const auto outcome = Merged(args);
    EXPECT_EQ(outcome.exitCode, 2) << c.says;
    EXPECT_NE(outcome.standardError.find(c.says), std::string::npos) << outcome.standardError;
    EXPECT_EQ(std::count(outcome.standardError.begin(), outcome.standardError.end(), '\n'), 1) << c.says;
    EXPECT_FALSE(fs::exists(dir / "merged")) << c.says << ": written before it was refused";
  }
  EXPECT_EQ(Merged({"s1", "s1", "s2", "s3"}).exitCode, 2);  // into a shard's own folder
  EXPECT_EQ(Merged({"merged"}).exitCode, 2);
  EXPECT_EQ(Merged({"--json", "-q", "merged", "s1", "s2", "s3"}).exitCode, 2);
}

}  // namespace
