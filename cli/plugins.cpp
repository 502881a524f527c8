#include "cli/plugins.h"

#include <cstdlib>
#include <vector>

#include <diffmark/imageload.h>

#include "platform/platform.h"

namespace diffmark::cli {

std::string FindPlugins(const std::string& explicitDir) {
  std::vector<std::string> candidates;
  const char* env = std::getenv("DIFFMARK_PLUGINS");
  if (!explicitDir.empty()) {
    candidates.push_back(explicitDir);
  } else if (env != nullptr && env[0] != '\0') {
    candidates.push_back(env);
  } else {
    std::string exe = platform::ExecutablePath();
    const size_t slash = exe.find_last_of("/\\");
    if (slash != std::string::npos) {
      const std::string dir = exe.substr(0, slash);
      candidates.push_back(dir);
      candidates.push_back(dir + "/../lib/diffmark/plugins");
      candidates.push_back(dir + "/../plugins");
    }
#ifdef DIFFMARK_INSTALLED_PLUGIN_DIR
    candidates.push_back(DIFFMARK_INSTALLED_PLUGIN_DIR);
#endif
  }
  for (const std::string& dir : candidates) {
    if (!SetPluginDirectory(dir.c_str())) continue;
    ScanPlugins();
    if (PluginTable.count > 0) return dir;
    ReleasePlugins();
  }
  (void)SetPluginDirectory(candidates.empty() ? "" : candidates.front().c_str());
  return "";
}

}  // namespace diffmark::cli
