// Process entry: the run takes no arguments and its result is the exit status.
#include "app/difference.h"

#if defined(_WIN32)
// The GUI-subsystem entry (no console window).  Declared with plain types so
// that no system header is needed here; the C runtime calls it as WinMain.
struct HINSTANCE__;
extern "C" int __stdcall WinMain(HINSTANCE__* /*instance*/, HINSTANCE__* /*previous*/,
                                 char* /*commandLine*/, int /*show*/) {
  return diffmark::RunDifference();
}
#else
int main() { return diffmark::RunDifference(); }
#endif
