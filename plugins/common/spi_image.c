#include "spi_image.h"

#include <string.h>

int32_t SpiPluginInfo(const struct SpiPluginTexts* texts, int32_t index, char* buffer, int32_t size) {
  const char* text;
  size_t length;
  switch (index) {
    case 0: text = "00IN"; break;
    case 1: text = texts->description; break;
    case SPI_INFO_INDEX_FILTER: text = texts->filter; break;
    case 3: text = texts->typeName; break;
    default: return 0;
  }
  if (buffer == NULL || size <= 0) return 0;
  length = strlen(text);
  if (length >= (size_t)size) length = (size_t)size - 1;
  memcpy(buffer, text, length);
  buffer[length] = '\0';
  return (int32_t)length;
}

int SpiCheckSize(uint64_t width, uint64_t height) {
  if (width == 0 || height == 0) return SPI_ERROR_CORRUPT;
  /* Each side alone first, so that the product cannot wrap. */
  if (width > SPI_MAX_PIXELS || height > SPI_MAX_PIXELS || width * height > SPI_MAX_PIXELS) {
    return SPI_ERROR_TOO_LARGE;
  }
  return SPI_OK;
}

static void PutU16(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
}

static void PutU32(unsigned char* p, uint32_t v) {
  PutU16(p, v);
  PutU16(p + 2, v >> 16);
}

/* A zero-filled block (GMEM_ZEROINIT: kernel32 does not zero without
 * it), locked; NULL when it cannot be had. */
static HGLOBAL Allocate(size_t bytes, unsigned char** locked) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
  if (block == NULL) return NULL;
  *locked = (unsigned char*)GlobalLock(block);
  if (*locked == NULL) {
    GlobalFree(block);
    return NULL;
  }
  return block;
}

int SpiImageBegin(struct SpiImage* image, uint64_t width, uint64_t height) {
  unsigned char* head;
  uint64_t stride, bytes;
  const int size = SpiCheckSize(width, height);
  memset(image, 0, sizeof *image);
  if (size != SPI_OK) return size;
  /* Within the limit: at most 3 * 2^28 + 3 bytes a row, 3 * 2^28 + 3 * h
   * in all, which fits every size_t and the host's 31-bit blocks. */
  stride = (width * 3u + 3u) / 4u * 4u;
  bytes = stride * height;

  image->infoBlock = Allocate(40, &head);
  if (image->infoBlock == NULL) return SPI_ERROR_NO_MEMORY;
  image->pixelBlock = Allocate((size_t)bytes, &image->rows);
  if (image->pixelBlock == NULL) {
    SpiImageDiscard(image);
    return SPI_ERROR_NO_MEMORY;
  }
  image->width = (uint32_t)width;
  image->height = (uint32_t)height;
  image->stride = (size_t)stride;

  /* The header the library's InitRgb24Header makes. */
  memset(head, 0, 40);
  PutU32(head + 0, 40);
  PutU32(head + 4, image->width);
  PutU32(head + 8, image->height);
  PutU16(head + 12, 1);
  PutU16(head + 14, 24);
  PutU32(head + 24, 96);
  PutU32(head + 28, 96);
  GlobalUnlock(image->infoBlock);
  return SPI_OK;
}

int SpiImageFinish(struct SpiImage* image, SpiHandle* info, SpiHandle* pixels) {
  GlobalUnlock(image->pixelBlock);
  *info = image->infoBlock;
  *pixels = image->pixelBlock;
  memset(image, 0, sizeof *image);
  return SPI_OK;
}

int32_t SpiGetPicture(const char* data, int32_t length, uint32_t flags, SpiHandle* info, SpiHandle* pixels,
                      SpiDecodeFunction decode) {
  struct SpiImage image;
  int result;
  if (info == NULL || pixels == NULL || data == NULL || length <= 0 || (flags & 7u) != SPI_FLAG_MEMORY) {
    return SPI_ERROR_UNSUPPORTED;
  }
  memset(&image, 0, sizeof image);
  result = decode((const unsigned char*)data, (size_t)length, &image);
  if (result != SPI_OK) {
    SpiImageDiscard(&image);
    return result;
  }
  return SpiImageFinish(&image, info, pixels);
}

void SpiImageDiscard(struct SpiImage* image) {
  if (image->pixelBlock != NULL) {
    GlobalUnlock(image->pixelBlock);
    GlobalFree(image->pixelBlock);
  }
  if (image->infoBlock != NULL) GlobalFree(image->infoBlock);
  memset(image, 0, sizeof *image);
}

