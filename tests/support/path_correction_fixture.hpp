#pragma once
// Path correction looks for bare names in the current folder: each test runs
// inside its own scratch folder as the current folder, and sees what the
// correction printed.

#include <gtest/gtest.h>

#include <cstdio>
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
    saved_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    // The folder's absolute name as the program sees it (no links resolved).
    ASSERT_TRUE(to_narrow_text(std::filesystem::current_path(), cwd_));
  }
  void TearDown() override { std::filesystem::current_path(saved_); }

  struct Outcome {
    std::optional<std::string> result;
    std::string out;
    std::string err;
  };

  static Outcome correct(const std::string& typed) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::optional<std::string> result = smart_correct_path(typed);
    std::fflush(stdout);
    std::fflush(stderr);
    std::string err = testing::internal::GetCapturedStderr();
    return {result, testing::internal::GetCapturedStdout(), err};
  }

  TempDir dir_;
  std::filesystem::path saved_;
  std::string cwd_;
};

}  // namespace vellicor::test
