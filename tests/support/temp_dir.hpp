#pragma once
// A fresh scratch folder per test, removed with everything in it afterwards.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

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

// Whether a name is one of the file layer's hidden pending files
// (".vellicor-<random>"), which no finished command leaves behind.
inline bool is_pending_name(const std::filesystem::path& p) { return p.filename().string().rfind(".vellicor-", 0) == 0; }

// The permission bits of a file, links followed; 0 where there is none.
unsigned mode_of(const std::filesystem::path& p);

// Writes `data` as the program writes every file: through AtomicFile, in
// blocks, then committed.
bool write_through(const std::string& path, ByteView data, std::string* why = nullptr);

// What a call printed on standard output and standard error.
struct Printed {
  std::string out;
  std::string err;
};
Printed capture(const std::function<void()>& run);

// A call's result and what it printed.
template <class T>
struct Outcome {
  T result{};
  std::string out;
  std::string err;
};
template <class F>
Outcome<std::invoke_result_t<F&>> outcome_of(F&& run) {
  Outcome<std::invoke_result_t<F&>> o;
  Printed p = capture([&] { o.result = run(); });
  o.out = p.out;
  o.err = p.err;
  return o;
}

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
