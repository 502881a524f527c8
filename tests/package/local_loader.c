/* local_loader MODULE PLUGIN_DIR IMAGE: dlopen()s MODULE with RTLD_LOCAL
 * and prints what its LoadFirstPixel returns. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv) {
  void* module;
  int (*load)(const char*, const char*);
  if (argc != 4) return 2;
  module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  *(void**)&load = dlsym(module, "LoadFirstPixel");
  if (load == NULL) return 2;
  printf("%d\n", load(argv[2], argv[3]));
  dlclose(module);
  return 0;
}
