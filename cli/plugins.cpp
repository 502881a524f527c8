#include "cli/plugins.h"

#include <cstdlib>
#include <vector>

#include <diffmark/imageload.h>

#include "platform/platform.h"

namespace diffmark::cli {

std::vector<std::string> FindPlugins(const std::string& explicitDir) {
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
  std::vector<std::string> searched;
  for (const std::string& dir : candidates) {
    searched.push_back(dir);
    if (!SetPluginDirectory(dir.c_str())) continue;
    ScanPluginsCached();  // loads only the plug-ins that are new or changed
    if (PluginTable.count > 0) return searched;
    ReleasePlugins();
  }
  (void)SetPluginDirectory(candidates.empty() ? "" : candidates.front().c_str());
  return searched;
}

std::string WithSearchedFolders(const std::string& reason, const std::vector<std::string>& folders) {
  if (reason.rfind("no plug-in for extension", 0) != 0) return reason;
  if (folders.empty()) return reason + " (no plug-in folder searched)";
  std::string text = reason + (folders.size() == 1 ? " (plug-in folder searched: " : " (plug-in folders searched: ");
  for (size_t i = 0; i < folders.size(); ++i) text += (i > 0 ? ", " : "") + folders[i];
  return text + ")";
}

}  // namespace diffmark::cli
