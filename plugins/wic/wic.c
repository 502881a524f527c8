/*
 * wic.spi: every image the Windows Imaging Component decodes (PNG, JPEG,
 * GIF, TIFF, BMP, ICO and whatever codecs the system adds), for the
 * Windows builds.
 *
 * The first frame, as the other plug-ins hand it back: 8-bit formats are
 * converted by WIC to BGRA and composited over white here; 16-bit formats
 * (grey, RGB, RGBA) are read as they are and rounded here; CMYK (JPEG) is
 * read as it is and converted here as
 * Pillow converts it (WIC has already turned Adobe's inverted values
 * round).  A GIF's first image is put on its logical screen, the rest of
 * the screen white.  No colour management, no EXIF rotation.
 *
 * COM is initialised and released inside GetPicture, so the host needs to
 * do nothing; a thread whose COM is already set up is used as it is.
 *
 * Some WIC decoders (wine's PNG and JPEG decoders among them) decode the
 * whole image as soon as they are opened, before they tell its size.  So
 * that a small file claiming a huge PNG, JPEG or GIF image cannot make them
 * inflate it, the size in those headers is checked against the limit
 * before WIC sees the file; for the rest the size WIC reports is checked.
 */
#define COBJMACROS
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#include "spi_image.h"

static const struct SpiPluginTexts kTexts = {
    "diffmark WIC plug-in (Windows Imaging Component)",
    "*.png;*.jpg;*.jpeg;*.jpe;*.jfif;*.gif;*.tif;*.tiff;*.bmp;*.dib;*.ico;*.webp;*.jxr;*.wdp", "Images"};

SPI_EXPORT int32_t SPI_CALL GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  return SpiPluginInfo(&kTexts, index, buffer, size);
}

/* Rows copied from WIC at a time: about 1 MiB of 8-byte pixels. */
#define WIC_CHUNK_BYTES ((uint64_t)1 << 20)

static int Reason(HRESULT hr) {
  switch (hr) {
    case E_OUTOFMEMORY: return SPI_ERROR_NO_MEMORY;
    case WINCODEC_ERR_COMPONENTNOTFOUND:
    case WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT:
    case WINCODEC_ERR_UNSUPPORTEDOPERATION:
    case WINCODEC_ERR_COMPONENTINITIALIZEFAILURE: return SPI_ERROR_UNSUPPORTED;
    default: return SPI_ERROR_CORRUPT;
  }
}

static uint32_t Big16(const unsigned char* p) { return ((uint32_t)p[0] << 8) | p[1]; }
static uint32_t Big32(const unsigned char* p) { return (Big16(p) << 16) | Big16(p + 2); }

/* The image size a PNG, JPEG or GIF header states, or 0 when the data is
 * none of them or the size cannot be found (WIC is then asked). */
static int PeekSize(const unsigned char* d, size_t n, uint64_t* width, uint64_t* height) {
  static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  size_t at;
  if (n >= 24 && memcmp(d, kPng, 8) == 0 && memcmp(d + 12, "IHDR", 4) == 0) {
    *width = Big32(d + 16);
    *height = Big32(d + 20);
    return 1;
  }
  if (n >= 10 && (memcmp(d, "GIF87a", 6) == 0 || memcmp(d, "GIF89a", 6) == 0)) {
    *width = d[6] | ((uint32_t)d[7] << 8); /* the logical screen */
    *height = d[8] | ((uint32_t)d[9] << 8);
    return 1;
  }
  if (n < 4 || d[0] != 0xFF || d[1] != 0xD8) return 0;
  /* JPEG: the markers up to the frame header (SOF0 to SOF15 but DHT, JPG
   * and DAC); each but the standalone ones carries a 2-byte length. */
  for (at = 2; at + 4 <= n;) {
    unsigned marker;
    if (d[at] != 0xFF) return 0;
    marker = d[at + 1];
    if (marker == 0xFF) {
      ++at; /* fill byte */
    } else if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      at += 2;
    } else if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (at + 9 > n) return 0;
      *height = Big16(d + at + 5);
      *width = Big16(d + at + 7);
      return 1;
    } else if (marker == 0xDA || marker == 0xD9) {
      return 0; /* scan or end before any frame header */
    } else {
      at += 2 + Big16(d + at + 2);
    }
  }
  return 0;
}

/* A 16-bit unsigned metadata value, or `fallback`. */
static UINT ReadU16(IWICMetadataQueryReader* reader, const wchar_t* name, UINT fallback) {
  PROPVARIANT value;
  UINT result = fallback;
  PropVariantInit(&value);
  if (reader != NULL && SUCCEEDED(IWICMetadataQueryReader_GetMetadataByName(reader, name, &value)) &&
      value.vt == VT_UI2) {
    result = value.uiVal;
  }
  PropVariantClear(&value);
  return result;
}

/* Where the frame lies on its canvas: a GIF's logical screen and the
 * image's place on it; for other formats the frame is the canvas. */
struct Placement {
  UINT canvasWidth, canvasHeight, left, top;
};

