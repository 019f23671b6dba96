#pragma once
// A fresh scratch folder per test, removed with everything in it afterwards.

#include <filesystem>
#include <string>
#include <string_view>

#include "util/byte_buffer.hpp"

namespace vellicor::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Small file helpers for tests; they fail the test (ADD_FAILURE) on errors.
void write_file(const std::filesystem::path& p, std::string_view content);
void write_file(const std::filesystem::path& p, ByteView content);
ByteBuffer read_file(const std::filesystem::path& p);
std::string read_text(const std::filesystem::path& p);
ByteView as_bytes(std::string_view s);
// Names of all entries directly in a folder, sorted, for "which files exist" checks.
std::string list_dir(const std::filesystem::path& p);

// Writes `data` as the program writes every file: through AtomicFile, in
// blocks, then committed.
bool write_through(const std::string& path, ByteView data, std::string* why = nullptr);

// Makes a folder the current folder for as long as it lives, then goes back.
class CurrentFolder {
 public:
  explicit CurrentFolder(const std::filesystem::path& folder);
  ~CurrentFolder();
  CurrentFolder(const CurrentFolder&) = delete;
  CurrentFolder& operator=(const CurrentFolder&) = delete;

 private:
  std::filesystem::path saved_;
};

}  // namespace vellicor::test
