/* __stdcall, but also exported by dllexport as GetPluginInfo@12 and
 * GetPicture@28: the export check must reject it. */
#include <stdint.h>

__declspec(dllexport) int32_t __stdcall GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  (void)buffer;
  return index + size;
}

__declspec(dllexport) int32_t __stdcall GetPicture(const char* data, int32_t length, uint32_t flags,
                                                   void** info, void** pixels, void* progress, int32_t user) {
  (void)data;
  (void)info;
  (void)pixels;
  (void)progress;
  return length + (int32_t)flags + user;
}
