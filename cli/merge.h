// diffmark-cli merge OUT_DIR SHARD_OUTPUT...: the shards of one folder run
// (--shard K/N, each run on its own machine) made into that run's results,
// as one unsharded run would have written them: the same JSON (byte for
// byte), the JUnit file, the report and its pictures, the marked copies,
// the summary and the exit status.
#pragma once

namespace diffmark::cli {

// argv[0] is "merge".  Returns the exit status the unsharded run would
// have had, or 2 when the shards cannot be merged (one line says why).
int RunMerge(int argc, char** argv);

}  // namespace diffmark::cli
