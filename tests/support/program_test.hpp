#pragma once
// The fixture the end-to-end tests derive from: the program under test
// installed in a scratch folder (<tmp>/prog/), as a user would install it,
// and run from a folder of the test's choice.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tests/support/temp_dir.hpp"

namespace vellicor::test {

class ProgramTest : public testing::Test {
 protected:
  // `work_folder`: a folder made beside the program's, for runs to start in;
  // none means they start where the test runs.
  explicit ProgramTest(const std::string& work_folder = "");

  // Runs the installed program, from work_ unless `options` names a folder.
  RunResult run(const std::vector<std::string>& args, RunOptions options = {}) const;
  // As root, permission bits stop nothing, so tests of them run the program as
  // user 65534: the scratch and program folders are opened to others (0755), or
  // the test is skipped (the caller returns if IsSkipped()). Not root: none.
  std::optional<unsigned> unprivileged_user() const;
  // A name in the program's folder, and one in the work folder, as paths.
  std::string path(const std::string& name) const { return (home_ / name).string(); }
  std::string w(const std::string& name) const { return (work_ / name).string(); }
  const std::filesystem::path& prog_dir() const { return home_; }
  // The names in the program's folder.
  std::string listing() const { return list_dir(home_); }

  TempDir dir_;
  std::filesystem::path program_;
  std::filesystem::path home_;  // the program's folder: its keys go there
  std::filesystem::path work_;
};

// Makes user 65534 own a path (a link itself) and all in it (needs root).
void give_to_nobody(const std::filesystem::path& p);

}  // namespace vellicor::test
