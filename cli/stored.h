// Reading back what diffmark-cli wrote: a whole file (approvals, a
// shard's JSON), and the data block of a report page.
#pragma once

#include <string>
#include <vector>

namespace diffmark::cli {

// The whole file into memory (its size checked in 64 bits first); false
// with the reason ("not found", "cannot be read", ...).
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::vector<unsigned char>* bytes, std::string* error);

// The embedded data of a report page: the text of its
// <script type="application/json" id="diffmark-data"> element.  False
// when the page has none.
[[nodiscard]] bool ReportData(const std::string& page, std::string* data);

}  // namespace diffmark::cli