/* The byte swap of every RGB pixel of a PNG or BMP.  Byte by byte it took
 * a sixth of a 1280 x 800 PNG's decode; the compiler turns this loop into
 * byte shuffles (pshufb) where the processor has SSSE3, three times as
 * fast, and into a byte loop elsewhere: one body, built twice, chosen at
 * run time. */
#define SPI_FROM_RGB_BODY                      \
  size_t i;                                    \
  for (i = 0; i < count; ++i, out += 3, in += 3) { \
    out[0] = in[2];                            \
    out[1] = in[1];                            \
    out[2] = in[0];                            \
  }

static void FromRgbPlain(unsigned char* restrict out, const unsigned char* restrict in, size_t count) {
  SPI_FROM_RGB_BODY
}

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
__attribute__((target("ssse3"))) static void FromRgbSsse3(unsigned char* restrict out,
                                                          const unsigned char* restrict in, size_t count) {
  SPI_FROM_RGB_BODY
}

/* The processor's features are read once, by a constructor of the
 * compiler's run-time library, before any call can come. */
void SpiFromRgb(unsigned char* out, const unsigned char* in, size_t count) {
  if (__builtin_cpu_supports("ssse3")) {
    FromRgbSsse3(out, in, count);
  } else {
    FromRgbPlain(out, in, count);
  }
}
#else
void SpiFromRgb(unsigned char* out, const unsigned char* in, size_t count) { FromRgbPlain(out, in, count); }
#endif

void SpiFromRgba(unsigned char* out, const unsigned char* in, size_t count) {
  size_t i;
  for (i = 0; i < count; ++i, out += 3, in += 4) {
    const unsigned a = in[3];
    if (a == 255) {
      out[0] = in[2];
      out[1] = in[1];
      out[2] = in[0];
    } else {
      out[0] = SpiOverWhite(in[2], a);
      out[1] = SpiOverWhite(in[1], a);
      out[2] = SpiOverWhite(in[0], a);
    }
  }
}

void SpiFromBgra(unsigned char* out, const unsigned char* in, size_t count) {
  size_t i;
  for (i = 0; i < count; ++i, out += 3, in += 4) {
    const unsigned a = in[3];
    out[0] = SpiOverWhite(in[0], a);
    out[1] = SpiOverWhite(in[1], a);
    out[2] = SpiOverWhite(in[2], a);
  }
}

/* c + 255 - a; a colour above its alpha is not premultiplied data and
 * saturates. */
static unsigned char PremultipliedOverWhite(unsigned c, unsigned a) {
  const unsigned v = c + 255u - a;
  return (unsigned char)(v > 255u ? 255u : v);
}

void SpiFromPremultipliedRgba(unsigned char* out, const unsigned char* in, size_t count) {
  size_t i;
  for (i = 0; i < count; ++i, out += 3, in += 4) {
    out[0] = PremultipliedOverWhite(in[2], in[3]);
    out[1] = PremultipliedOverWhite(in[1], in[3]);
    out[2] = PremultipliedOverWhite(in[0], in[3]);
  }
}

void SpiFromPremultipliedBgra(unsigned char* out, const unsigned char* in, size_t count) {
  size_t i;
  for (i = 0; i < count; ++i, out += 3, in += 4) {
    out[0] = PremultipliedOverWhite(in[0], in[3]);
    out[1] = PremultipliedOverWhite(in[1], in[3]);
    out[2] = PremultipliedOverWhite(in[2], in[3]);
  }
}

void SpiFromRgba16(unsigned char* out, const uint16_t* in, size_t count) {
  size_t i;
  for (i = 0; i < count; ++i, out += 3, in += 4) {
    const unsigned a = SpiRound16(in[3]);
    out[0] = SpiOverWhite(SpiRound16(in[2]), a);
    out[1] = SpiOverWhite(SpiRound16(in[1]), a);
    out[2] = SpiOverWhite(SpiRound16(in[0]), a);
  }
}

/* Pillow's rounding division by 255 of a product of two bytes. */
static unsigned MulDiv255(unsigned a, unsigned b) {
  const unsigned t = a * b + 128u;
  return ((t >> 8) + t) >> 8;
}

void SpiFromCmyk(unsigned char* out, const unsigned char* in, size_t count, int inverted) {
  const unsigned flip = inverted ? 255u : 0u;
  size_t i;
  for (i = 0; i < count; ++i, out += 3, in += 4) {
    const unsigned white = 255u - (in[3] ^ flip); /* 255 - K */
    out[0] = (unsigned char)(white - MulDiv255(in[2] ^ flip, white));
    out[1] = (unsigned char)(white - MulDiv255(in[1] ^ flip, white));
    out[2] = (unsigned char)(white - MulDiv255(in[0] ^ flip, white));
  }
}
