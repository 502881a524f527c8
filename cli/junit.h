// JUnit XML of a run, as CI systems read test results (GitLab, Jenkins,
// GitHub's test reporters): one <testsuite> named diffmark-cli, one
// <testcase> per pair.  A pair that does not pass (changed beyond the
// tolerance, added, removed) is a <failure> whose message gives the
// figures; a file that could not be compared is an <error> with the
// reason; equal pairs and pairs within the tolerance pass.
#pragma once

#include <string>
#include <vector>

#include "cli/folders.h"
#include "cli/options.h"
#include "compare/pair.h"

namespace diffmark::cli {

struct JunitCase {
  enum class Outcome { Passed, Failed, Error };
  std::string className;
  std::string name;
  Outcome outcome = Outcome::Passed;
  std::string message;  // the figures, or the reason
  std::string detail;   // the element's text (the figures of a passing pair go to <system-out>)
  double seconds = 0;
};

// Text as XML character data or an attribute value: &, <, >, quotes
// escaped; line ends kept as character references; control characters
// XML cannot carry left out; bytes that are not UTF-8 become U+FFFD.
[[nodiscard]] std::string XmlText(const std::string& text);

// The case of a single pair (both operands named in it).
[[nodiscard]] JunitCase PairCase(const PairResult& result, const Options& options, double seconds);

// The case of one relative path of the folder form.
[[nodiscard]] JunitCase EntryCase(const FolderEntry& entry, const Options& options);

// The whole document; `timestamp` as ISO 8601 ("2026-12-11T10:54:03").
[[nodiscard]] std::string JunitXml(const std::vector<JunitCase>& cases, double seconds, const std::string& timestamp);

// Writes the document to `path` (beside and renamed into place).  False
// with the reason.
[[nodiscard]] bool WriteJunit(const std::string& path, const std::vector<JunitCase>& cases, double seconds,
                              std::string* error);

}  // namespace diffmark::cli
