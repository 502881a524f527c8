#include "cli/pair.h"

#include <filesystem>
#include <system_error>
#include <thread>

namespace diffmark::cli {

bool LoadPair(const std::string& base, const std::string& other, bool concurrently, LoadedPair* pair) {
  bool baseLoaded = false;
  bool otherLoaded = false;
  // Not at the same time when both name one file: the library opens files
  // without sharing, and on Windows the second open would fail while the
  // first is reading.
  std::error_code unknown;
  if (concurrently && !std::filesystem::equivalent(base, other, unknown)) {
    std::thread second([&] { otherLoaded = LoadPicture(other, &pair->other, &pair->otherError); });
    baseLoaded = LoadPicture(base, &pair->base, &pair->baseError);
    second.join();
  } else {
    baseLoaded = LoadPicture(base, &pair->base, &pair->baseError);
    otherLoaded = LoadPicture(other, &pair->other, &pair->otherError);
  }
  return baseLoaded && otherLoaded;
}

PairResult CompareLoaded(const std::string& base, const std::string& other, const LoadedPair& pair,
                         const CompareOptions& options) {
  PairResult result;
  result.base = base;
  result.other = other;
  result.baseWidth = pair.base.picture.width;
  result.baseHeight = pair.base.picture.height;
  result.otherWidth = pair.other.picture.width;
  result.otherHeight = pair.other.picture.height;
  result.stats = ComparePictures(pair.base.picture, pair.other.picture, options);
  return result;
}

bool WriteMarked(const std::string& path, Format format, const LoadedPair& pair, std::string* error) {
  const Picture& base = pair.base.picture;
  const Picture& other = pair.other.picture;
  BitmapInfoHeader header{};
  if (pair.base.builtInBmp && pair.other.builtInBmp && base.width == other.width &&
      base.height == other.height) {
    header = pair.other.header;
    header.biSize = kInfoHeaderBytes;
  } else {
    InitRgb24Header(&header, base.width, base.height);
  }
  return WritePicture(path, format, base, header, error);
}

}  // namespace diffmark::cli
