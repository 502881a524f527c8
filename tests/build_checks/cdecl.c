/* __cdecl functions under the plain names: must not link. */
#include <stdint.h>

int32_t GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  (void)buffer;
  return index + size;
}

int32_t GetPicture(const char* data, int32_t length, uint32_t flags, void** info, void** pixels, void* progress,
                   int32_t user) {
  (void)data;
  (void)info;
  (void)pixels;
  (void)progress;
  return length + (int32_t)flags + user;
}
