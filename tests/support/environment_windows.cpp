#include <stdlib.h>

#include "tests/support/environment.hpp"

namespace vellicor::test {

// The C runtime cannot hold a variable with an empty value: _putenv_s with ""
// removes it. Tests that need "set but empty" must not count on it here.
void set_env(const std::string& name, const std::string& value) { ::_putenv_s(name.c_str(), value.c_str()); }

void unset_env(const std::string& name) { ::_putenv_s(name.c_str(), ""); }

}  // namespace vellicor::test
