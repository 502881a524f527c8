/*
 * A plug-in for the tests, built in several variants from this one file.
 *
 * It decodes "test images": a 12-byte prefix of three little-endian u32
 * fields (status, info length, pixel length) followed by the info block and
 * the pixel block, byte for byte.  Bytes the file does not hold are zero.
 *
 * The status's low byte is the result GetPicture returns, so a test can make
 * the plug-in fail; its second byte picks what the plug-in leaves in the two
 * handles when it returns, one shape for each way a plug-in can end:
 *   0  a failure allocates nothing; a success hands back both blocks
 *   1  the info block allocated and left, the pixel handle null
 *   2  both blocks allocated and left
 *   3  both blocks allocated, then freed and the handles set to null
 *   4  both blocks allocated, then freed, the stale handles left behind
 *      (breaks the contract: the host must refuse, not touch, them)
 *
 * Variants (compile definitions):
 *   PLUGIN_EXT e          the filter text is "*.tst;*.e" instead of "*.tst"
 *   PLUGIN_TAG n          written into biClrImportant of every info block
 *                         that holds it, so a test can tell who decoded
 *   PLUGIN_NO_INFO        no GetPluginInfo export
 *   PLUGIN_NO_PICTURE     no GetPicture export
 *   PLUGIN_UNTERMINATED   the filter fills all 256 bytes, no terminator
 *
 * TestPluginSetFilter (always exported) replaces the filter with any bytes,
 * for the fuzz target.
 */
#include <string.h>

#include <diffmark/spi.h>

/* The host calls the two functions through these pointer types: a
 * definition of another type, calling convention included, must not build. */
_Static_assert(_Generic(&GetPluginInfo, SpiGetPluginInfoFn: 1, default: 0),
               "GetPluginInfo does not have the type SpiGetPluginInfoFn");
_Static_assert(_Generic(&GetPicture, SpiGetPictureFn: 1, default: 0),
               "GetPicture does not have the type SpiGetPictureFn");

#define PLUGIN_STR2(x) #x
#define PLUGIN_STR(x) PLUGIN_STR2(x)
#ifdef PLUGIN_EXT
#define PLUGIN_FILTER "*.tst;*." PLUGIN_STR(PLUGIN_EXT)
#else
#define PLUGIN_FILTER "*.tst"
#endif

/* Larger blocks are refused, so a fuzzed length cannot exhaust memory. */
#define PLUGIN_MAX_BLOCK (64u << 20)

static char filter[SPI_INFO_BUFFER_BYTES] = PLUGIN_FILTER;

static uint32_t ReadU32(const unsigned char* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

SPI_EXPORT void TestPluginSetFilter(const char* bytes, int32_t length) {
  memset(filter, 0, sizeof filter);
  if (length > (int32_t)sizeof filter) length = (int32_t)sizeof filter;
  if (length > 0) memcpy(filter, bytes, (size_t)length);
}

#ifndef PLUGIN_NO_INFO
SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  if (index != SPI_INFO_INDEX_FILTER || size <= 0) return 0;
#ifdef PLUGIN_UNTERMINATED
  memset(buffer, 'x', (size_t)size);
  memcpy(buffer, "*.tst;", 6);
  return size;
#else
  {
    size_t n = sizeof filter < (size_t)size ? sizeof filter : (size_t)size;
    memcpy(buffer, filter, n);
    return (int32_t)n;
  }
#endif
}
#endif

#ifndef PLUGIN_NO_PICTURE
/* A movable block of `length` bytes holding what of `from` lies in the data. */
static HGLOBAL CopyBlock(const unsigned char* data, size_t dataLength, size_t from, uint32_t length) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, length > 0 ? length : 1);
  unsigned char* p;
  if (block == NULL) return NULL;
  p = (unsigned char*)GlobalLock(block);
  if (p == NULL) {
    GlobalFree(block);
    return NULL;
  }
  memset(p, 0, length);
  if (from < dataLength) {
    size_t n = dataLength - from < length ? dataLength - from : length;
    memcpy(p, data + from, n);
  }
  GlobalUnlock(block);
  return block;
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  const unsigned char* bytes = (const unsigned char*)data;
  size_t n = length > 0 ? (size_t)length : 0;
  uint32_t status, shape, infoLength, pixelLength;
  int32_t result;
  (void)progress;
  (void)user;
  if (flags != SPI_FLAG_MEMORY || n < 12) return 1;
  status = ReadU32(bytes);
  result = (int32_t)(status & 0xFF);
  shape = (status >> 8) & 0xFF;
  infoLength = ReadU32(bytes + 4);
  pixelLength = ReadU32(bytes + 8);
  if (result != 0 && shape == 0) return result;
  if (infoLength > PLUGIN_MAX_BLOCK || pixelLength > PLUGIN_MAX_BLOCK) return 2;
  *info = CopyBlock(bytes, n, 12, infoLength);
  *pixels = CopyBlock(bytes, n, 12 + (size_t)infoLength, pixelLength);
  if (*info == NULL || *pixels == NULL) {
    if (*info != NULL) GlobalFree(*info);
    if (*pixels != NULL) GlobalFree(*pixels);
    *info = NULL;
    *pixels = NULL;
    return 3;
  }
#ifdef PLUGIN_TAG
  if (infoLength >= 40) {
    unsigned char* p = (unsigned char*)GlobalLock(*info);
    p[36] = (unsigned char)PLUGIN_TAG;
    GlobalUnlock(*info);
  }
#endif
  switch (shape) {
    case 1:
      GlobalFree(*pixels);
      *pixels = NULL;
      break;
    case 3:
      GlobalFree(*info);
      GlobalFree(*pixels);
      *info = NULL;
      *pixels = NULL;
      break;
    case 4:
      GlobalFree(*info);
      GlobalFree(*pixels);
      break;
    default:
      break;
  }
  return result;
}
#endif
