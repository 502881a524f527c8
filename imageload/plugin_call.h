// What the host does with a loaded plug-in library, shared by registration
// and decoding.
#pragma once

#define SPI_HOST
#include <diffmark/spi.h>
#include "platform/platform.h"

namespace diffmark {

// Asks the plug-in for its filter text (index 2) into a 256-byte buffer and
// makes sure the text ends within it: a plug-in that leaves no terminator
// has its text cut at 255 characters.
inline void QueryFilter(SpiGetPluginInfoFn getInfo, char (&text)[SPI_INFO_BUFFER_BYTES]) {
  for (char& c : text) c = '\0';
  (void)getInfo(SPI_INFO_INDEX_FILTER, text, SPI_INFO_BUFFER_BYTES);
  text[SPI_INFO_BUFFER_BYTES - 1] = '\0';
}

// Opens a plug-in library; nullptr on failure, with the system loader's
// text in `error`.  The first call makes sure the host's block allocator
// is visible to plug-ins, even when the library itself was loaded into a
// process with local scope.
platform::LibraryHandle OpenPluginLibrary(const char* path, char* error, size_t errorSize);

// Why scans since the last ReleasePlugins skipped libraries ("" when none
// was skipped), for the reason of a failed lookup.
const char* PluginScanProblem();

template <typename Fn>
Fn LookupFunction(platform::LibraryHandle library, const char* name) {
  return reinterpret_cast<Fn>(platform::LookupSymbol(library, name));
}

}  // namespace diffmark
