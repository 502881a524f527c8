#include "compare/load.h"

#include <algorithm>
#include <climits>

#include "compare/stream.h"
#include "platform/platform.h"

namespace diffmark {

bool ReaderTakesExactly(const BitmapFileLayout& bmp) {
  const BitmapInfoHeader& h = bmp.header;
  return h.biBitCount == 24 && h.biCompression == 0 && (h.biSize == kInfoHeaderBytes || IsLongerInfoHeader(h.biSize));
}

bool HasBmpExtension(const std::string& path) {
  char ext[kMaxPath];
  GetExtension(path.c_str(), ext);
  return CompareNames(0, ext, "bmp", 0) == 0;
}

LoadedImage::~LoadedImage() {
  ReleaseBlock(expanded);
  ReleaseBlock(block);
}

namespace {

// Whether a BMP goes to a plug-in rather than the library's own reader:
// when the reader would not read it exactly and a plug-in accepts "bmp".
// A file that cannot be opened or examined goes to the reader, which
// tells why.
bool BmpGoesToPlugin(const std::string& path) {
  StreamInput input;
  if (!OpenStreamInput(path.c_str(), &input)) return false;
  return !ReaderTakesExactly(input.bmp) && FindPluginFor("bmp") >= 0;
}

}  // namespace

bool LoadPicture(const std::string& path, LoadedImage* image, std::string* error) {
  BitmapInfo info{};
  const uint8_t* rows = nullptr;
  const bool bmp = HasBmpExtension(path);
  image->builtInBmp = false;
  if (bmp && BmpGoesToPlugin(path)) {
    rows = LoadWithPlugin(path.c_str(), &image->block, &info);
  } else {
    image->builtInBmp = bmp;
    rows = LoadImageFile(path.c_str(), &image->block, &info);
  }
  if (rows == nullptr) {
    *error = LastLoadError() != nullptr ? LastLoadError() : "cannot be loaded";
    return false;
  }
  image->header = info.bmiHeader;
  const BitmapInfoHeader& h = image->header;
  if (h.biWidth < 0) {
    *error = "negative width " + std::to_string(h.biWidth);
    return false;
  }
  const bool topDown = h.biHeight < 0;
  if (topDown && h.biHeight == INT32_MIN) {
    *error = "height not representable";
    return false;
  }
  Picture& p = image->picture;
  p.width = h.biWidth;
  p.height = topDown ? -h.biHeight : h.biHeight;
  p.bottomUp = !topDown;
  p.stride = Rgb24Stride64(p.width);
  if (h.biBitCount == 8 || h.biBitCount == 4) {
    if (topDown) {
      *error = "top-down palette image";
      return false;
    }
    const uint8_t* expanded = ExpandToRgb24(rows, BlockBytes(image->block), &h, &image->expanded);
    if (expanded == nullptr) {
      *error = LastLoadError() != nullptr ? LastLoadError() : "cannot be expanded to 24 bits";
      return false;
    }
    p.rows = const_cast<uint8_t*>(expanded);
  } else if (h.biBitCount == 24) {
    p.rows = const_cast<uint8_t*>(rows);
    const uint64_t needed = static_cast<uint64_t>(p.stride) * static_cast<uint64_t>(p.height);
    if (needed > BlockBytes(image->block)) {
      *error = "pixel rows missing";
      return false;
    }
  } else {
    *error = std::to_string(h.biBitCount) + " bits per pixel are not compared" +
             (image->builtInBmp ? " (the bmp plug-in reads them)" : "");
    return false;
  }
  image->builtInBmp = image->builtInBmp && h.biBitCount == 24;
  return true;
}

bool WriteBmpInto(platform::FileHandle file, const BitmapInfoHeader& header, const uint8_t* pixels,
                  uint64_t pixelBytes, std::string* reason) {
  uint8_t headers[kHeadersBytes];
  if (!EncodeRgb24Headers(header, headers)) {
    *reason = "image size not representable in a BMP file";
    return false;
  }
  bool ok = platform::WriteBytes(file, headers, sizeof headers);
  const uint64_t rowBytes = Rgb24ImageBytes(header);
  const uint64_t fromBlock = std::min(rowBytes, pixelBytes);
  ok = ok && platform::WriteBytes(file, pixels, fromBlock);
  static const uint8_t kZeros[64 * 1024] = {};
  for (uint64_t left = rowBytes - fromBlock; ok && left > 0;) {
    const uint64_t n = std::min<uint64_t>(left, sizeof kZeros);
    ok = platform::WriteBytes(file, kZeros, n);
    left -= n;
  }
  if (!ok) *reason = "write failed (" + platform::LastFileErrorText() + ")";
  return ok;
}

WriteResult WriteResultFile(const char* path, const BitmapInfoHeader& header, const uint8_t* pixels,
                            uint64_t pixelBytes, std::string* reason) {
  std::string why;
  uint8_t headers[kHeadersBytes];
  platform::FileHandle file = nullptr;
  if (!EncodeRgb24Headers(header, headers)) {
    why = "image size not representable in a BMP file";
  } else if ((file = platform::CreateAlways(path)) == nullptr) {
    why = "cannot be created (" + platform::LastFileErrorText() + ")";
  }
  if (file == nullptr) {
    if (reason != nullptr) *reason = why;
    return WriteResult::NotCreated;
  }
  bool ok = WriteBmpInto(file, header, pixels, pixelBytes, &why);
  if (!platform::CloseWritten(file) && ok) {
    ok = false;
    why = "write failed (" + platform::LastFileErrorText() + ")";
  }
  if (!ok && reason != nullptr) *reason = why;
  return ok ? WriteResult::Written : WriteResult::WriteFailed;
}

}  // namespace diffmark
