#include <stdlib.h>

#include "tests/support/environment.hpp"

namespace vellicor::test {

void set_env(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

void unset_env(const std::string& name) { ::unsetenv(name.c_str()); }

}  // namespace vellicor::test
