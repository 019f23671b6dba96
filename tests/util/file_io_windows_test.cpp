// The file layer on Windows: replacement through a temporary file, a target
// held open by another handle, positioned reads and writes, devices written in
// place, no unnamed files, and the folder lock.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.hpp"
#include "util/file_io.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace test;

// A file's access list as SDDL text.
std::wstring dacl_of(const fs::path& file) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (::GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor) != ERROR_SUCCESS)
    return L"";
  LPWSTR text = nullptr;
  std::wstring result;
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
    result = text;
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return result;
}

TEST(AtomicFile, CreatesAndReplacesLeavingNoTemporaryFile) {
  TempDir dir;
  const std::string target = (dir / "out.bin").string();
  ASSERT_TRUE(write_through(target, as_bytes("first")));
  EXPECT_EQ(read_text(dir / "out.bin"), "first");
  ASSERT_TRUE(write_through(target, as_bytes("second, longer")));
  EXPECT_EQ(read_text(dir / "out.bin"), "second, longer");
  ASSERT_TRUE(write_through(target, as_bytes("")));
  EXPECT_EQ(read_text(dir / "out.bin"), "");
  EXPECT_EQ(list_dir(dir.path()), "out.bin");
}

// A replaced file keeps its hidden and system attributes, and the archive
// bit is set for backups.
TEST(AtomicFile, ReplacementKeepsHiddenAndSystemAndSetsArchive) {
  TempDir dir;
  const fs::path out = dir / "out.png";
  write_file(out, "first");
  ::SetFileAttributesW(out.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  std::string why;
  EXPECT_TRUE(write_through(out.string(), as_bytes("second"), &why)) << why;
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  EXPECT_EQ(::GetFileAttributesW(out.c_str()) & kept, kept);
  EXPECT_EQ(read_text(out), "second");
  EXPECT_EQ(list_dir(dir.path()), "out.png");
}

// A replaced file keeps its own access list, not the folder's: a file shared
// with everyone stays so, one closed to all but the owner stays closed.
TEST(AtomicFile, ReplacementKeepsTheFilesOwnAccessList) {
  for (const wchar_t* dacl : {L"D:P(A;;FA;;;WD)", L"D:P(A;;FA;;;OW)(A;;FR;;;SY)"}) {
    TempDir dir;
    const fs::path out = dir / "out.png";
    write_file(out, "first");
    PSECURITY_DESCRIPTOR wanted = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl, SDDL_REVISION_1, &wanted, nullptr));
    ASSERT_TRUE(::SetFileSecurityW(out.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, wanted));
    ::LocalFree(wanted);
    const std::wstring before = dacl_of(out);
    if (before.find(L"D:P") != 0) GTEST_SKIP() << "this system keeps no access lists (Wine)";
    std::string why;
    ASSERT_TRUE(write_through(out.string(), as_bytes("second"), &why)) << why;
    EXPECT_EQ(dacl_of(out), before);
    EXPECT_EQ(read_text(out), "second");
  }
}

