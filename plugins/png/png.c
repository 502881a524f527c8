/*
 * png.spi: PNG images through libspng.
 *
 * Every colour type and bit depth (grey, grey + alpha, palette, RGB, RGBA;
 * 1 to 16 bits), interlaced or not.  Rows are decoded one at a time
 * straight into the 24-bit output, so memory beyond the output is one row:
 * RGB8 where the image has no transparency, RGBA8 with the transparency
 * (alpha channel, palette alpha, tRNS colour key) applied otherwise, and
 * RGBA16 for 16-bit images, rounded to 8 bits.  No gamma or colour profile
 * is applied.
 */
#include <stdlib.h>
#include <string.h>

#include <spng.h>

#include "spi_image.h"

/* Ancillary chunks (text, profiles) may take this much, inflated, so that
 * a compressed text chunk cannot exhaust memory; the image data is bounded
 * by the pixel limit. */
#define PNG_CHUNK_LIMIT ((size_t)1 << 24)
#define PNG_CACHE_LIMIT ((size_t)1 << 26)

static const struct SpiPluginTexts kTexts = {"diffmark PNG plug-in (libspng)", "*.png", "PNG images"};

SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  return SpiPluginInfo(&kTexts, index, buffer, size);
}

/* libspng's failures as GetPicture results. */
static int Reason(int error) {
  switch (error) {
    case SPNG_EMEM: return SPI_ERROR_NO_MEMORY;
    case SPNG_EWIDTH:
    case SPNG_EHEIGHT:
    case SPNG_EUSER_WIDTH:
    case SPNG_EUSER_HEIGHT:
    case SPNG_ECHUNK_LIMITS: return SPI_ERROR_TOO_LARGE; /* e.g. a text chunk inflating past 64 MiB */
    case SPNG_EINTERNAL: return SPI_ERROR_INTERNAL;
    default: return SPI_ERROR_CORRUPT;
  }
}

/* The columns of a row that an Adam7 pass (0 to 6) supplies: the first
 * and the step; pass -1 means a plain, not interlaced row (all of them). */
static void PassColumns(int pass, uint32_t* first, uint32_t* step) {
  static const uint8_t kFirst[7] = {0, 4, 0, 2, 0, 1, 0};
  static const uint8_t kStep[7] = {8, 8, 4, 4, 2, 2, 1};
  if (pass < 0 || pass > 6) {
    *first = 0;
    *step = 1;
  } else {
    *first = kFirst[pass];
    *step = kStep[pass];
  }
}

static int Decode(spng_ctx* ctx, struct SpiImage* image) {
  struct spng_ihdr ihdr;
  struct spng_trns trns;
  struct spng_row_info where;
  int format, error, result;
  uint64_t pixelBytes, rowBytes;
  unsigned char* row;

  error = spng_get_ihdr(ctx, &ihdr);
  if (error != 0) return Reason(error);
  /* The limit, before libspng reads any image data. */
  result = SpiImageBegin(image, ihdr.width, ihdr.height);
  if (result != SPI_OK) return result;

  if (ihdr.bit_depth == 16) {
    format = SPNG_FMT_RGBA16;
    pixelBytes = 8;
  } else if (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
             ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || spng_get_trns(ctx, &trns) == 0) {
    format = SPNG_FMT_RGBA8;
    pixelBytes = 4;
  } else {
    format = SPNG_FMT_RGB8;
    pixelBytes = 3;
  }
  rowBytes = pixelBytes * image->width; /* at most 8 * 2^28 */
  error = spng_decode_image(ctx, NULL, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
  if (error != 0) return Reason(error);
  row = (unsigned char*)malloc((size_t)rowBytes);
  if (row == NULL) return SPI_ERROR_NO_MEMORY;

  /* Rows come in file order; an interlaced image visits each row once a
   * pass, and a pass fills only its own columns of the row buffer. */
  result = SPI_OK;
  for (;;) {
    uint32_t x, first, step;
    unsigned char* out;
    error = spng_get_row_info(ctx, &where);
    /* The last row decoded ends the image; libspng says so with that row
     * only when it is the last of the last pass.  When the passes after
     * it are empty (an interlaced image under 8 pixels a side), it says so
     * here, at the next row asked for. */
    if (error == SPNG_EOI) break;
    if (error != 0) {
      result = Reason(error);
      break;
    }
    error = spng_decode_row(ctx, row, (size_t)rowBytes);
    if (error != 0 && error != SPNG_EOI) {
      result = Reason(error);
      break;
    }
    if (where.row_num >= image->height) {
      result = SPI_ERROR_INTERNAL;
      break;
    }
    out = SpiImageRow(image, where.row_num);
    PassColumns(ihdr.interlace_method == SPNG_INTERLACE_ADAM7 ? where.pass : -1, &first, &step);
    if (step == 1) {
      if (format == SPNG_FMT_RGB8) {
        SpiFromRgb(out, row, image->width);
      } else if (format == SPNG_FMT_RGBA8) {
        SpiFromRgba(out, row, image->width);
      } else {
        SpiFromRgba16(out, (const uint16_t*)(void*)row, image->width);
      }
    } else {
      for (x = first; x < image->width; x += step) {
        if (format == SPNG_FMT_RGB8) {
          SpiFromRgb(out + 3u * x, row + 3u * x, 1);
        } else if (format == SPNG_FMT_RGBA8) {
          SpiFromRgba(out + 3u * x, row + 4u * x, 1);
        } else {
          SpiFromRgba16(out + 3u * x, (const uint16_t*)(void*)(row + 8u * x), 1);
        }
      }
    }
    if (error == SPNG_EOI) break;
  }
  free(row);
  return result;
}

/* A whole file: a PNG, or not ours. */
static int DecodeFile(const unsigned char* data, size_t length, struct SpiImage* image) {
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  spng_ctx* ctx;
  int result;
  if (length < 8 || memcmp(data, kSignature, 8) != 0) return SPI_ERROR_UNSUPPORTED;
  /* The zlib stream's Adler-32 goes unchecked (a twentieth of a decode):
   * every chunk's CRC-32, which covers the same bytes, still is. */
  ctx = spng_ctx_new(SPNG_CTX_IGNORE_ADLER32);
  if (ctx == NULL) return SPI_ERROR_NO_MEMORY;
  result = spng_set_png_buffer(ctx, data, length);
  if (result == 0) result = spng_set_chunk_limits(ctx, PNG_CHUNK_LIMIT, PNG_CACHE_LIMIT);
  result = result != 0 ? SPI_ERROR_INTERNAL : Decode(ctx, image);
  spng_ctx_free(ctx);
  return result;
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  (void)progress;
  (void)user;
  return SpiGetPicture(data, length, flags, info, pixels, DecodeFile);
}
