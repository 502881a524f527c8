/*
 * A complete plug-in: decodes "solid" files, a line of text
 * "SOLID width height red green blue", into a 24-bit image of one colour.
 */
#include <stdio.h>
#include <string.h>

#include <diffmark/spi.h>

SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  const char filter[] = "*.solid";
  if (index != SPI_INFO_INDEX_FILTER || size < (int32_t)sizeof filter) return 0;
  memcpy(buffer, filter, sizeof filter);
  return (int32_t)sizeof filter - 1;
}

static HGLOBAL NewBlock(size_t bytes, unsigned char** memory) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
  *memory = block != NULL ? (unsigned char*)GlobalLock(block) : NULL;
  return block;
}

static void Put32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  char text[64];
  int w, h, r, g, b;
  unsigned char *header, *rows;
  size_t stride, y, x;
  (void)flags;
  (void)progress;
  (void)user;
  if (length <= 0 || length >= (int32_t)sizeof text) return SPI_ERROR_UNSUPPORTED;
  memcpy(text, data, (size_t)length);
  text[length] = '\0';
  if (sscanf(text, "SOLID %d %d %d %d %d", &w, &h, &r, &g, &b) != 5) return SPI_ERROR_UNSUPPORTED;
  if (w < 1 || h < 1 || w > 1024 || h > 1024) return SPI_ERROR_TOO_LARGE;

  stride = ((size_t)w * 3 + 3) / 4 * 4;
  *info = NewBlock(40, &header);
  *pixels = NewBlock(stride * (size_t)h, &rows);
  if (header == NULL || rows == NULL) return SPI_ERROR_NO_MEMORY; /* the host frees what is there */
  memset(header, 0, 40);
  Put32(header, 40);
  Put32(header + 4, (uint32_t)w);
  Put32(header + 8, (uint32_t)h);
  header[12] = 1;  /* planes */
  header[14] = 24; /* bits per pixel */
  for (y = 0; y < (size_t)h; ++y) {
    for (x = 0; x < (size_t)w; ++x) {
      unsigned char* p = rows + y * stride + 3 * x;
      p[0] = (unsigned char)b;
      p[1] = (unsigned char)g;
      p[2] = (unsigned char)r;
    }
  }
  GlobalUnlock(*info);
  GlobalUnlock(*pixels);
  return SPI_OK;
}