static void Place(IWICBitmapDecoder* decoder, IWICBitmapFrameDecode* frame, UINT width, UINT height,
                  struct Placement* place) {
  GUID container;
  place->canvasWidth = width;
  place->canvasHeight = height;
  place->left = place->top = 0;
  if (SUCCEEDED(IWICBitmapDecoder_GetContainerFormat(decoder, &container)) &&
      IsEqualGUID(&container, &GUID_ContainerFormatGif)) {
    IWICMetadataQueryReader* reader = NULL;
    if (SUCCEEDED(IWICBitmapDecoder_GetMetadataQueryReader(decoder, &reader))) {
      place->canvasWidth = ReadU16(reader, L"/logscrdesc/Width", width);
      place->canvasHeight = ReadU16(reader, L"/logscrdesc/Height", height);
      IWICMetadataQueryReader_Release(reader);
    }
    reader = NULL;
    if (SUCCEEDED(IWICBitmapFrameDecode_GetMetadataQueryReader(frame, &reader))) {
      place->left = ReadU16(reader, L"/imgdesc/Left", 0);
      place->top = ReadU16(reader, L"/imgdesc/Top", 0);
      IWICMetadataQueryReader_Release(reader);
    }
  }
}

/* How a frame's pixels are read: 8-bit formats through WIC's converter to
 * BGRA; premultiplied BGRA, 16-bit and CMYK formats as they are, converted
 * here (WIC's converter would lose a level undoing the premultiplication,
 * and cuts 16 bits rather than rounding). */
enum Layout { kBgra8, kPremultiplied8, kWide, kCmyk };

struct Format {
  const WICPixelFormatGUID* wic;
  enum Layout layout;
  unsigned samples;                /* a pixel */
  unsigned red, green, blue, alpha; /* the samples' places; alpha 3 of fewer than 4: opaque */
};

static const struct Format kBgra = {&GUID_WICPixelFormat32bppBGRA, kBgra8, 4, 2, 1, 0, 3};
static const struct Format kNative[] = {
    {&GUID_WICPixelFormat16bppGray, kWide, 1, 0, 0, 0, 3},
    {&GUID_WICPixelFormat48bppRGB, kWide, 3, 0, 1, 2, 3},
    {&GUID_WICPixelFormat48bppBGR, kWide, 3, 2, 1, 0, 3},
    {&GUID_WICPixelFormat64bppRGBA, kWide, 4, 0, 1, 2, 3},
    {&GUID_WICPixelFormat64bppBGRA, kWide, 4, 2, 1, 0, 3},
    {&GUID_WICPixelFormat32bppCMYK, kCmyk, 4, 0, 1, 2, 3},
    {&GUID_WICPixelFormat32bppPBGRA, kPremultiplied8, 4, 2, 1, 0, 3},
};

static const struct Format* Choose(const WICPixelFormatGUID* native) {
  size_t i;
  for (i = 0; i < sizeof kNative / sizeof kNative[0]; ++i) {
    if (IsEqualGUID(native, kNative[i].wic)) return &kNative[i];
  }
  return &kBgra;
}

/* 16-bit samples (native byte order) to BGR: rounded, alpha over white. */
static void FromWide(unsigned char* out, const unsigned char* in, UINT count, const struct Format* f) {
  UINT x;
  for (x = 0; x < count; ++x, out += 3, in += 2u * f->samples) {
    uint16_t v[4] = {0, 0, 0, 0xFFFF};
    unsigned a;
    memcpy(v, in, 2u * f->samples);
    a = SpiRound16(v[f->alpha]);
    out[0] = SpiOverWhite(SpiRound16(v[f->blue]), a);
    out[1] = SpiOverWhite(SpiRound16(v[f->green]), a);
    out[2] = SpiOverWhite(SpiRound16(v[f->red]), a);
  }
}

/* Copies the frame's rows in chunks and converts them onto the canvas. */
static int CopyRows(IWICBitmapSource* source, const struct Format* format, UINT width, UINT height,
                    const struct Placement* place, struct SpiImage* image) {
  const UINT pixelBytes = format->layout == kWide ? 2u * format->samples : 4u;
  const uint64_t rowBytes = (uint64_t)pixelBytes * width; /* within the pixel limit */
  const UINT room = place->left < image->width ? image->width - place->left : 0;
  const UINT shown = width < room ? width : room;
  uint64_t chunk = WIC_CHUNK_BYTES / rowBytes;
  unsigned char* buffer;
  UINT y;
  if (chunk == 0) chunk = 1;
  if (chunk > height) chunk = height;
  if (rowBytes * chunk > UINT_MAX) return SPI_ERROR_TOO_LARGE;
  buffer = (unsigned char*)malloc((size_t)(rowBytes * chunk));
  if (buffer == NULL) return SPI_ERROR_NO_MEMORY;
  for (y = 0; y < height; y += (UINT)chunk) {
    const UINT rows = (uint64_t)(height - y) < chunk ? height - y : (UINT)chunk;
    WICRect rect;
    UINT r;
    HRESULT hr;
    rect.X = 0;
    rect.Y = (INT)y;
    rect.Width = (INT)width;
    rect.Height = (INT)rows;
    hr = IWICBitmapSource_CopyPixels(source, &rect, (UINT)rowBytes, (UINT)(rowBytes * rows), buffer);
    if (FAILED(hr)) {
      free(buffer);
      return Reason(hr);
    }
    for (r = 0; r < rows && place->top + y + r < image->height; ++r) {
      const unsigned char* in = buffer + (size_t)r * (size_t)rowBytes;
      unsigned char* out = SpiImageRow(image, place->top + y + r) + 3u * (size_t)place->left;
      switch (format->layout) {
        case kBgra8: SpiFromBgra(out, in, shown); break;
        case kPremultiplied8: SpiFromPremultipliedBgra(out, in, shown); break;
        case kWide: FromWide(out, in, shown, format); break;
        case kCmyk: SpiFromCmyk(out, in, shown, 0); break;
      }
    }
  }
  free(buffer);
  return SPI_OK;
}

