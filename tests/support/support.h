// Helpers shared by the tests: BMP files built in memory, a temporary
// directory per test, whole-file I/O and running the real program.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

struct BmpParts {
  int32_t width = 1;
  int32_t height = 1;
  uint16_t bitCount = 24;
  uint32_t clrUsed = 0;
  int32_t xPels = 2835;
  int32_t yPels = 2835;
  uint32_t infoSize = 40;  // the biSize field, written as it is
  Bytes headerTail;   // written after the 40 bytes of info header (the rest of a longer one)
  Bytes colourTable;  // written between the headers and the pixels
  Bytes pixels;       // written as they are
};

// A BMP file: 14-byte file header, 40-byte info header, header tail, colour
// table, pixels; bfOffBits points at the pixels.
Bytes MakeBmp(const BmpParts& parts);

// Pixel rows for a 24-bit image of w x h with Rgb24Stride rows: every byte
// from a deterministic pattern seeded by `seed`, padding included.
Bytes PatternRows(int32_t width, int32_t height, uint32_t seed);

Bytes ReadAll(const std::filesystem::path& path);
void WriteAll(const std::filesystem::path& path, const Bytes& bytes);

// A fresh directory, removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline constexpr std::chrono::seconds kProgramTimeLimit{300};

struct RunOutcome {
  int exitCode = -1;
  std::string standardOutput;
  std::string standardError;  // empty where it cannot be captured (a GUI program on Windows)
};

// Runs `program` with `arguments` in `directory`, with `environment`
// (NAME=value) added to this process's, and waits for it.  A program still
// running after `kProgramTimeLimit` is killed (exit code -1, a line in its
// standard error): a hang fails its test instead of stalling the suite.
RunOutcome RunProgram(const std::string& program, const std::filesystem::path& directory,
                      const std::vector<std::string>& arguments = {},
                      const std::vector<std::string>& environment = {});

// The path of a file in the build tree, as the platform's calls take it.
std::string BuildPath(const char* configured);

}  // namespace testsupport
