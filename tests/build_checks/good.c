/* Both functions __stdcall and exported through the .def file: builds. */
#include <stdint.h>

int32_t __stdcall GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  (void)buffer;
  return index + size;
}

int32_t __stdcall GetPicture(const char* data, int32_t length, uint32_t flags, void** info, void** pixels,
                             void* progress, int32_t user) {
  (void)data;
  (void)info;
  (void)pixels;
  (void)progress;
  return length + (int32_t)flags + user;
}