static int DecodeFrame(IWICBitmapDecoder* decoder, struct SpiImage* image) {
  IWICBitmapFrameDecode* frame = NULL;
  IWICBitmapSource* source = NULL;
  WICPixelFormatGUID native;
  const struct Format* format;
  struct Placement place;
  UINT width = 0, height = 0, y;
  HRESULT hr;
  int result;

  hr = IWICBitmapDecoder_GetFrame(decoder, 0, &frame);
  if (FAILED(hr)) return Reason(hr);
  hr = IWICBitmapFrameDecode_GetSize(frame, &width, &height);
  if (SUCCEEDED(hr)) hr = IWICBitmapFrameDecode_GetPixelFormat(frame, &native);
  if (FAILED(hr)) {
    IWICBitmapFrameDecode_Release(frame);
    return Reason(hr);
  }
  Place(decoder, frame, width, height, &place);
  /* The limit, for the frame WIC decodes and the canvas it goes on. */
  result = SpiCheckSize(width, height);
  if (result == SPI_OK) result = SpiImageBegin(image, place.canvasWidth, place.canvasHeight);
  if (result != SPI_OK) {
    IWICBitmapFrameDecode_Release(frame);
    return result;
  }
  if (place.canvasWidth != width || place.canvasHeight != height || place.left != 0 || place.top != 0) {
    for (y = 0; y < image->height; ++y) memset(SpiImageRow(image, y), 255, 3u * (size_t)image->width);
  }

  format = Choose(&native);
  if (format != &kBgra) {
    hr = IWICBitmapFrameDecode_QueryInterface(frame, &IID_IWICBitmapSource, (void**)&source);
  } else {
    hr = WICConvertBitmapSource(format->wic, (IWICBitmapSource*)frame, &source);
  }
  IWICBitmapFrameDecode_Release(frame);
  if (FAILED(hr)) return Reason(hr);
  result = CopyRows(source, format, width, height, &place, image);
  IWICBitmapSource_Release(source);
  return result;
}

static int Decode(const char* data, int32_t length, struct SpiImage* image) {
  IWICImagingFactory* factory = NULL;
  IWICStream* stream = NULL;
  IWICBitmapDecoder* decoder = NULL;
  HRESULT hr;
  int result;
  hr = CoCreateInstance(&CLSID_WICImagingFactory, NULL, CLSCTX_INPROC_SERVER, &IID_IWICImagingFactory,
                        (void**)&factory);
  if (FAILED(hr)) return SPI_ERROR_INTERNAL;
  hr = IWICImagingFactory_CreateStream(factory, &stream);
  if (SUCCEEDED(hr)) hr = IWICStream_InitializeFromMemory(stream, (BYTE*)(uintptr_t)data, (DWORD)length);
  if (SUCCEEDED(hr)) {
    hr = IWICImagingFactory_CreateDecoderFromStream(factory, (IStream*)stream, NULL, WICDecodeMetadataCacheOnDemand,
                                                    &decoder);
  }
  result = SUCCEEDED(hr) ? DecodeFrame(decoder, image) : Reason(hr);
  if (decoder != NULL) IWICBitmapDecoder_Release(decoder);
  if (stream != NULL) IWICStream_Release(stream);
  IWICImagingFactory_Release(factory);
  return result;
}

/* A whole file, in whatever format WIC decodes.  COM is set up for the
 * time of the call, so the host needs nothing. */
static int DecodeFile(const unsigned char* data, size_t length, struct SpiImage* image) {
  uint64_t width, height;
  HRESULT com;
  int result;
  if (PeekSize(data, length, &width, &height) && width > 0 && height > 0) {
    result = SpiCheckSize(width, height);
    if (result != SPI_OK) return result;
  }
  /* S_OK and S_FALSE (already set up the same way) are balanced by
   * CoUninitialize; a thread set up otherwise is used as it is. */
  com = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
  if (FAILED(com) && com != RPC_E_CHANGED_MODE) return SPI_ERROR_INTERNAL;
  result = Decode((const char*)data, (int32_t)length, image);
  if (SUCCEEDED(com)) CoUninitialize();
  return result;
}

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  (void)progress;
  (void)user;
  return SpiGetPicture(data, length, flags, info, pixels, DecodeFile);
}
