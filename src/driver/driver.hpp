// The command line: `vexa c input output` or `vexa d input output`.
#pragma once

namespace vexa {

// Runs one command line and returns the exit status (0 done, 1 failed).
int run(int argc, char** argv);

}  // namespace vexa
