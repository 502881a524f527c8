#include "cli/stored.h"

#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace diffmark::cli {

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>* bytes, std::string* error) {
  platform::FileError why = platform::FileError::None;
  const std::unique_ptr<platform::File, void (*)(platform::File*)> file(platform::OpenForReading(path.c_str(), &why),
                                                                         platform::CloseFile);
  if (file == nullptr) {
    *error = why == platform::FileError::NotFound ? "not found" : "cannot be opened";
    return false;
  }
  uint64_t size = 0;
  if (!platform::FileSize(file.get(), &size)) {
    *error = "its size cannot be read";
    return false;
  }
  if (size > (uint64_t{1} << 40) || size > SIZE_MAX) {
    *error = "is too large (" + std::to_string(size) + " bytes)";
    return false;
  }
  bytes->resize(static_cast<size_t>(size));
  uint64_t got = 0;
  if (!platform::ReadBytes(file.get(), bytes->data(), size, &got) || got != size) {
    *error = "cannot be read";
    return false;
  }
  return true;
}

bool ReportData(const std::string& page, std::string* data) {
  const std::string open = "<script type=\"application/json\" id=\"diffmark-data\">";
  const size_t from = page.find(open);
  if (from == std::string::npos) return false;
  const size_t to = page.find("</script>", from);
  if (to == std::string::npos) return false;
  *data = page.substr(from + open.size(), to - from - open.size());
  return true;
}

}  // namespace diffmark::cli
