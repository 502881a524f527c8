// LoadWithPlugin through the test plug-in, with everything the plug-in
// hands back chosen by the fuzzer.  Input: one byte n (extension length,
// taken mod 8), n bytes of extension, 256 bytes of filter text (no
// terminator needed), then the file the plug-in decodes: a status, the
// info block's and the pixel block's lengths, and their bytes.
#include <cstring>
#include <string>

#include <diffmark/bitmap.h>
#include "platform/platform.h"
#include "fuzz_common.h"
#include <diffmark/imageload.h>

namespace {

using SetFilterFn = void (*)(const char*, int32_t);

struct Plugin {
  diffmark::platform::LibraryHandle library = nullptr;  // held, so the filter set here stays
  SetFilterFn setFilter = nullptr;
  Plugin() {
    if (!diffmark::SetPluginDirectory(DIFFMARK_FUZZ_PLUGIN_DIR)) fuzz::Fail("plug-in directory");
    library = diffmark::platform::OpenLibrary(DIFFMARK_FUZZ_PLUGIN_DIR "/tfuzz.spi");
    setFilter = reinterpret_cast<SetFilterFn>(diffmark::platform::LookupSymbol(library, "TestPluginSetFilter"));
    if (setFilter == nullptr) fuzz::Fail("test plug-in not loadable");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Plugin plugin;
  fuzz::WorkDir();
  if (size < 1) return 0;
  const size_t extLength = data[0] % 8;
  if (size < 1 + extLength + 256) return 0;
  std::string ext(reinterpret_cast<const char*>(data + 1), extLength);
  for (char& c : ext) {
    if (c == '\0' || c == '/' || c == '\\' || c == '.') c = 'x';
  }
  plugin.setFilter(reinterpret_cast<const char*>(data + 1 + extLength), 256);

  diffmark::ReleasePlugins();
  diffmark::FindRecord record{};
  std::strcpy(record.cFileName, "tfuzz.spi");
  diffmark::RegisterPlugin(record);
  if (diffmark::PluginTable.count != 1) fuzz::Fail("registration");
  if (std::strlen(diffmark::PluginTable.entries[0].filter) > 255) fuzz::Fail("filter not cut at 255");

  const size_t fileAt = 1 + extLength + 256;
  const std::string name = "image." + ext;
  fuzz::WriteFile(name, data + fileAt, size - fileAt);
  diffmark::BlockHandle slot = nullptr;
  diffmark::BitmapInfo info{};
  uint8_t* pixels = diffmark::LoadWithPlugin(name.c_str(), &slot, &info);
  if (pixels != nullptr) {
    const uint64_t block = diffmark::platform::BlockSize(slot);
    pixels[block - 1] ^= 1;
    // What a caller would do next with a palette image.
    diffmark::BlockHandle rgb = nullptr;
    if (diffmark::ExpandToRgb24(pixels, block, &info.bmiHeader, &rgb) != nullptr) {
      diffmark::platform::UnlockBlock(rgb);
      diffmark::platform::FreeBlock(rgb);
    }
    diffmark::platform::UnlockBlock(slot);
    diffmark::platform::FreeBlock(slot);
  } else if (slot != nullptr) {
    fuzz::Fail("a failed load left a block in the slot");
  }
  std::remove(name.c_str());
  diffmark::ReleasePlugins();
  return 0;
}
