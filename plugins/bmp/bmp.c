/*
 * bmp.spi: BMP images through stb_image, to the same 24-bit rows as every
 * other plug-in: 1-, 4- and 8-bit palettes (a colour count of 0 meaning all
 * 2^bits), 16 bits (5-5-5 or bit fields), 24 and 32 bits, BI_BITFIELDS,
 * the 12-, 40-, 56-, 108- and 124-byte headers (OS/2, Windows 3, V3, V4,
 * V5), bottom-up and top-down.  Run-length compressed files (8- and 4-bit,
 * which ImageMagick writes by default for 8-bit palettes) go to gdk-pixbuf's
 * BMP loader where the build found it, as stb_image does not read them;
 * pixels the runs leave out are transparent there, so white here.
 *
 * A 32-bit BI_RGB file's fourth byte is reserved, not alpha, and is
 * ignored; an alpha mask in the bit fields is alpha, composited over white.
 *
 * Around stb_image, which reads zeros past the end of its input and leaves
 * palette entries beyond a short colour table undefined, this plug-in
 * refuses files whose pixel rows are cut short, and hands stb a copy with
 * the colour table filled up to 2^bits entries (the missing ones black).
 */
#include <stdlib.h>
#include <string.h>

#include <stb_image.h>

#if DIFFMARK_BMP_RLE
#include <dlfcn.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#endif

#include "spi_image.h"

static const struct SpiPluginTexts kTexts = {"diffmark BMP plug-in (stb_image)", "*.bmp;*.dib", "BMP images"};

SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  return SpiPluginInfo(&kTexts, index, buffer, size);
}

static uint32_t U16(const unsigned char* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8); }
static uint32_t U32(const unsigned char* p) { return U16(p) | (U16(p + 2) << 16); }

/* What the headers say about the layout of the file. */
struct Layout {
  uint32_t offset;      /* of the pixel rows */
  uint32_t headerBytes; /* of the info header */
  uint32_t width;
  uint32_t height;      /* rows, whatever their order */
  uint32_t bits;
  uint32_t compression;
  uint32_t entryBytes;  /* of a colour entry: 3 in OS/2 files, else 4 */
};

static int ReadLayout(const unsigned char* data, size_t length, struct Layout* l) {
  int32_t w, h;
  if (length < 26) return SPI_ERROR_CORRUPT;
  l->offset = U32(data + 10);
  l->headerBytes = U32(data + 14);
  if (l->headerBytes == 12) {
    w = (int32_t)U16(data + 18);
    h = (int32_t)U16(data + 20);
    l->bits = U16(data + 24);
    l->compression = 0;
    l->entryBytes = 3;
  } else {
    if (l->headerBytes < 40 || length < 14u + 40u) return SPI_ERROR_CORRUPT;
    w = (int32_t)U32(data + 18);
    h = (int32_t)U32(data + 22);
    l->bits = U16(data + 28);
    l->compression = U32(data + 30);
    l->entryBytes = 4;
  }
  if (w <= 0 || h == 0 || h == INT32_MIN) return SPI_ERROR_CORRUPT;
  l->width = (uint32_t)w;
  l->height = (uint32_t)(h < 0 ? -h : h);
  return SPI_OK;
}


/* Refuses rows cut short: every row up to the last pixel must be there. */
static int CheckRows(const struct Layout* l, size_t length) {
  const uint64_t rowBits = (uint64_t)l->width * l->bits; /* < 2^28 * 2^16 */
  const uint64_t stride = (rowBits + 31) / 32 * 4;
  const uint64_t needed = l->offset + stride * (l->height - 1u) + (rowBits + 7) / 8;
  if (l->compression != 0 && l->compression != 3) return SPI_ERROR_UNSUPPORTED; /* RLE, JPEG, PNG */
  return needed <= length ? SPI_OK : SPI_ERROR_CORRUPT;
}

#if DIFFMARK_BMP_RLE
#define BI_RLE8 1u
#define BI_RLE4 2u

static int IsRunLength(const struct Layout* l) {
  return (l->compression == BI_RLE8 && l->bits == 8) || (l->compression == BI_RLE4 && l->bits == 4);
}

/* A run-length file through gdk-pixbuf.  Its library registers types with
 * GLib, which cannot take them back: it must stay loaded once used, even
 * when this plug-in is unloaded after the call. */
