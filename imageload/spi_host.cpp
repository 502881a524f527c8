// The movable-block allocator that plug-ins call on systems without
// kernel32: the host provides GlobalAlloc and friends, and every program
// that links the library exports them (see the link options of
// diffmark::image), so a plug-in's undefined references bind here.
#define SPI_HOST
#include <diffmark/spi.h>

#include "platform/platform.h"

extern "C" {

HGLOBAL GlobalAlloc(unsigned int /*flags*/, size_t bytes) {
  return diffmark::platform::AllocBlock(bytes);
}

void* GlobalLock(HGLOBAL block) { return diffmark::platform::LockBlock(block); }

int GlobalUnlock(HGLOBAL block) { return diffmark::platform::UnlockBlock(block) ? 1 : 0; }

// Null when freed; the handle itself when it names no live block.
HGLOBAL GlobalFree(HGLOBAL block) { return diffmark::platform::FreeBlock(block) ? nullptr : block; }

size_t GlobalSize(HGLOBAL block) { return static_cast<size_t>(diffmark::platform::BlockSize(block)); }

}  // extern "C"
