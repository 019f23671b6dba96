// The Linux and the Windows build on one key pair: what either seals, the
// other opens to the same bytes, and both print the same bytes doing it.
// Runs when VELLICOR_TEST_WINDOWS_PROGRAM names the Windows build (as
// scripts/windows.sh does); the Linux build is test::linux_program().
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/run_program.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace test;

struct Build {
  const char* name;
  fs::path program;
  fs::path home() const { return program.parent_path(); }
};

TEST(WindowsInterop, EachBuildOpensWhatTheOtherSealed) {
  if (test::windows_program().empty())
    GTEST_SKIP() << "needs the Windows build, named by VELLICOR_TEST_WINDOWS_PROGRAM (scripts/windows.sh sets it)";
  test::TempDir dir;
  Build linux_build{"Linux", dir / "linux" / "vellicor"};
  Build windows_build{"Windows", dir / "windows" / "vellicor.exe"};
  for (const Build* b : {&linux_build, &windows_build}) fs::create_directories(b->home());
  fs::copy_file(test::linux_program(), linux_build.program);
  fs::copy_file(test::windows_program(), windows_build.program);

  // One key pair, made by the Linux build and given to the Windows one.
  ASSERT_EQ(test::run_program(linux_build.program, {"genkeys"}).status, 0);
  fs::copy(linux_build.home() / "keys", windows_build.home() / "keys");
  const ByteBuffer carrier = test::make_png(9, 7, 4);

  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
  const std::vector<std::pair<std::string, ByteBuffer>> payloads = {
      {"empty", {}},
      {"one byte", {0x1a}},
      {"every byte value, CR LF and ^Z", ByteBuffer(all_bytes.begin(), all_bytes.end())},
      {"noise over several GCM blocks", test::noise(300007, 11)},
  };
  const Build* pairs[][2] = {{&linux_build, &windows_build}, {&windows_build, &linux_build}};
  for (const auto& [label, payload] : payloads) {
    for (const auto& [sealer, opener] : pairs) {
      SCOPED_TRACE(label + std::string(": sealed by ") + sealer->name + ", opened by " + opener->name);
      write_file(sealer->home() / "payload.bin", payload);
      write_file(sealer->home() / "carrier.png", carrier);
      RunResult sealed = test::run_program(sealer->program, {"embed", "payload.bin", "carrier.png", "stego.png"});
      ASSERT_EQ(sealed.status, 0) << sealed.err;
      fs::copy_file(sealer->home() / "stego.png", opener->home() / "stego.png",
                    fs::copy_options::overwrite_existing);
      RunResult opened = test::run_program(opener->program, {"extract", "stego.png", "back.bin"});
      ASSERT_EQ(opened.status, 0) << opened.err;
      EXPECT_EQ(read_file(opener->home() / "back.bin"), payload);
      // The same run on the sealer's side prints exactly the same bytes.
      RunResult again = test::run_program(sealer->program, {"extract", "stego.png", "back.bin"});
      EXPECT_EQ(again.out, opened.out);
      EXPECT_EQ(again.err, opened.err);
      EXPECT_EQ(read_file(sealer->home() / "back.bin"), payload);
    }
  }
}

}  // namespace
}  // namespace vellicor
