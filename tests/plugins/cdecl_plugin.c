/*
 * A broken plug-in on purpose: both functions use the C calling convention
 * (the caller removes the arguments) where the host calls them with the
 * standard one (the callee removes them).  It exports the plain names, so
 * only a check of the calling convention itself can tell it from a good
 * one.  Built for 32-bit Windows only, into a folder of its own.
 */
#include <stdint.h>

int32_t GetPluginInfo(int32_t index, char* buffer, int32_t size) {
  (void)buffer;
  return index * 1000 + size;
}

int32_t GetPicture(const char* data, int32_t length, uint32_t flags, void** info, void** pixels,
                   void* progress, int32_t user) {
  (void)data;
  (void)info;
  (void)pixels;
  (void)progress;
  return length + (int32_t)flags + user;
}
