/*
 * jpeg.spi: JPEG images through libjpeg-turbo's TurboJPEG API.
 *
 * Baseline, progressive and arithmetic-coded files, colour and greyscale,
 * decoded with the library's defaults (accurate integer transform, smooth
 * upsampling) straight into the output block: blue, green, red, bottom row
 * first, rows padded to 4 bytes, no pass of our own.  CMYK and YCCK files
 * are decoded to CMYK and converted as Pillow converts them, taking the
 * values as Adobe applications store them (inverted), as Pillow does.
 *
 * Any warning of the decoder (a truncated or damaged stream) fails the
 * call: a partly decoded image is never handed back.  Progressive files
 * with an absurd number of scans are refused.
 */
#include <stdlib.h>
#include <string.h>

#include <turbojpeg.h>

#include "spi_image.h"

/* GetExtension turns "jpeg", "jpe" and names without an extension into
 * "jpg"; the others are listed for people reading the text. */
static const struct SpiPluginTexts kTexts = {"diffmark JPEG plug-in (libjpeg-turbo)",
                                             "*.jpg;*.jpeg;*.jpe;*.jfif", "JPEG images"};

SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  return SpiPluginInfo(&kTexts, index, buffer, size);
}

#define JPEG_FLAGS (TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS)

/* CMYK cannot be decoded to BGR: decode it to CMYK rows and convert. */
static int DecodeCmyk(tjhandle tj, const unsigned char* data, unsigned long length, struct SpiImage* image) {
  const uint64_t rowBytes = 4u * (uint64_t)image->width; /* width <= 65535 */
  const uint64_t bytes = rowBytes * image->height;       /* <= 4 * 2^28 */
  unsigned char* cmyk;
  uint32_t y;
  if (bytes > (uint64_t)(size_t)-1) return SPI_ERROR_TOO_LARGE;
  cmyk = (unsigned char*)malloc((size_t)bytes);
  if (cmyk == NULL) return SPI_ERROR_NO_MEMORY;
  if (tjDecompress2(tj, data, length, cmyk, (int)image->width, (int)rowBytes, (int)image->height, TJPF_CMYK,
                    JPEG_FLAGS) != 0) {
    free(cmyk);
    return SPI_ERROR_CORRUPT;
  }
  for (y = 0; y < image->height; ++y) {
    SpiFromCmyk(SpiImageRow(image, y), cmyk + (size_t)y * (size_t)rowBytes, image->width, 1);
  }
  free(cmyk);
  return SPI_OK;
}

static int Decode(tjhandle tj, const unsigned char* data, unsigned long length, struct SpiImage* image) {
  int width, height, subsampling, colourSpace, result;
  if (tjDecompressHeader3(tj, data, length, &width, &height, &subsampling, &colourSpace) != 0) {
    return SPI_ERROR_CORRUPT;
  }
  if (width <= 0 || height <= 0) return SPI_ERROR_CORRUPT;
  result = SpiImageBegin(image, (uint64_t)width, (uint64_t)height);
  if (result != SPI_OK) return result;
  if (colourSpace == TJCS_CMYK || colourSpace == TJCS_YCCK) return DecodeCmyk(tj, data, length, image);
  /* Bottom-up with the padded stride: the output block as it must be. */
  if (tjDecompress2(tj, data, length, image->rows, width, (int)image->stride, height, TJPF_BGR,
                    JPEG_FLAGS | TJFLAG_BOTTOMUP) != 0) {
    return SPI_ERROR_CORRUPT;
  }
  return SPI_OK;
}

/* A whole file: a JPEG, or not ours. */
static int DecodeFile(const unsigned char* data, size_t length, struct SpiImage* image) {
  tjhandle tj;
  int result;
  /* Start of image, then a marker. */
  if (length < 3 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF) return SPI_ERROR_UNSUPPORTED;
  tj = tjInitDecompress();
  if (tj == NULL) return SPI_ERROR_NO_MEMORY;
  result = Decode(tj, data, (unsigned long)length, image);
  tjDestroy(tj);
  return result;
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  (void)progress;
  (void)user;
  return SpiGetPicture(data, length, flags, info, pixels, DecodeFile);
}
