#pragma once
// Path correction looks for bare names in the current folder: each test runs
// inside its own scratch folder as the current folder, and sees what the
// correction printed.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "cli/path_correction.hpp"
#include "tests/support/temp_dir.hpp"
#include "util/platform.hpp"

namespace vellicor::test {

class PathCorrectionFixture : public testing::Test {
 protected:
  void SetUp() override {
    // The folder's absolute name as the program sees it (no links resolved).
    ASSERT_TRUE(to_narrow_text(std::filesystem::current_path(), cwd_));
  }

  using Outcome = test::Outcome<std::optional<std::string>>;
  static Outcome correct(const std::string& typed) {
    return outcome_of([&] { return smart_correct_path(typed); });
  }

  TempDir dir_;
  CurrentFolder in_dir_{dir_.path()};
  std::string cwd_;
};

}  // namespace vellicor::test
