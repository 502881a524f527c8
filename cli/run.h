// diffmark-cli as a function: the arguments in, the exit status out, what
// it prints on standard output and standard error.  main.cpp only calls it.
#pragma once

namespace diffmark::cli {

[[nodiscard]] int Run(int argc, char** argv);

}  // namespace diffmark::cli