static int DecodeRunLength(const unsigned char* data, size_t length, const struct Layout* l,
                           struct SpiImage* image) {
  static void* pinned = NULL;
  GError* error = NULL;
  GdkPixbufLoader* loader;
  GdkPixbuf* pixbuf = NULL;
  gboolean written, closed;
  int result = SPI_ERROR_CORRUPT;
  uint32_t y;
  /* gdk-pixbuf sizes its buffers from the header fields as they are, and
   * hands back what a cut stream holds as if it were whole: the header must
   * be one of the known sizes, its colour count within 2^bits and its table
   * in the file before the pixels, and the file must hold all the
   * compressed bytes the header states. */
  const uint64_t compressed = length >= 54 ? U32(data + 34) : 0;
  const uint64_t colours = length >= 54 ? U32(data + 46) : 0;
  const uint64_t tableEnd = 14u + (uint64_t)l->headerBytes + 4u * colours;
  const uint32_t h = l->headerBytes;
  if ((h != 40 && h != 52 && h != 56 && h != 64 && h != 108 && h != 124) || colours > (1u << l->bits) ||
      tableEnd > l->offset || l->offset > length || compressed == 0 || compressed > length - l->offset) {
    return SPI_ERROR_CORRUPT;
  }
  if (pinned == NULL) pinned = dlopen("libgdk_pixbuf-2.0.so.0", RTLD_NOW | RTLD_NODELETE);
  if (pinned == NULL) return SPI_ERROR_INTERNAL;
  loader = gdk_pixbuf_loader_new_with_type("bmp", &error);
  if (loader == NULL) {
    g_clear_error(&error);
    return SPI_ERROR_INTERNAL;
  }
  written = gdk_pixbuf_loader_write(loader, data, length, &error);
  g_clear_error(&error);
  closed = gdk_pixbuf_loader_close(loader, &error); /* always closed, even after a failed write */
  g_clear_error(&error);
  if (written && closed) pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  if (pixbuf != NULL && gdk_pixbuf_get_colorspace(pixbuf) == GDK_COLORSPACE_RGB &&
      gdk_pixbuf_get_bits_per_sample(pixbuf) == 8 && (uint32_t)gdk_pixbuf_get_width(pixbuf) == l->width &&
      (uint32_t)gdk_pixbuf_get_height(pixbuf) == l->height) {
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const size_t stride = (size_t)gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    result = channels == 3 || channels == 4 ? SpiImageBegin(image, l->width, l->height) : SPI_ERROR_INTERNAL;
    for (y = 0; result == SPI_OK && y < image->height; ++y) { /* rows top down */
      if (channels == 4) {
        SpiFromRgba(SpiImageRow(image, y), pixels + y * stride, image->width);
      } else {
        SpiFromRgb(SpiImageRow(image, y), pixels + y * stride, image->width);
      }
    }
  }
  g_object_unref(loader);
  return result;
}
#endif

/* A copy of a palette file whose colour table stb_image reads as all
 * 2^bits entries (those the file lacks black), in *copy; NULL when the file
 * needs none.  stb counts the entries from the pixel offset, and counts an
 * OS/2 table 12 bytes short: the copy holds those 12 bytes more. */
static int FillColourTable(const unsigned char* data, size_t length, const struct Layout* l,
                           unsigned char** copy, size_t* copyLength) {
  const uint64_t tableAt = 14u + (uint64_t)l->headerBytes;
  const uint64_t slack = l->headerBytes == 12 ? 12u : 0u;
  uint64_t held, wanted, offset;
  *copy = NULL;
  if (l->bits > 8 || l->offset < tableAt || l->offset > length) return SPI_OK;
  held = (l->offset - tableAt) / l->entryBytes;
  wanted = (uint64_t)1 << l->bits;
  if (held == 0 || held * l->entryBytes >= wanted * l->entryBytes + slack) return SPI_OK;
  if (held > wanted) held = wanted;
  offset = tableAt + wanted * l->entryBytes + slack; /* < 14 + 2^32 + 1036 */
  *copyLength = (size_t)(offset + (length - l->offset));
  *copy = (unsigned char*)calloc(1, *copyLength);
  if (*copy == NULL) return SPI_ERROR_NO_MEMORY;
  memcpy(*copy, data, (size_t)(tableAt + held * l->entryBytes));
  memcpy(*copy + offset, data + l->offset, length - l->offset);
  (*copy)[10] = (unsigned char)offset;
  (*copy)[11] = (unsigned char)(offset >> 8);
  (*copy)[12] = (unsigned char)(offset >> 16);
  (*copy)[13] = (unsigned char)(offset >> 24);
  return SPI_OK;
}

static int Decode(const unsigned char* data, size_t length, struct SpiImage* image) {
  struct Layout layout;
  unsigned char* copy = NULL;
  size_t copyLength = 0;
  stbi_uc* decoded;
  int width, height, channels, wanted, result;
  uint32_t y;

  /* Everything is checked from the headers before stb allocates. */
  result = ReadLayout(data, length, &layout);
  if (result == SPI_OK) result = SpiCheckSize(layout.width, layout.height);
#if DIFFMARK_BMP_RLE
  if (result == SPI_OK && IsRunLength(&layout)) return DecodeRunLength(data, length, &layout, image);
#endif
  if (result == SPI_OK) result = CheckRows(&layout, length);
  if (result == SPI_OK) result = FillColourTable(data, length, &layout, &copy, &copyLength);
  if (result != SPI_OK) return result;
  if (copy != NULL) {
    data = copy;
    length = copyLength;
  }
  wanted = layout.bits == 32 && layout.compression == 0 ? 3 : 4;
  decoded = length <= INT32_MAX ? stbi_load_from_memory(data, (int)length, &width, &height, &channels, wanted)
                                : NULL;
  free(copy);
  if (decoded == NULL) return SPI_ERROR_CORRUPT;
  result = (uint32_t)width == layout.width && (uint32_t)height == layout.height
               ? SpiImageBegin(image, layout.width, layout.height)
               : SPI_ERROR_INTERNAL;
  if (result == SPI_OK) {
    /* stb hands back rows top down. */
    for (y = 0; y < image->height; ++y) {
      const stbi_uc* in = decoded + (size_t)y * image->width * (size_t)wanted;
      if (wanted == 3) {
        SpiFromRgb(SpiImageRow(image, y), in, image->width);
      } else {
        SpiFromRgba(SpiImageRow(image, y), in, image->width);
      }
    }
  }
  stbi_image_free(decoded);
  return result;
}

/* A whole file: a BMP, or not ours. */
static int DecodeFile(const unsigned char* data, size_t length, struct SpiImage* image) {
  if (length < 2 || data[0] != 'B' || data[1] != 'M') return SPI_ERROR_UNSUPPORTED;
  return Decode(data, length, image);
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  (void)progress;
  (void)user;
  return SpiGetPicture(data, length, flags, info, pixels, DecodeFile);
}
