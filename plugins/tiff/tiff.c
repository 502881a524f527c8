/*
 * tiff.spi: TIFF images through libtiff's RGBA interface.
 *
 * The first image of the file, in every layout that TIFFRGBAImage reads
 * (bilevel, grey, palette, RGB, with or without alpha, 1 to 16 bits,
 * strips or tiles, contiguous or separate planes, the common
 * compressions), with its rows as stored: the Orientation tag is not
 * applied.  libtiff hands back 8-bit samples with the alpha multiplied in,
 * which are composited over white.  Errors and warnings stay inside: a
 * file libtiff complains about fails with a reason, nothing is printed.
 *
 * Where libtiff's own conversion drops information, it is done here: grey
 * images of 8 or 16 bits get a pixel routine of their own (libtiff keeps
 * the high byte of 16-bit grey and ignores unassociated grey alpha).
 * Palettes are left to libtiff, which keeps the high byte of each 16-bit
 * colour map value: a map holds 8-bit colours as v * 256 (Pillow) or
 * v * 257 (libtiff's tools, ImageMagick), and the high byte is v for both,
 * where rounding (v / 257) would make v * 256 one lower from v = 129 on.
 */
#include <stdlib.h>
#include <string.h>

#include <tiffio.h>

#include "spi_image.h"

static const struct SpiPluginTexts kTexts = {"diffmark TIFF plug-in (libtiff)", "*.tif;*.tiff", "TIFF images"};

SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  return SpiPluginInfo(&kTexts, index, buffer, size);
}

/* The file in memory, as libtiff's client I/O sees it. */
struct Source {
  const unsigned char* data;
  toff_t length;
  toff_t at;
  int failed; /* libtiff reported an error */
};

static tmsize_t Read(thandle_t handle, void* out, tmsize_t wanted) {
  struct Source* s = (struct Source*)handle;
  toff_t n = wanted > 0 ? (toff_t)wanted : 0;
  if (s->at >= s->length) return 0;
  if (n > s->length - s->at) n = s->length - s->at;
  memcpy(out, s->data + s->at, (size_t)n);
  s->at += n;
  return (tmsize_t)n;
}

static tmsize_t Write(thandle_t handle, void* in, tmsize_t bytes) {
  (void)handle;
  (void)in;
  (void)bytes;
  return -1;
}

static toff_t Seek(thandle_t handle, toff_t offset, int whence) {
  struct Source* s = (struct Source*)handle;
  toff_t base = whence == SEEK_CUR ? s->at : whence == SEEK_END ? s->length : 0;
  if (offset > UINT64_MAX - base) return (toff_t)-1;
  s->at = base + offset;
  return s->at;
}

static int Close(thandle_t handle) {
  (void)handle;
  return 0;
}

static toff_t Size(thandle_t handle) { return ((struct Source*)handle)->length; }

/* The file is in memory already: libtiff reads it in place. */
static int Map(thandle_t handle, void** base, toff_t* size) {
  struct Source* s = (struct Source*)handle;
  *base = (void*)(uintptr_t)s->data;
  *size = s->length;
  return 1;
}

static void Unmap(thandle_t handle, void* base, toff_t size) {
  (void)handle;
  (void)base;
  (void)size;
}

static int OnError(TIFF* tif, void* user, const char* module, const char* format, va_list args) {
  (void)tif;
  (void)module;
  (void)format;
  (void)args;
  if (user != NULL) ((struct Source*)user)->failed = 1;
  return 1; /* handled: nothing printed */
}

/* Warnings are mostly about tags libtiff does not know, and are ignored;
 * but a tag whose value lies past the end of the file ("IO error during
 * reading of ...; tag ignored") means the file is cut short, and libtiff
 * would go on without it (a palette image without its colours, as grey). */
static int OnWarning(TIFF* tif, void* user, const char* module, const char* format, va_list args) {
  (void)tif;
  (void)module;
  (void)args;
  if (user != NULL && strstr(format, "IO error") != NULL) ((struct Source*)user)->failed = 1;
  return 1;
}

/* An 8-bit value of a grey sample: 16-bit ones rounded, white-is-zero
 * files turned around. */
static unsigned GreyValue(const TIFFRGBAImage* img, const unsigned char* sample) {
  unsigned v;
  if (img->bitspersample == 16) {
    uint16_t wide;
    memcpy(&wide, sample, 2); /* libtiff hands back native byte order */
    v = SpiRound16(wide);
  } else {
    v = *sample;
  }
  return img->photometric == PHOTOMETRIC_MINISWHITE ? 255u - v : v;
}

/* libtiff's pixel routine for contiguous grey of 8 or 16 bits, with the
 * first extra sample as alpha when the file says it is.  Writes what the
 * rest of libtiff writes: R G B A packed, the alpha multiplied in.  The
 * skews count pixels. */
