/*
 * netpbm.spi: an image-input plug-in for binary Netpbm images.
 *
 *   P6 (PPM, colour)  -> 24 bits per pixel, rows of blue, green, red
 *   P5 (PGM, grey)    -> 8 bits per pixel with a 256-entry grey colour table
 *
 * Samples are scaled from 0..maxval to 0..255.  Rows are written bottom row
 * first, each padded to a multiple of 4 bytes, as GetPicture promises.
 *
 * Refused with a non-zero result, allocating nothing: a magic other than
 * P5/P6, a malformed header, a width or height of 0 or above 2^24, an
 * image whose blocks would exceed 1 GiB, a maxval outside 1..255, and pixel
 * data shorter than the header says.
 */
#include <string.h>

#include <diffmark/spi.h>

#define NETPBM_MAX_DIMENSION (1u << 24)
#define NETPBM_MAX_BLOCK (1ull << 30)

/* What GetPicture returns, in the interface's terms, so the host can say why. */
enum {
  kOk = SPI_OK,
  kNotNetpbm = SPI_ERROR_UNSUPPORTED,
  kBadHeader = SPI_ERROR_CORRUPT,
  kTooLarge = SPI_ERROR_TOO_LARGE,
  kShortData = SPI_ERROR_CORRUPT,
  kNoMemory = SPI_ERROR_NO_MEMORY
};

SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  const char* text;
  size_t length;
  switch (index) {
    case 0: text = "00IN"; break;
    case 1: text = "diffmark Netpbm plug-in (binary PPM and PGM)"; break;
    case 2: text = "*.ppm;*.pgm;*.pnm"; break;
    case 3: text = "Netpbm images"; break;
    default: return 0;
  }
  if (buffer == NULL || size <= 0) return 0;
  length = strlen(text);
  if (length >= (size_t)size) length = (size_t)size - 1;
  memcpy(buffer, text, length);
  buffer[length] = '\0';
  return (int32_t)length;
}

struct Reader {
  const unsigned char* data;
  size_t length;
  size_t at;
};

static int IsSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

/* Skips white space and '#' comments (to the end of their line). */
static void SkipSpace(struct Reader* r) {
  while (r->at < r->length) {
    if (IsSpace(r->data[r->at])) {
      ++r->at;
    } else if (r->data[r->at] == '#') {
      while (r->at < r->length && r->data[r->at] != '\n' && r->data[r->at] != '\r') ++r->at;
    } else {
      break;
    }
  }
}

/* A decimal number of at most 9 digits; 0 when there is none. */
static int ReadNumber(struct Reader* r, uint32_t* value) {
  int digits = 0;
  uint32_t v = 0;
  SkipSpace(r);
  while (r->at < r->length && r->data[r->at] >= '0' && r->data[r->at] <= '9') {
    if (++digits > 9) return 0;
    v = v * 10 + (uint32_t)(r->data[r->at++] - '0');
  }
  *value = v;
  return digits > 0;
}

static HGLOBAL Allocate(size_t bytes, unsigned char** locked) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
  if (block == NULL) return NULL;
  *locked = (unsigned char*)GlobalLock(block);
  if (*locked == NULL) {
    GlobalFree(block);
    return NULL;
  }
  memset(*locked, 0, bytes);
  return block;
}

static void PutU16(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
}
static void PutU32(unsigned char* p, uint32_t v) {
  PutU16(p, v);
  PutU16(p + 2, v >> 16);
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  struct Reader r;
  uint32_t width, height, maxval, bits, x, y, entries, infoBytes;
  uint64_t stride, imageBytes, rowSamples;
  HGLOBAL infoBlock, pixelBlock;
  unsigned char *head, *out;
  unsigned char scale[256];
  (void)progress;
  (void)user;

  if (info == NULL || pixels == NULL || data == NULL || length < 2 || (flags & 7u) != SPI_FLAG_MEMORY) {
    return kNotNetpbm;
  }
  r.data = (const unsigned char*)data;
  r.length = (size_t)length;
  r.at = 2;
  if (r.data[0] != 'P' || (r.data[1] != '5' && r.data[1] != '6')) return kNotNetpbm;
  bits = r.data[1] == '6' ? 24u : 8u;
  if (!ReadNumber(&r, &width) || !ReadNumber(&r, &height) || !ReadNumber(&r, &maxval)) return kBadHeader;
  /* Exactly one white-space byte separates the header from the samples. */
  if (r.at >= r.length || !IsSpace(r.data[r.at])) return kBadHeader;
  ++r.at;
  if (maxval < 1 || width == 0 || height == 0) return kBadHeader;
  if (maxval > 255) return kNotNetpbm; /* 16-bit samples: a variant this plug-in does not read */
  if (width > NETPBM_MAX_DIMENSION || height > NETPBM_MAX_DIMENSION) return kTooLarge;
  rowSamples = (uint64_t)width * (bits / 8);
  stride = (rowSamples + 3) / 4 * 4;
  imageBytes = stride * height;
  if (imageBytes > NETPBM_MAX_BLOCK) return kTooLarge;
  if ((uint64_t)(r.length - r.at) < rowSamples * height) return kShortData;

  entries = bits == 8 ? 256u : 0u;
  infoBytes = 40u + 4u * entries;
  infoBlock = Allocate(infoBytes, &head);
  if (infoBlock == NULL) return kNoMemory;
  pixelBlock = Allocate((size_t)imageBytes, &out);
  if (pixelBlock == NULL) {
    GlobalUnlock(infoBlock);
    GlobalFree(infoBlock);
    return kNoMemory;
  }

  PutU32(head + 0, 40);
  PutU32(head + 4, width);
  PutU32(head + 8, height);
  PutU16(head + 12, 1);
  PutU16(head + 14, bits);
  PutU32(head + 16, 0);
  PutU32(head + 20, (uint32_t)imageBytes);
  PutU32(head + 24, 2835); /* 72 dpi */
  PutU32(head + 28, 2835);
  PutU32(head + 32, entries);
  PutU32(head + 36, 0);
  for (x = 0; x < entries; ++x) {
    head[40 + 4 * x] = head[41 + 4 * x] = head[42 + 4 * x] = (unsigned char)x;
  }

  for (x = 0; x < 256; ++x) scale[x] = (unsigned char)(x >= maxval ? 255u : (x * 255u + maxval / 2) / maxval);

  /* Netpbm stores the top row first; the block wants the bottom row first. */
  for (y = 0; y < height; ++y) {
    const unsigned char* in = r.data + r.at + (uint64_t)y * rowSamples;
    unsigned char* row = out + (uint64_t)(height - 1 - y) * stride;
    if (bits == 24) {
      for (x = 0; x < width; ++x) {
        row[3 * x + 0] = scale[in[3 * x + 2]];
        row[3 * x + 1] = scale[in[3 * x + 1]];
        row[3 * x + 2] = scale[in[3 * x + 0]];
      }
    } else {
      for (x = 0; x < width; ++x) row[x] = scale[in[x]];
    }
  }

  GlobalUnlock(infoBlock);
  GlobalUnlock(pixelBlock);
  *info = infoBlock;
  *pixels = pixelBlock;
  return kOk;
}
