/*
 * webp.spi: WebP images through libwebp (the container through
 * libwebpdemux).
 *
 * Lossy and lossless, with or without alpha; of an animation the first
 * frame, on the canvas: the frame where it lies, the rest of the canvas
 * (where nothing is drawn yet) white.  An opaque image that fills the
 * canvas is decoded straight into the output block (blue, green, red,
 * flipped to bottom-up by the decoder); otherwise it is decoded to BGRA and
 * composited over white.  Decoded with the library's defaults (smooth
 * upsampling, no dithering).
 */
#include <string.h>

#include <webp/decode.h>
#include <webp/demux.h>

#include "spi_image.h"

static const struct SpiPluginTexts kTexts = {"diffmark WebP plug-in (libwebp)", "*.webp", "WebP images"};

SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  return SpiPluginInfo(&kTexts, index, buffer, size);
}

static int Reason(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OK: return SPI_OK;
    case VP8_STATUS_OUT_OF_MEMORY: return SPI_ERROR_NO_MEMORY;
    case VP8_STATUS_UNSUPPORTED_FEATURE: return SPI_ERROR_UNSUPPORTED;
    default: return SPI_ERROR_CORRUPT;
  }
}

/* Decodes one frame's bitstream onto the canvas at (left, top). */
static int DecodeFrame(const WebPIterator* frame, struct SpiImage* image) {
  WebPDecoderConfig config;
  VP8StatusCode status;
  uint32_t left, top, width, height, y;
  int result;
  if (!WebPInitDecoderConfig(&config)) return SPI_ERROR_INTERNAL;
  status = WebPGetFeatures(frame->fragment.bytes, frame->fragment.size, &config.input);
  if (status != VP8_STATUS_OK) return Reason(status);
  if (frame->x_offset < 0 || frame->y_offset < 0 || config.input.width <= 0 || config.input.height <= 0) {
    return SPI_ERROR_CORRUPT;
  }
  left = (uint32_t)frame->x_offset;
  top = (uint32_t)frame->y_offset;
  width = (uint32_t)config.input.width;
  height = (uint32_t)config.input.height;
  if (left > image->width || width > image->width - left || top > image->height || height > image->height - top) {
    return SPI_ERROR_CORRUPT; /* the demuxer already refuses such frames */
  }

  if (!config.input.has_alpha && width == image->width && height == image->height) {
    config.output.colorspace = MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = image->rows;
    config.output.u.RGBA.stride = (int)image->stride; /* <= 3 * 16383 + 3 */
    config.output.u.RGBA.size = image->stride * image->height;
    config.options.flip = 1;
    return Reason(WebPDecode(frame->fragment.bytes, frame->fragment.size, &config));
  }

  /* The frame as BGRA (libwebp allocates it: 4 bytes a pixel of a frame
   * that fits the canvas), then over white; the canvas around it white. */
  config.output.colorspace = MODE_BGRA;
  status = WebPDecode(frame->fragment.bytes, frame->fragment.size, &config);
  result = Reason(status);
  if (result == SPI_OK) {
    for (y = 0; y < image->height; ++y) memset(SpiImageRow(image, y), 255, 3u * (size_t)image->width);
    for (y = 0; y < height; ++y) {
      SpiFromBgra(SpiImageRow(image, top + y) + 3u * (size_t)left,
                  config.output.u.RGBA.rgba + (size_t)y * (size_t)config.output.u.RGBA.stride, width);
    }
  }
  WebPFreeDecBuffer(&config.output);
  return result;
}

static int Decode(const unsigned char* data, size_t length, struct SpiImage* image) {
  WebPData whole;
  WebPDemuxer* demux;
  WebPIterator frame;
  int result;
  whole.bytes = data;
  whole.size = length;
  demux = WebPDemux(&whole); /* NULL for damaged or truncated containers */
  if (demux == NULL) return SPI_ERROR_CORRUPT;
  result = SpiImageBegin(image, WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH),
                         WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT));
  if (result == SPI_OK) {
    if (WebPDemuxGetFrame(demux, 1, &frame)) {
      result = frame.complete ? DecodeFrame(&frame, image) : SPI_ERROR_CORRUPT;
      WebPDemuxReleaseIterator(&frame);
    } else {
      result = SPI_ERROR_CORRUPT;
    }
  }
  WebPDemuxDelete(demux);
  return result;
}

/* A whole file: a WebP, or not ours. */
static int DecodeFile(const unsigned char* data, size_t length, struct SpiImage* image) {
  if (length < 12 || memcmp(data, "RIFF", 4) != 0 || memcmp(data + 8, "WEBP", 4) != 0) {
    return SPI_ERROR_UNSUPPORTED;
  }
  return Decode(data, length, image);
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  (void)progress;
  (void)user;
  return SpiGetPicture(data, length, flags, info, pixels, DecodeFile);
}
