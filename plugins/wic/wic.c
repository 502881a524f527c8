/*
 * wic.spi: every image the Windows Imaging Component decodes (PNG, JPEG,
 * GIF, TIFF, BMP, ICO and whatever codecs the system adds), for the
 * Windows builds.
 *
 * The first frame, as the other plug-ins hand it back: 8-bit formats are
 * converted by WIC to BGRA and composited over white here; 16-bit formats
 * are taken at 16 bits and rounded here; CMYK (JPEG) is converted here as
 * Pillow converts it (WIC has already turned Adobe's inverted values
 * round).  A GIF's first image is put on its logical screen, the rest of
 * the screen white.  No colour management, no EXIF rotation.
 *
 * COM is initialised and released inside GetPicture, so the host needs to
 * do nothing; a thread whose COM is already set up is used as it is.
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

enum Layout { kBgra8, kRgba16, kGrey16, kCmyk };

/* Copies the frame's rows in chunks and converts them onto the canvas. */
static int CopyRows(IWICBitmapSource* source, enum Layout layout, UINT width, UINT height,
                    const struct Placement* place, struct SpiImage* image) {
  const UINT pixelBytes = layout == kRgba16 ? 8u : layout == kGrey16 ? 2u : 4u;
  const uint64_t rowBytes = (uint64_t)pixelBytes * width; /* within the pixel limit */
  const UINT room = place->left < image->width ? image->width - place->left : 0;
  const UINT shown = width < room ? width : room;
  uint64_t chunk = WIC_CHUNK_BYTES / rowBytes;
  unsigned char* buffer;
  UINT y, x;
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
      switch (layout) {
        case kBgra8: SpiFromBgra(out, in, shown); break;
        case kRgba16: SpiFromRgba16(out, (const uint16_t*)(const void*)in, shown); break;
        case kCmyk: SpiFromCmyk(out, in, shown, 0); break;
        case kGrey16:
          for (x = 0; x < shown; ++x) {
            uint16_t v;
            memcpy(&v, in + 2u * x, 2);
            out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = (unsigned char)SpiRound16(v);
          }
          break;
      }
    }
  }
  free(buffer);
  return SPI_OK;
}

/* The layout to read a frame of this native pixel format in, and the WIC
 * format that layout is. */
static enum Layout Choose(const WICPixelFormatGUID* native, const WICPixelFormatGUID** wanted) {
  if (IsEqualGUID(native, &GUID_WICPixelFormat16bppGray)) {
    *wanted = &GUID_WICPixelFormat16bppGray;
    return kGrey16;
  }
  if (IsEqualGUID(native, &GUID_WICPixelFormat32bppCMYK)) {
    *wanted = &GUID_WICPixelFormat32bppCMYK;
    return kCmyk;
  }
  if (IsEqualGUID(native, &GUID_WICPixelFormat48bppRGB) || IsEqualGUID(native, &GUID_WICPixelFormat48bppBGR) ||
      IsEqualGUID(native, &GUID_WICPixelFormat64bppRGBA) || IsEqualGUID(native, &GUID_WICPixelFormat64bppBGRA)) {
    *wanted = &GUID_WICPixelFormat64bppRGBA;
    return kRgba16;
  }
  *wanted = &GUID_WICPixelFormat32bppBGRA;
  return kBgra8;
}

static int DecodeFrame(IWICBitmapDecoder* decoder, struct SpiImage* image) {
  IWICBitmapFrameDecode* frame = NULL;
  IWICBitmapSource* source = NULL;
  WICPixelFormatGUID native;
  const WICPixelFormatGUID* wanted;
  struct Placement place;
  enum Layout layout;
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

  layout = Choose(&native, &wanted);
  if (IsEqualGUID(&native, wanted)) {
    hr = IWICBitmapFrameDecode_QueryInterface(frame, &IID_IWICBitmapSource, (void**)&source);
  } else {
    hr = WICConvertBitmapSource(wanted, (IWICBitmapSource*)frame, &source);
  }
  IWICBitmapFrameDecode_Release(frame);
  if (FAILED(hr)) return Reason(hr);
  result = CopyRows(source, layout, width, height, &place, image);
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

SPI_EXPORT int32_t SPI_CALL GetPicture(const char* data, int32_t length, uint32_t flags,
                                       SpiHandle* info, SpiHandle* pixels,
                                       SpiProgressCallback progress, int32_t user) {
  struct SpiImage image;
  HRESULT com;
  int result;
  (void)progress;
  (void)user;
  if (info == NULL || pixels == NULL || data == NULL || length <= 0 || (flags & 7u) != SPI_FLAG_MEMORY) {
    return SPI_ERROR_UNSUPPORTED;
  }
  /* S_OK and S_FALSE (already set up the same way) are balanced by
   * CoUninitialize; a thread set up otherwise is used as it is. */
  com = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
  if (FAILED(com) && com != RPC_E_CHANGED_MODE) return SPI_ERROR_INTERNAL;
  memset(&image, 0, sizeof image);
  result = Decode(data, length, &image);
  if (SUCCEEDED(com)) CoUninitialize();
  if (result != SPI_OK) {
    SpiImageDiscard(&image);
    return result;
  }
  return SpiImageFinish(&image, info, pixels);
}
