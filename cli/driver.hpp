#pragma once
// The command-line driver: start-up, banner, dispatch and the closing line.

namespace vellicor {

// Runs one command and returns the process exit status (0 or 1).
int run_driver(int argc, char** argv);

}  // namespace vellicor
