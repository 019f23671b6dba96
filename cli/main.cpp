// The program's entry point: everything happens in run_driver.
#include <cstdio>
#include <exception>

#include "cli/driver.hpp"

int main(int argc, char** argv) {
  try {
    return vellicor::run_driver(argc, argv);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "[ERR] unexpected failure: %s\n", e.what());
  } catch (...) {
    std::fflush(stdout);
    std::fputs("[ERR] unexpected failure\n", stderr);
  }
  return 1;
}
