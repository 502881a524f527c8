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
 *
 * Where libdeflate is found, a file that is not interlaced and whose rows
 * come to at most 32 MiB has its image data inflated by libdeflate first
 * and handed to libspng as stored (uncompressed) deflate blocks: zlib's
 * inflate took over half of a screenshot's decode, libdeflate does the
 * same in a tenth of the time.  libspng still reads every chunk, undoes
 * the row filters and converts, so the pixels are the same either way;
 * the rows' filtered bytes are held once more meanwhile.  Anything
 * libdeflate refuses goes the usual way, and fails there for its reason.
 */
#include <stdlib.h>
#include <string.h>

#include <spng.h>
#if DIFFMARK_PNG_LIBDEFLATE
#include <libdeflate.h>
#endif

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

/* Frees a locked block of the host's, if any. */
static void ReleaseBlock(HGLOBAL* block) {
  if (*block == NULL) return;
  GlobalUnlock(*block);
  GlobalFree(*block);
  *block = NULL;
}

#if DIFFMARK_PNG_LIBDEFLATE
/* Rows (filter bytes included) inflated ahead at most: a 3840 x 2160
 * RGB screenshot is 25 MB.  Two pictures decode at once, and each holds
 * this much more for its decode. */
#define PNG_REINFLATE_LIMIT ((uint64_t)1 << 25)
/* Bytes a stored deflate block holds at most. */
#define PNG_STORED_BLOCK 65535u

