/*
 * What every format plug-in of this tree hands back, written once and
 * compiled into each of them:
 *
 *   - the size limit: width and height at least 1, at most SPI_MAX_PIXELS
 *     pixels in all, checked from the header before anything is decoded or
 *     allocated;
 *   - the two blocks GetPicture returns: a 40-byte info header (size 40,
 *     1 plane, 24 bits, no compression, 96 in both resolution fields, no
 *     colour table) and the pixel rows: blue, green, red, bottom row first,
 *     each padded to a multiple of 4 bytes;
 *   - the conversion of decoded rows into those rows: channel order, 16-bit
 *     samples rounded to the nearest 8-bit value, alpha composited over
 *     white on the stored values, out = (a*c + (255 - a)*255 + 127) / 255,
 *     and CMYK to RGB the way Pillow does it;
 *   - the GetPluginInfo texts.
 *
 * A decoder fills the rows top to bottom through SpiImageRow(); nothing of
 * it survives a failed call (SpiImageDiscard frees both blocks).
 */
#ifndef DIFFMARK_PLUGINS_SPI_IMAGE_H
#define DIFFMARK_PLUGINS_SPI_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include <diffmark/spi.h>

/* Decoded pixels an image may have: 16384 x 16384 loads, 20000 x 20000 is
 * refused.  The fuzz builds lower it, so that a few bytes of input cannot
 * make every run decode a quarter of a billion pixels. */
#ifndef SPI_MAX_PIXELS
#define SPI_MAX_PIXELS (UINT64_C(1) << 28)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The plug-in's texts for GetPluginInfo: index 0 the interface version,
 * 1 a description, 2 the filter, 3 the name of the file type. */
struct SpiPluginTexts {
  const char* description;
  const char* filter;
  const char* typeName;
};

int32_t SpiPluginInfo(const struct SpiPluginTexts* texts, int32_t index, char* buffer, int32_t size);

/* SPI_OK when a width x height image may be decoded; SPI_ERROR_CORRUPT
 * for a zero side, SPI_ERROR_TOO_LARGE beyond SPI_MAX_PIXELS. */
int SpiCheckSize(uint64_t width, uint64_t height);

/* The 24-bit image being filled. */
struct SpiImage {
  HGLOBAL infoBlock;
  HGLOBAL pixelBlock;
  unsigned char* rows; /* the locked pixel block */
  uint32_t width;
  uint32_t height;
  size_t stride;       /* bytes a row, a multiple of 4 */
};

/* Checks the size and allocates both blocks (zero rows, the header
 * written).  On failure nothing is held and the result says why. */
int SpiImageBegin(struct SpiImage* image, uint64_t width, uint64_t height);

/* The output row that shows image row y, counted from the top. */
static inline unsigned char* SpiImageRow(const struct SpiImage* image, uint32_t y) {
  return image->rows + (size_t)(image->height - 1u - y) * image->stride;
}

/* Hands both blocks to the caller's handles; SPI_OK. */
int SpiImageFinish(struct SpiImage* image, SpiHandle* info, SpiHandle* pixels);

/* Frees whatever the image holds; safe on a zeroed or finished image. */
void SpiImageDiscard(struct SpiImage* image);

/* Decodes a whole file held in memory into `image` (zeroed on entry):
 * SPI_OK, or a code; SPI_ERROR_UNSUPPORTED when the data is not of the
 * plug-in's format.  Whatever `image` holds on failure is freed by the
 * caller. */
typedef int (*SpiDecodeFunction)(const unsigned char* data, size_t length, struct SpiImage* image);

/* The body of every plug-in's GetPicture: refuses what is not a call for a
 * file in memory, decodes with `decode`, and hands both blocks over only on
 * success (on failure both handles are left untouched, nothing held). */
int32_t SpiGetPicture(const char* data, int32_t length, uint32_t flags, SpiHandle* info, SpiHandle* pixels,
                      SpiDecodeFunction decode);

/* ------------------------------------------------------ conversions */

/* A channel value c of coverage a over white. */
static inline unsigned char SpiOverWhite(unsigned c, unsigned a) {
  return (unsigned char)((a * c + (255u - a) * 255u + 127u) / 255u);
}

/* A 16-bit sample rounded to the nearest 8-bit value (v / 257). */
static inline unsigned SpiRound16(unsigned v) { return (v + 128u) / 257u; }

/* `count` pixels into BGR output (`out` and `in` do not overlap): */
void SpiFromRgb(unsigned char* out, const unsigned char* in, size_t count);   /* R G B        */
void SpiFromRgba(unsigned char* out, const unsigned char* in, size_t count);  /* R G B A      */
void SpiFromBgra(unsigned char* out, const unsigned char* in, size_t count);  /* B G R A      */
/* R G B A with the colours already multiplied by alpha (c = a * c' / 255,
 * rounded): over white that is c + 255 - a, the formula above exactly. */
void SpiFromPremultipliedRgba(unsigned char* out, const unsigned char* in, size_t count);
void SpiFromPremultipliedBgra(unsigned char* out, const unsigned char* in, size_t count);
void SpiFromRgba16(unsigned char* out, const uint16_t* in, size_t count);     /* host-order   */
/* C M Y K ink amounts, or with `inverted` their complements (what Adobe
 * applications store in JPEG files), converted as Pillow converts CMYK:
 * each channel (255 - K) - round(ink * (255 - K) / 255). */
void SpiFromCmyk(unsigned char* out, const unsigned char* in, size_t count, int inverted);

#ifdef __cplusplus
}
#endif

#endif /* DIFFMARK_PLUGINS_SPI_IMAGE_H */
