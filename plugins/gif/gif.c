/*
 * gif.spi: GIF images through giflib.
 *
 * The first image of the file (of an animation, its first frame) on the
 * logical screen: the image's pixels where it lies, with its transparent
 * colour composited over white; the rest of the screen, where nothing is
 * drawn yet, white.  Interlaced images are put back in row order.  Only the
 * first image is read; what follows it is not looked at.
 */
#include <stdlib.h>
#include <string.h>

#include <gif_lib.h>

#include "spi_image.h"

static const struct SpiPluginTexts kTexts = {"diffmark GIF plug-in (giflib)", "*.gif", "GIF images"};

SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  return SpiPluginInfo(&kTexts, index, buffer, size);
}

struct Source {
  const unsigned char* data;
  size_t length;
  size_t at;
};

/* giflib's reads, served from the file in memory. */
static int Read(GifFileType* gif, GifByteType* out, int wanted) {
  struct Source* source = (struct Source*)gif->UserData;
  size_t n = wanted > 0 ? (size_t)wanted : 0;
  if (n > source->length - source->at) n = source->length - source->at;
  memcpy(out, source->data + source->at, n);
  source->at += n;
  return (int)n;
}

static int Reason(int error) {
  switch (error) {
    case D_GIF_ERR_NOT_ENOUGH_MEM: return SPI_ERROR_NO_MEMORY;
    case D_GIF_ERR_NOT_GIF_FILE: return SPI_ERROR_UNSUPPORTED;
    default: return SPI_ERROR_CORRUPT;
  }
}

/* Skips extensions up to the first image, keeping its transparent colour. */
static int FindFirstImage(GifFileType* gif, int* transparent) {
  for (;;) {
    GifRecordType type;
    int code;
    GifByteType* block;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) return Reason(gif->Error);
    if (type == IMAGE_DESC_RECORD_TYPE) {
      return DGifGetImageDesc(gif) == GIF_ERROR ? Reason(gif->Error) : SPI_OK;
    }
    if (type != EXTENSION_RECORD_TYPE) return SPI_ERROR_CORRUPT; /* the end, and no image */
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return Reason(gif->Error);
    if (code == GRAPHICS_EXT_FUNC_CODE && block != NULL) {
      GraphicsControlBlock control;
      if (DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK) {
        *transparent = control.TransparentColor;
      }
    }
    while (block != NULL) {
      if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return Reason(gif->Error);
    }
  }
}

/* The image row that line `line` of `height` holds, in the order lines
 * are stored: interlaced images store every 8th row from 0, every 8th from
 * 4, every 4th from 2, then every 2nd from 1. */
static uint32_t InterlacedRow(uint32_t line, uint32_t height) {
  const uint32_t pass1 = (height + 7) / 8, pass2 = (height + 3) / 8, pass3 = (height + 1) / 4;
  if (line < pass1) return line * 8;
  line -= pass1;
  if (line < pass2) return line * 8 + 4;
  line -= pass2;
  if (line < pass3) return line * 4 + 2;
  return (line - pass3) * 2 + 1;
}

static int Decode(GifFileType* gif, struct SpiImage* image) {
  unsigned char colours[256][3]; /* blue, green, red; beyond the map black */
  const ColorMapObject* map;
  GifPixelType* line;
  int transparent = NO_TRANSPARENT_COLOR, result, i;
  uint32_t y, left, top, width, height, shown;

  result = SpiCheckSize(gif->SWidth > 0 ? (uint64_t)gif->SWidth : 0, gif->SHeight > 0 ? (uint64_t)gif->SHeight : 0);
  if (result != SPI_OK) return result;
  result = FindFirstImage(gif, &transparent);
  if (result != SPI_OK) return result;
  left = (uint32_t)gif->Image.Left;
  top = (uint32_t)gif->Image.Top;
  width = (uint32_t)gif->Image.Width;
  height = (uint32_t)gif->Image.Height;
  /* The image is decoded whole even where it leaves the screen. */
  result = SpiCheckSize(width, height);
  if (result != SPI_OK) return result;
  map = gif->Image.ColorMap != NULL ? gif->Image.ColorMap : gif->SColorMap;
  if (map == NULL) return SPI_ERROR_UNSUPPORTED;
  memset(colours, 0, sizeof colours);
  for (i = 0; i < map->ColorCount && i < 256; ++i) {
    colours[i][0] = map->Colors[i].Blue;
    colours[i][1] = map->Colors[i].Green;
    colours[i][2] = map->Colors[i].Red;
  }
  if (transparent >= 0 && transparent < 256) {
    colours[transparent][0] = colours[transparent][1] = colours[transparent][2] = SpiOverWhite(0, 0);
  }

  result = SpiImageBegin(image, (uint64_t)gif->SWidth, (uint64_t)gif->SHeight);
  if (result != SPI_OK) return result;
  for (y = 0; y < image->height; ++y) memset(SpiImageRow(image, y), 255, 3u * (size_t)image->width);

  line = (GifPixelType*)malloc(width);
  if (line == NULL) return SPI_ERROR_NO_MEMORY;
  shown = left < image->width ? image->width - left : 0;
  if (shown > width) shown = width;
  for (y = 0; y < height; ++y) {
    const uint32_t row = top + (gif->Image.Interlace ? InterlacedRow(y, height) : y);
    uint32_t x;
    unsigned char* out;
    if (DGifGetLine(gif, line, (int)width) == GIF_ERROR) {
      result = Reason(gif->Error);
      break;
    }
    if (row >= image->height) continue;
    out = SpiImageRow(image, row) + 3u * (size_t)left;
    for (x = 0; x < shown; ++x, out += 3) memcpy(out, colours[line[x]], 3);
  }
  free(line);
  return result;
}

/* A whole file: a GIF, or not ours. */
static int DecodeFile(const unsigned char* data, size_t length, struct SpiImage* image) {
  struct Source source;
  GifFileType* gif;
  int error = 0, result;
  if (length < 6 || (memcmp(data, "GIF87a", 6) != 0 && memcmp(data, "GIF89a", 6) != 0)) {
    return SPI_ERROR_UNSUPPORTED;
  }
  source.data = data;
  source.length = length;
  source.at = 0;
  gif = DGifOpen(&source, Read, &error);
  if (gif == NULL) return Reason(error);
  result = Decode(gif, image);
  DGifCloseFile(gif, &error);
  return result;
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  (void)progress;
  (void)user;
  return SpiGetPicture(data, length, flags, info, pixels, DecodeFile);
}
