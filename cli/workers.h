// Running the folder form's pairs on several threads, with a progress line
// on a terminal.
#pragma once

#include <cstddef>
#include <functional>

namespace diffmark::cli {

// Runs `work(i)` for every i below `count` on up to `jobs` threads, each
// taking the next index; draws "[#####.....]  120/200 pairs  2.4 s  50.0/s"
// on standard error while they run when `progress` is set, and erases it
// at the end.
void RunWorkers(size_t count, unsigned jobs, bool progress, const std::function<void(size_t)>& work);

}  // namespace diffmark::cli
