#pragma once
// Setting and clearing environment variables of the test process itself
// (POSIX setenv/unsetenv, the C runtime's _putenv_s on Windows).

#include <string>

namespace vellicor::test {

void set_env(const std::string& name, const std::string& value);
void unset_env(const std::string& name);

}  // namespace vellicor::test
