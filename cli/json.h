// The JSON diffmark-cli prints with --json, for both forms; its fields are
// documented once, in docs/cli.md.  The single-pair form prints one object
// (PairJson); the folder form one object with the totals and an entry per
// relative path (FoldersJson), whose entries share the pair's field names.
#pragma once

#include <string>
#include <vector>

#include "cli/folders.h"
#include "cli/options.h"
#include "compare/pair.h"

namespace diffmark::cli {

// A JSON string literal of `text` (quotes, backslashes and control
// characters escaped; other bytes as they are).
[[nodiscard]] std::string JsonString(const std::string& text);

// {"x": .., "y": .., "width": .., "height": ..} of the differing pixels, or null.
[[nodiscard]] std::string BoxJson(const Stats& stats);
// The largest group of differing pixels: null, or its size and box.
[[nodiscard]] std::string ClusterJson(const Cluster& cluster);

// The object of a single comparison (no line end).
[[nodiscard]] std::string PairJson(const PairResult& result, const Options& options);

// The object of a folder run, with a line end: the options, the totals,
// `problems` (trouble not tied to one entry: folders that cannot be
// listed, report files that cannot be written) and the entries.  A shard
// (options.shardCount > 0) adds its timings: `seconds` and each entry's.
[[nodiscard]] std::string FoldersJson(const Options& options, const FolderTotals& totals,
                                      const std::vector<FolderEntry>& entries, const std::vector<std::string>& problems,
                                      double seconds);

}  // namespace diffmark::cli
