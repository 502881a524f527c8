// PNG output on Windows through the Windows Imaging Component's PNG
// encoder (windowscodecs), for builds without libspng.
//
// The encoder writes into a stream in memory, whose bytes then go to the
// open file through the platform layer like every other output.  The
// picture's rows go to the encoder top row first, as they are: WIC
// takes 24-bit blue-green-red rows (GUID_WICPixelFormat24bppBGR) and writes
// them as 8-bit RGB.  Should an encoder ask for another pixel format, the
// picture is copied into a WIC bitmap and converted by WIC.  Every COM
// object is held by a ComPtr, so each is released on every path.
#include "cli/png.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>
#include <wrl/client.h>

namespace diffmark::cli {

namespace {

using Microsoft::WRL::ComPtr;

// "what: the system's text (HRESULT 0x...)"; WIC's own codes have no text.
std::string Describe(const char* what, HRESULT hr) {
  char text[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(hr), 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) {
    text[--n] = '\0';
  }
  char code[32];
  std::snprintf(code, sizeof code, "HRESULT 0x%08lX", static_cast<unsigned long>(hr));
  std::string out = what;
  if (n > 0) out += std::string(": ") + text;
  return out + " (" + code + ")";
}

// COM on the calling thread, set up on its first PNG and kept: the
// multithreaded apartment, which the folder form's worker threads join
// one by one.  It is never torn down, since at thread or process exit that
// would run under the loader lock.  A thread already in a single-threaded
// apartment (RPC_E_CHANGED_MODE) can use WIC there.
HRESULT ComOnThisThread() {
  thread_local const HRESULT initialised = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  return initialised == RPC_E_CHANGED_MODE ? S_OK : initialised;
}

// The picture as a WIC bitmap of 24-bit BGR rows, top row first: for an
// encoder that wants another format, which WIC then converts it to.
HRESULT PictureAsBitmap(IWICImagingFactory* factory, const Picture& picture, ComPtr<IWICBitmap>* bitmap) {
  const UINT width = static_cast<UINT>(picture.width);
  const UINT height = static_cast<UINT>(picture.height);
  HRESULT hr = factory->CreateBitmap(width, height, GUID_WICPixelFormat24bppBGR, WICBitmapCacheOnLoad,
                                     bitmap->ReleaseAndGetAddressOf());
  ComPtr<IWICBitmapLock> lock;
  const WICRect all{0, 0, picture.width, picture.height};
  if (SUCCEEDED(hr)) hr = (*bitmap)->Lock(&all, WICBitmapLockWrite, &lock);
  UINT stride = 0;
  UINT size = 0;
  BYTE* data = nullptr;
  if (SUCCEEDED(hr)) hr = lock->GetStride(&stride);
  if (SUCCEEDED(hr)) hr = lock->GetDataPointer(&size, &data);
  if (SUCCEEDED(hr) && (stride < 3u * width || uint64_t{stride} * height > size)) hr = E_UNEXPECTED;
  for (UINT y = 0; SUCCEEDED(hr) && y < height; ++y) {
    std::memcpy(data + size_t{stride} * y, picture.Row(static_cast<int32_t>(y)), 3u * size_t{width});
  }
  return hr;
}

}  // namespace

bool EncodePng(const Picture& picture, platform::FileHandle out, std::string* error) {
  // Rows of up to 2^28 pixels reach here; WIC counts bytes in 32 bits.
  if (picture.width <= 0 || picture.height <= 0 || uint64_t{3} * static_cast<uint64_t>(picture.width) > UINT_MAX) {
    *error = "PNG encoding failed: picture of " + std::to_string(picture.width) + " x " +
             std::to_string(picture.height) + " pixels";
    return false;
  }
  const UINT width = static_cast<UINT>(picture.width);
  const UINT height = static_cast<UINT>(picture.height);
  const UINT rowBytes = 3u * width;

  HRESULT hr = ComOnThisThread();
  if (FAILED(hr)) {
    *error = Describe("PNG encoding failed: COM could not be set up", hr);
    return false;
  }
  ComPtr<IWICImagingFactory> factory;
  hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
  if (FAILED(hr)) {
    *error = Describe("PNG encoding failed: no Windows Imaging Component", hr);
    return false;
  }

  // A stream in memory, its block freed with it.
  ComPtr<IStream> memory;
  ComPtr<IWICStream> stream;
  hr = CreateStreamOnHGlobal(nullptr, TRUE, &memory);
  if (SUCCEEDED(hr)) hr = factory->CreateStream(&stream);
  if (SUCCEEDED(hr)) hr = stream->InitializeFromIStream(memory.Get());
  if (FAILED(hr)) {
    *error = Describe("PNG encoding failed: no memory stream", hr);
    return false;
  }

  // The encoder, one frame of the picture's size.
  const char* step = "the PNG encoder";
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> frame;
  ComPtr<IPropertyBag2> options;
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, &options);
  if (SUCCEEDED(hr)) {
    // The "up" filter, as the libspng writer uses: the adaptive choice
    // tries every filter on every row.  An encoder without the option
    // keeps its own choice.
    PROPBAG2 option{};
    option.pstrName = const_cast<LPOLESTR>(L"FilterOption");
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI1;
    value.bVal = WICPngFilterUp;
    (void)options->Write(1, &option, &value);
    hr = frame->Initialize(options.Get());
  }
  if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);

  // The rows, top row first: as they are where the encoder takes BGR,
  // else through WIC's converter.
  if (SUCCEEDED(hr) && IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) {
    step = "writing the rows";
    for (UINT y = 0; SUCCEEDED(hr) && y < height; ++y) {
      hr = frame->WritePixels(1, rowBytes, rowBytes, picture.Row(static_cast<int32_t>(y)));
    }
  } else if (SUCCEEDED(hr)) {
    step = "converting the rows to the encoder's pixel format";
    ComPtr<IWICBitmap> bitmap;
    ComPtr<IWICBitmapSource> converted;
    hr = PictureAsBitmap(factory.Get(), picture, &bitmap);
    if (SUCCEEDED(hr)) hr = WICConvertBitmapSource(format, bitmap.Get(), &converted);
    if (SUCCEEDED(hr)) hr = frame->WriteSource(converted.Get(), nullptr);
  }
  if (SUCCEEDED(hr)) {
    step = "finishing the file";
    hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
  }
  if (FAILED(hr)) {
    *error = Describe((std::string("PNG encoding failed: ") + step).c_str(), hr);
    return false;
  }
  // The encoded bytes, to the file.
  STATSTG stat{};
  HGLOBAL block = nullptr;
  hr = memory->Stat(&stat, STATFLAG_NONAME);
  if (SUCCEEDED(hr)) hr = GetHGlobalFromStream(memory.Get(), &block);
  if (FAILED(hr)) {
    *error = Describe("PNG encoding failed: the encoded bytes", hr);
    return false;
  }
  const void* bytes = GlobalLock(block);
  const bool written = bytes != nullptr && platform::WriteBytes(out, bytes, stat.cbSize.QuadPart);
  if (bytes != nullptr) GlobalUnlock(block);
  if (!written) {
    *error = "write failed (" + platform::LastFileErrorText() + ")";
    return false;
  }
  return true;
}

}  // namespace diffmark::cli