TEST(AtomicFile, TargetHeldOpenFailsAndKeepsItsBytes) {
  TempDir dir;
  write_file(dir / "held.png", "old bytes");
  // Another program's handle that shares nothing: neither writing nor deleting
  // nor replacing the file is possible while it is open.
  HANDLE other = ::CreateFileW((dir / "held.png").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  std::string why;
  const bool ok = write_through((dir / "held.png").string(), as_bytes("new bytes"), &why);
  ::CloseHandle(other);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(read_text(dir / "held.png"), "old bytes");
  EXPECT_EQ(list_dir(dir.path()), "held.png") << "no temporary file left behind";
}

// A file that another handle holds open (a scanner, an indexer) is replaced
// where the system offers POSIX-style renames, the reader keeping the old
// bytes; elsewhere (Wine, FAT, before Windows 10 1809) the replace fails
// after its retries with the old file under its name and nothing left over,
// never with the name empty.
TEST(AtomicFile, FileHeldOpenElsewhereIsReplacedOrLeftWhole) {
  TempDir dir;
  write_file(dir / "carrier.png", "old bytes");
  bool replaced = false;
  {
    InputFile reader;
    ASSERT_TRUE(reader.open((dir / "carrier.png").string()));
    replaced = write_through((dir / "carrier.png").string(), as_bytes("new bytes, longer"));
    std::uint8_t old[9];
    ASSERT_TRUE(reader.read_at(0, old, sizeof old));
    EXPECT_EQ(std::string(old, old + sizeof old), "old bytes");
  }
  EXPECT_EQ(read_text(dir / "carrier.png"), replaced ? "new bytes, longer" : "old bytes");
  EXPECT_EQ(list_dir(dir.path()), "carrier.png");
}

TEST(AtomicFile, FailsWhereNoFileCanBe) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  for (const fs::path& p : {dir / "folder", dir / "missing" / "x.bin"}) {
    std::string why;
    EXPECT_FALSE(write_through(p.string(), as_bytes("x"), &why)) << p;
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

TEST(InputFile, ReadsEveryByteAndRefusesFolders) {
  TempDir dir;
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  bytes += "\r\n\x1a tail";  // no text-mode translation, no end-of-file at ^Z
  write_file(dir / "all.bin", bytes);
  InputFile in;
  ASSERT_TRUE(in.open((dir / "all.bin").string()));
  ASSERT_EQ(in.size(), bytes.size());
  std::string got(bytes.size(), '\0');
  ASSERT_TRUE(in.read_exact(reinterpret_cast<std::uint8_t*>(got.data()), got.size()));
  EXPECT_EQ(got, bytes);
  EXPECT_FALSE(in.open(dir.path().string()));
  EXPECT_FALSE(in.open((dir / "missing").string()));
}

TEST(AtomicFile, TargetIsAnOrdinaryFileNotAHiddenOne) {
  TempDir dir;
  ASSERT_TRUE(write_through((dir / "plain.bin").string(), as_bytes("x")));
  const DWORD attributes = ::GetFileAttributesW((dir / "plain.bin").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
}

TEST(AtomicFile, DeviceGetsTheBytesInPlace) {
  std::string why;
  EXPECT_TRUE(write_through("NUL", as_bytes("discarded"), &why)) << why;
}

// Windows has no unnamed files: new content has a hidden name beside the
// target while it is written, and no other handle can open that name, so
// private content (extract's unverified plaintext) is reachable by nobody.
TEST(AtomicFile, TemporaryFileCanBeOpenedByNoOtherHandle) {
  for (TempFile kind : {TempFile::private_only, TempFile::unnamed_or_named}) {
    TempDir dir;
    AtomicFile f(kind);
    ASSERT_TRUE(f.open((dir / "secret.bin").string()));
    ASSERT_TRUE(f.write(as_bytes("not yet verified")));
    std::vector<fs::path> entries;
    for (const auto& e : fs::directory_iterator(dir.path())) entries.push_back(e.path());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(is_pending_name(entries[0]));
    HANDLE other = ::CreateFileW(entries[0].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(list_dir(dir.path()), "secret.bin");
    EXPECT_EQ(read_text(dir / "secret.bin"), "not yet verified");
  }
}

TEST(AtomicFile, PositionedWritesAndCopiesKeepTheOrderOfTheRest) {
  TempDir dir;
  std::string source_text;
  for (int i = 0; i < 300000; ++i) source_text.push_back(static_cast<char>('a' + i % 26));
  write_file(dir / "source.txt", source_text);
  InputFile source;
  ASSERT_TRUE(source.open((dir / "source.txt").string()));

  AtomicFile f;
  ASSERT_TRUE(f.open((dir / "out.txt").string()));
  ASSERT_TRUE(f.write(as_bytes("head:")));
  ASSERT_TRUE(f.copy_from(source, 10, 250000));
  ASSERT_TRUE(f.copy_from(source, 5, 3));
  ASSERT_TRUE(f.write_at(1, as_bytes("EA")));   // over bytes already written...
  ASSERT_TRUE(f.write(as_bytes(":tail")));      // ...and writing in order goes on at the end
  EXPECT_FALSE(f.write_at(f.size() - 1, as_bytes("past")));
  EXPECT_FALSE(f.copy_from(source, source_text.size() - 2, 3));
  ASSERT_TRUE(f.commit());
  EXPECT_EQ(read_text(dir / "out.txt"), "hEAd:" + source_text.substr(10, 250000) + source_text.substr(5, 3) + ":tail");
}

TEST(AtomicFile, ExpectedLengthIsAdviceOnly) {
  TempDir dir;
  for (std::uint64_t expected : {std::uint64_t{0}, std::uint64_t{2}, std::uint64_t{8} << 20}) {
    AtomicFile f;
    ASSERT_TRUE(f.open((dir / "out.bin").string()));
    f.expect(expected);
    ASSERT_TRUE(f.write(as_bytes("abc")) && f.commit()) << expected;
    EXPECT_EQ(read_text(dir / "out.bin"), "abc") << "expected " << expected;
  }
}

TEST(InputFile, PositionedReadsLeaveReadingInOrderWhereItWas) {
  TempDir dir;
  write_file(dir / "f.txt", "abcdefghij");
  InputFile in;
  ASSERT_TRUE(in.open((dir / "f.txt").string()));
  ASSERT_TRUE(in.size_known());
  EXPECT_EQ(in.size(), 10u);
  std::uint8_t two[2];
  ASSERT_TRUE(in.read_exact(two, 2));
  std::uint8_t at[3];
  ASSERT_TRUE(in.read_at(6, at, 3));
  EXPECT_EQ(std::string(at, at + 3), "ghi");
  ASSERT_TRUE(in.read_exact(two, 2));
  EXPECT_EQ(std::string(two, two + 2), "cd");
  EXPECT_FALSE(in.read_at(8, at, 3)) << "past the end";

  std::uint8_t rest[6];
  ASSERT_TRUE(in.read_exact(rest, 6));
  EXPECT_TRUE(in.unchanged_at_end());
  write_file(dir / "f.txt", "abcdefghijk");  // grows after it was opened
  EXPECT_FALSE(in.unchanged_at_end());
}

TEST(FolderLock, SecondHolderWaitsForTheFirst) {
  TempDir dir;
  const std::string folder = (dir / "keys").string() + "/";
  fs::create_directory(dir / "keys");
  auto first = std::make_unique<FolderLock>();
  ASSERT_TRUE(first->lock(folder));
  std::atomic<bool> second_has_it{false};
  std::thread other([&] {
    FolderLock second;
    std::error_code ec;
    EXPECT_TRUE(second.lock(folder, &ec)) << ec.message();
    second_has_it = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(second_has_it) << "the lock was taken while held";
  first.reset();
  other.join();
  EXPECT_TRUE(second_has_it);
  EXPECT_EQ(list_dir(dir / "keys"), "") << "the lock leaves nothing in the folder";
}

}  // namespace
}  // namespace vellicor