static uint32_t ReadBe32(const unsigned char* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

static void WriteBe32(unsigned char* p, uint32_t value) {
  p[0] = (unsigned char)(value >> 24);
  p[1] = (unsigned char)(value >> 16);
  p[2] = (unsigned char)(value >> 8);
  p[3] = (unsigned char)value;
}

/* The bytes of a row of the image IHDR describes, its filter byte
 * included; 0 for an interlaced image or a header libspng would refuse. */
static uint64_t FilteredRowBytes(const unsigned char* ihdr) {
  const uint64_t width = ReadBe32(ihdr);
  const unsigned depth = ihdr[8], colour = ihdr[9], interlace = ihdr[12];
  unsigned channels;
  switch (colour) {
    case 0: channels = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16; break;
    case 2: channels = depth == 8 || depth == 16 ? 3 : 0; break;
    case 3: channels = depth == 1 || depth == 2 || depth == 4 || depth == 8; break;
    case 4: channels = depth == 8 || depth == 16 ? 2 : 0; break;
    case 6: channels = depth == 8 || depth == 16 ? 4 : 0; break;
    default: channels = 0;
  }
  if (channels == 0 || interlace != 0 || width == 0 || width > 0x7FFFFFFFu) return 0;
  return (width * channels * depth + 7) / 8 + 1;
}

/* The file again, its IDAT chunks replaced by one holding the same rows
 * in stored deflate blocks (each 5 bytes of header and up to 65535 bytes),
 * inflated by libdeflate, which also checks the stream's Adler-32; NULL
 * where the file does not qualify, is damaged or libdeflate fails.  Its
 * chunks' CRCs are checked here, so the new IDAT's is left 0 (libspng is
 * told to skip them).  The block comes from the host, locked (*block;
 * ReleaseBlock it): the host's large blocks are huge pages, filled in at
 * once, where a malloc'd one took a page fault every 4 KiB, which cost
 * more than zlib's inflate. */
static unsigned char* Reinflated(const unsigned char* data, size_t length, size_t* newLength, HGLOBAL* block) {
  size_t at = 8, first = 0, end = 0, compressed = 0;
  uint64_t rowBytes, height, rows, blocks, idatBytes, total;
  unsigned char *out, *stream, *joined = NULL;
  const unsigned char* in;
  struct libdeflate_decompressor* inflater;
  enum libdeflate_result inflated;
  uint32_t adler, k;

  if (length < 8 + 25 || ReadBe32(data + 8) != 13 || memcmp(data + 12, "IHDR", 4) != 0) return NULL;
  rowBytes = FilteredRowBytes(data + 16);
  height = ReadBe32(data + 20);
  if (rowBytes == 0 || height == 0 || height > 0x7FFFFFFFu || ReadBe32(data + 16) * height > SPI_MAX_PIXELS) {
    return NULL;
  }
  rows = rowBytes * height;
  if (rows > PNG_REINFLATE_LIMIT) return NULL;
  /* Every chunk up to IEND whole and its CRC-32 right, and one run of
   * IDAT chunks: [first, end). */
  for (;;) {
    uint32_t chunk;
    int idat;
    if (at > length - 12) return NULL;
    chunk = ReadBe32(data + at);
    if (chunk > length - 12 - at) return NULL;
    if (libdeflate_crc32(0, data + at + 4, (size_t)chunk + 4) != ReadBe32(data + at + 8 + chunk)) return NULL;
    idat = memcmp(data + at + 4, "IDAT", 4) == 0;
    if (idat && end != 0 && end != at) return NULL;
    if (idat && first == 0) first = at;
    if (idat) compressed += chunk;
    at += 12 + (size_t)chunk;
    if (idat) end = at;
    if (memcmp(data + at - chunk - 8, "IEND", 4) == 0) break;
  }
  if (first == 0 || compressed == 0) return NULL;
  blocks = (rows + PNG_STORED_BLOCK - 1) / PNG_STORED_BLOCK;
  idatBytes = 2 + 5 * blocks + rows + 4;
  if (idatBytes > 0x7FFFFFFFu) return NULL;
  total = first + 12 + idatBytes + (length - end);
  *block = GlobalAlloc(GMEM_MOVEABLE, (size_t)total);
  out = *block == NULL ? NULL : (unsigned char*)GlobalLock(*block);
  if (out == NULL) {
    if (*block != NULL) GlobalFree(*block);
    *block = NULL;
    return NULL;
  }

  /* The compressed stream, joined when it spans several chunks. */
  if (end - first == 12 + compressed) {
    in = data + first + 8;
  } else {
    unsigned char* put = joined = (unsigned char*)malloc(compressed);
    if (joined == NULL) {
      ReleaseBlock(block);
      return NULL;
    }
    for (at = first; at < end; at += 12 + (size_t)ReadBe32(data + at)) {
      memcpy(put, data + at + 8, ReadBe32(data + at));
      put += ReadBe32(data + at);
    }
    in = joined;
  }
  /* Inflated behind the room for the block headers, then each block moved
   * down to its place: every block lands below where it came from. */
  stream = out + first + 8;
  inflater = libdeflate_alloc_decompressor();
  inflated = inflater == NULL ? LIBDEFLATE_BAD_DATA
                              : libdeflate_zlib_decompress(inflater, in, compressed, stream + 2 + 5 * blocks,
                                                           (size_t)rows, NULL);
  libdeflate_free_decompressor(inflater);
  free(joined);
  if (inflated != LIBDEFLATE_SUCCESS) {
    ReleaseBlock(block);
    return NULL;
  }
  adler = libdeflate_adler32(1, stream + 2 + 5 * blocks, (size_t)rows);
  memcpy(out, data, first);
  WriteBe32(out + first, (uint32_t)idatBytes);
  memcpy(out + first + 4, "IDAT", 4);
  stream[0] = 0x78; /* deflate, 32 KiB window */
  stream[1] = 0x01;
  for (k = 0; k < blocks; ++k) {
    const uint64_t from = (uint64_t)k * PNG_STORED_BLOCK;
    const unsigned size = (unsigned)(rows - from < PNG_STORED_BLOCK ? rows - from : PNG_STORED_BLOCK);
    unsigned char* stored = stream + 2 + (uint64_t)k * (5 + PNG_STORED_BLOCK);
    memmove(stored + 5, stream + 2 + 5 * blocks + from, size);
    stored[0] = (unsigned char)(k + 1 == blocks); /* BFINAL on the last, BTYPE 00: stored */
    stored[1] = (unsigned char)size;
    stored[2] = (unsigned char)(size >> 8);
    stored[3] = (unsigned char)~size;
    stored[4] = (unsigned char)(~size >> 8);
  }
  WriteBe32(stream + idatBytes - 4, adler);
  WriteBe32(stream + idatBytes, 0);
  memcpy(stream + idatBytes + 4, data + end, length - end);
  *newLength = (size_t)total;
  return out;
}
#endif

/* A whole file: a PNG, or not ours. */
static int DecodeFile(const unsigned char* data, size_t length, struct SpiImage* image) {
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  spng_ctx* ctx;
  int result;
  HGLOBAL again = NULL;
  if (length < 8 || memcmp(data, kSignature, 8) != 0) return SPI_ERROR_UNSUPPORTED;
#if DIFFMARK_PNG_LIBDEFLATE
  {
    size_t againLength = 0;
    const unsigned char* rebuilt = Reinflated(data, length, &againLength, &again);
    if (rebuilt != NULL) {
      data = rebuilt;
      length = againLength;
    }
  }
#endif
  /* The zlib stream's Adler-32 goes unchecked (a twentieth of a decode):
   * every chunk's CRC-32, which covers the same bytes, still is. */
  ctx = spng_ctx_new(SPNG_CTX_IGNORE_ADLER32);
  if (ctx == NULL) {
    ReleaseBlock(&again);
    return SPI_ERROR_NO_MEMORY;
  }
  result = spng_set_png_buffer(ctx, data, length);
  /* Checked by Reinflated; the new IDAT's would take a pass over the rows. */
  if (result == 0 && again != NULL) result = spng_set_crc_action(ctx, SPNG_CRC_USE, SPNG_CRC_USE);
  if (result == 0) result = spng_set_chunk_limits(ctx, PNG_CHUNK_LIMIT, PNG_CACHE_LIMIT);
  result = result != 0 ? SPI_ERROR_INTERNAL : Decode(ctx, image);
  spng_ctx_free(ctx);
  ReleaseBlock(&again);
  return result;
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  (void)progress;
  (void)user;
  return SpiGetPicture(data, length, flags, info, pixels, DecodeFile);
}
