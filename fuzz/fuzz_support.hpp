#pragma once
// Small helpers shared by the fuzz targets: a private scratch folder per
// process (so targets can run side by side), raw file writes for feeding the
// file-based operations, and a check that stops the run with a message.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vellicor::fuzz {

// A fresh folder under /dev/shm (or $TMPDIR) that lives as long as the process.
const std::string& scratch_dir();

// The folder that holds the targets' sources and fixtures.
std::string fixture_dir();

bool write_bytes(const std::string& path, const std::uint8_t* data, std::size_t size);
bool read_bytes(const std::string& path, std::vector<std::uint8_t>& out);
bool exists(const std::string& path);
void remove_file(const std::string& path);
// Names in a folder, sorted, "." and ".." left out.
std::vector<std::string> list_dir(const std::string& dir);

// What `run` wrote to standard output and to standard error (both streams
// are flushed and their descriptors put back afterwards).
struct Printed {
  std::string out;
  std::string err;
};
Printed capture(const std::function<void()>& run);

// A broken invariant: the message goes to the fuzzer's own output and the
// process aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] void check_failed(const char* file, int line, const char* what);

}  // namespace vellicor::fuzz

#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : ::vellicor::fuzz::check_failed(__FILE__, __LINE__, #cond))
