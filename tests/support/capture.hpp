#pragma once
// What a call printed on standard output and standard error.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

namespace vellicor::test {

struct Printed {
  std::string out;
  std::string err;
};

inline Printed capture(const std::function<void()>& run) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run();
  std::fflush(stdout);
  std::fflush(stderr);
  std::string out = testing::internal::GetCapturedStdout();
  return {out, testing::internal::GetCapturedStderr()};
}

}  // namespace vellicor::test
