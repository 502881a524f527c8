// diffmark-cli: any two images (or two folders of them) the library reads,
// a report, an exit status (0 equal, 1 different, 2 trouble), and with -o
// the marked copy.  Everything it does is in the cli library (run.h).
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

#include "cli/run.h"

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The same bytes as everywhere else: "\n", not "\r\n", for the scripts
  // and JSON readers that take this output.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  return diffmark::cli::Run(argc, argv);
}
