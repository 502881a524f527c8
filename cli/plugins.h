// Where diffmark-cli finds its plug-ins.
#pragma once

#include <string>
#include <vector>

namespace diffmark::cli {

// Scans for plug-ins: `explicitDir` when given, else $DIFFMARK_PLUGINS,
// else the first of the program's folder, the installed plug-in folder
// (beside the program's, ../lib/diffmark/plugins), the build tree's
// (../plugins) and the folder this build installs them to that holds a
// usable plug-in.  Returns the folders looked in, in order; the last is
// the one scanned when any holds a plug-in.
std::vector<std::string> FindPlugins(const std::string& explicitDir);

// A reason that no plug-in serves an extension, with the folders that were
// searched: "no plug-in for extension "png" (plug-in folders searched: a,
// b)"; any other reason as it is.
[[nodiscard]] std::string WithSearchedFolders(const std::string& reason, const std::vector<std::string>& folders);

}  // namespace diffmark::cli
