// Where diffmark-cli finds its plug-ins.
#pragma once

#include <string>

namespace diffmark::cli {

// Scans for plug-ins: `explicitDir` when given, else $DIFFMARK_PLUGINS,
// else the first of the program's folder, the installed plug-in folder
// (beside the program's, ../lib/diffmark/plugins), the build tree's
// (../plugins) and the folder this build installs them to that holds a
// usable plug-in.  Returns the folder scanned ("" for none).
std::string FindPlugins(const std::string& explicitDir);

}  // namespace diffmark::cli
