#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <system_error>
#include <vector>

#include "util/file_io.hpp"

namespace vellicor::test {

// A new folder with a random name; create_directory reports whether it made
// the folder, so a name that is already taken is simply tried again.
TempDir::TempDir() {
  static std::mt19937_64 names{std::random_device{}()};
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "vellicor-test-%012llx",
                  static_cast<unsigned long long>(names() & 0xffffffffffffULL));
    std::error_code ec;
    if (std::filesystem::create_directory(base / name, ec)) {
      path_ = base / name;
      // Owner only, as mkdtemp makes them.
      std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace, ec);
      return;
    }
  }
  ADD_FAILURE() << "cannot make a scratch folder in " << base;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may have taken permissions away; give them back so removal works.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

ByteView as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A file made here is readable by all and writable by its owner only
// (0644), whatever the umask, as the key files' checks expect; one that was
// there keeps its mode.
void write_file(const std::filesystem::path& p, ByteView content) {
  std::error_code ec;
  const bool made = !std::filesystem::exists(p, ec);
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  f.close();
  if (!f) ADD_FAILURE() << "cannot write " << p;
  using std::filesystem::perms;
  if (made) std::filesystem::permissions(p, perms::owner_read | perms::owner_write | perms::group_read | perms::others_read, ec);
}

void write_file(const std::filesystem::path& p, std::string_view content) { write_file(p, as_bytes(content)); }

ByteBuffer read_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) {
    ADD_FAILURE() << "cannot read " << p;
    return {};
  }
  ByteBuffer out;
  char buf[65536];
  while (f.read(buf, sizeof buf) || f.gcount() > 0)
    out.insert(out.end(), reinterpret_cast<std::uint8_t*>(buf), reinterpret_cast<std::uint8_t*>(buf) + f.gcount());
  return out;
}

std::string read_text(const std::filesystem::path& p) {
  ByteBuffer b = read_file(p);
  return std::string(b.begin(), b.end());
}

std::string list_dir(const std::filesystem::path& p) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(p, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const auto& n : names) joined += (joined.empty() ? "" : " ") + n;
  return joined;
}

unsigned mode_of(const std::filesystem::path& p) {
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(p, ec);
  return ec || !std::filesystem::exists(st) ? 0 : static_cast<unsigned>(st.permissions()) & 07777;
}

bool write_through(const std::string& path, ByteView data, std::string* why) {
  AtomicFile file;
  std::error_code ec;
  bool ok = file.open(path, {}, &ec);
  for (std::size_t at = 0; ok && at < data.size(); at += write_block_length)
    ok = file.write(data.subspan(at, std::min(write_block_length, data.size() - at)), &ec);
  ok = ok && file.commit(&ec);
  if (!ok && why != nullptr) *why = ec.message();
  return ok;
}

Printed capture(const std::function<void()>& run) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run();
  std::fflush(stdout);
  std::fflush(stderr);
  std::string out = testing::internal::GetCapturedStdout();
  return {out, testing::internal::GetCapturedStderr()};
}

CurrentFolder::CurrentFolder(const std::filesystem::path& folder) : saved_(std::filesystem::current_path()) {
  std::filesystem::current_path(folder);
}

CurrentFolder::~CurrentFolder() {
  std::error_code ec;
  std::filesystem::current_path(saved_, ec);
}

}  // namespace vellicor::test
