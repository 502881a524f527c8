// diffmark-cli's exit statuses, as cmp and diff have them.
#pragma once

namespace diffmark::cli {

enum ExitStatus : int {
  kEqual = 0,      // nothing differs (folders: nothing changed, added or removed)
  kDifferent = 1,  // something does
  kTrouble = 2,    // a usage error, or a file that could not be read or written
};

}  // namespace diffmark::cli
