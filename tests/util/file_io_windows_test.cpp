// The whole-file helpers on Windows: replacement through a temporary file,
// and a target held open by another handle.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.hpp"
#include "util/file_io.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using test::as_bytes;
using test::list_dir;
using test::read_text;
using test::TempDir;
using test::write_file;

TEST(WriteWholeFile, CreatesAndReplacesLeavingNoTemporaryFile) {
  TempDir dir;
  const std::string target = (dir / "out.bin").string();
  ASSERT_TRUE(write_whole_file(target, as_bytes("first")));
  EXPECT_EQ(read_text(dir / "out.bin"), "first");
  ASSERT_TRUE(write_whole_file(target, as_bytes("second, longer")));
  EXPECT_EQ(read_text(dir / "out.bin"), "second, longer");
  ASSERT_TRUE(write_whole_file(target, as_bytes("")));
  EXPECT_EQ(read_text(dir / "out.bin"), "");
  EXPECT_EQ(list_dir(dir.path()), "out.bin");
}

TEST(WriteWholeFile, TargetHeldOpenFailsAndKeepsItsBytes) {
  TempDir dir;
  write_file(dir / "held.png", "old bytes");
  // Another program's handle that shares nothing: neither writing nor deleting
  // nor replacing the file is possible while it is open.
  HANDLE other = ::CreateFileW((dir / "held.png").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  std::string why;
  const bool ok = write_whole_file((dir / "held.png").string(), as_bytes("new bytes"), &why);
  ::CloseHandle(other);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(read_text(dir / "held.png"), "old bytes");
  EXPECT_EQ(list_dir(dir.path()), "held.png") << "no temporary file left behind";
}

TEST(WriteWholeFile, FailsWhereNoFileCanBe) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  for (const fs::path& p : {dir / "folder", dir / "missing" / "x.bin"}) {
    std::string why;
    EXPECT_FALSE(write_whole_file(p.string(), as_bytes("x"), &why)) << p;
    EXPECT_FALSE(why.empty()) << p;
  }
  EXPECT_EQ(list_dir(dir.path()), "folder");
}

TEST(AtomicFile, UncommittedWriteLeavesNothingBehind) {
  TempDir dir;
  {
    AtomicFile file;
    ASSERT_TRUE(file.open((dir / "never.bin").string()));
    ASSERT_TRUE(file.write(as_bytes("partial")));
  }
  EXPECT_EQ(list_dir(dir.path()), "");
}

TEST(ReadWholeFile, ReadsEveryByteAndRefusesFolders) {
  TempDir dir;
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  bytes += "\r\n\x1a tail";  // no text-mode translation, no end-of-file at ^Z
  write_file(dir / "all.bin", bytes);
  ByteBuffer got;
  ASSERT_TRUE(read_whole_file((dir / "all.bin").string(), got));
  EXPECT_EQ(std::string(got.begin(), got.end()), bytes);

  ByteBuffer untouched{1, 2, 3};
  EXPECT_FALSE(read_whole_file(dir.path().string(), untouched));
  EXPECT_FALSE(read_whole_file((dir / "missing").string(), untouched));
  EXPECT_EQ(untouched, (ByteBuffer{1, 2, 3}));
}

}  // namespace
}  // namespace vellicor
