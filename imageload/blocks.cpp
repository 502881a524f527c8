// What a caller of the library needs to give back or size a block, and to
// learn why a load failed.
#include <diffmark/imageload.h>

#include "bitmap/load_error.h"
#include "platform/platform.h"

namespace diffmark {

void ReleaseBlock(BlockHandle block) {
  if (block == nullptr) return;
  platform::UnlockBlock(block);
  platform::FreeBlock(block);
}

uint64_t BlockBytes(BlockHandle block) { return platform::BlockSize(block); }

const char* LastLoadError() { return CurrentLoadError(); }

}  // namespace diffmark