static void PutGrey(TIFFRGBAImage* img, uint32_t* out, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
                    int32_t fromSkew, int32_t toSkew, unsigned char* in) {
  const size_t sampleBytes = img->bitspersample / 8u;
  const size_t pixelBytes = sampleBytes * img->samplesperpixel;
  const int hasAlpha = img->alpha != 0 && img->samplesperpixel >= 2;
  (void)x;
  (void)y;
  for (; h > 0; --h) {
    uint32_t n;
    for (n = w; n > 0; --n, in += pixelBytes) {
      unsigned v = GreyValue(img, in), a = 255;
      if (hasAlpha) {
        a = img->bitspersample == 16 ? GreyValue(img, in + 2) : in[1];
        if (img->photometric == PHOTOMETRIC_MINISWHITE) a = 255u - a; /* undo the turn */
        if (img->alpha == EXTRASAMPLE_UNASSALPHA) v = (a * v + 127u) / 255u;
      }
      *out++ = (uint32_t)v | ((uint32_t)v << 8) | ((uint32_t)v << 16) | ((uint32_t)a << 24);
    }
    out += toSkew;
    in += (ptrdiff_t)fromSkew * (ptrdiff_t)pixelBytes;
  }
}

static int Decode(TIFF* tif, struct Source* source, struct SpiImage* image) {
  TIFFRGBAImage reader;
  char message[1024];
  uint32_t width = 0, height = 0, y;
  uint32_t* raster;
  int result, ok;

  if (source->failed || !TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height)) {
    return SPI_ERROR_CORRUPT;
  }
  result = SpiImageBegin(image, width, height);
  if (result != SPI_OK) return result;
  if (!TIFFRGBAImageOK(tif, message) || !TIFFRGBAImageBegin(&reader, tif, 1, message)) {
    return source->failed ? SPI_ERROR_CORRUPT : SPI_ERROR_UNSUPPORTED;
  }
  /* Rows in the order they are stored: ask for the file's own orientation,
   * so that nothing is flipped. */
  reader.req_orientation = reader.orientation;
  if (reader.isContig && (reader.bitspersample == 8 || reader.bitspersample == 16) &&
      (reader.photometric == PHOTOMETRIC_MINISBLACK || reader.photometric == PHOTOMETRIC_MINISWHITE)) {
    reader.put.contig = PutGrey;
  }

  /* One 32-bit pixel each, within the pixel limit. */
  raster = (uint32_t*)malloc((size_t)width * (size_t)height * sizeof *raster);
  if (raster == NULL) {
    TIFFRGBAImageEnd(&reader);
    return SPI_ERROR_NO_MEMORY;
  }
  ok = TIFFRGBAImageGet(&reader, raster, width, height);
  TIFFRGBAImageEnd(&reader);
  if (!ok || source->failed) {
    free(raster);
    return SPI_ERROR_CORRUPT;
  }
  /* Packed as A B G R from the high byte down: R, G, B, A in memory on a
   * little-endian machine; spelled out so that it holds on any. */
  for (y = 0; y < height; ++y) {
    const uint32_t* in = raster + (size_t)y * width;
    unsigned char* out = SpiImageRow(image, y);
    uint32_t x;
    for (x = 0; x < width; ++x, out += 3) {
      unsigned char rgba[4];
      rgba[0] = (unsigned char)TIFFGetR(in[x]);
      rgba[1] = (unsigned char)TIFFGetG(in[x]);
      rgba[2] = (unsigned char)TIFFGetB(in[x]);
      rgba[3] = (unsigned char)TIFFGetA(in[x]);
      SpiFromPremultipliedRgba(out, rgba, 1);
    }
  }
  free(raster);
  return SPI_OK;
}

/* A whole file: a TIFF, or not ours. */
static int DecodeFile(const unsigned char* data, size_t length, struct SpiImage* image) {
  struct Source source;
  TIFFOpenOptions* options;
  TIFF* tif;
  int result;
  if (length < 8 || (memcmp(data, "II", 2) != 0 && memcmp(data, "MM", 2) != 0)) return SPI_ERROR_UNSUPPORTED;
  source.data = data;
  source.length = (toff_t)length;
  source.at = 0;
  source.failed = 0;
  options = TIFFOpenOptionsAlloc();
  if (options == NULL) return SPI_ERROR_NO_MEMORY;
  TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, &source);
  TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, &source);
  /* No single allocation inside libtiff beyond what a strip of an image
   * within the limit needs (4 samples of 16 bits). */
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, (tmsize_t)(SPI_MAX_PIXELS * 8u));
  tif = TIFFClientOpenExt("memory", "r", (thandle_t)&source, Read, Write, Seek, Close, Size, Map, Unmap, options);
  TIFFOpenOptionsFree(options);
  if (tif == NULL) return source.failed ? SPI_ERROR_CORRUPT : SPI_ERROR_UNSUPPORTED;
  result = Decode(tif, &source, image);
  TIFFClose(tif);
  return result;
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  (void)progress;
  (void)user;
  return SpiGetPicture(data, length, flags, info, pixels, DecodeFile);
}
