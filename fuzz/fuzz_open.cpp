// The open path on fuzzed bytes, written to a file: parse_envelope on the
// file's bytes from a position taken from the input, as an envelope, then
// extract_and_decrypt on the file as a stego PNG, with a fixed test key pair
// (fuzz/keys/, made by genkeys) that the seed corpus was sealed for. The
// checks: the parser accepts exactly the envelopes whose lengths fit and
// finds the fields at the right places, and the open path
// writes an output file only when it succeeds, leaves no temporary file, and
// never succeeds on an envelope that a plain reading calls invalid; the open
// through a scratch file, for file systems without unnamed files, agrees
// with it.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "tests/support/syscall_override.hpp"
#include "png/chunk_walk.hpp"
#include "seal/envelope.hpp"
#include "seal/pipelines.hpp"
#include "util/endian.hpp"
#include "util/file_io.hpp"

namespace {

using namespace vellicor;

struct PlainEnvelope {
  bool valid = false;
  std::uint64_t k = 0, c = 0;
};

PlainEnvelope read_plainly(const std::uint8_t* d, std::uint64_t n) {
  PlainEnvelope e;
  if (n < 2) return e;
  e.k = load_be(d, 2);
  if (n < e.k + 38) return e;
  e.c = load_be(d + 30 + e.k, 8);
  e.valid = e.c <= n - e.k - 38;
  return e;
}

void check_parser(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t at = size == 0 ? 0 : data[0] % (size + 1);
  InputFile file;
  FUZZ_CHECK(file.open("stego.png"));
  EnvelopeHeader header;
  const HeaderRead read = parse_envelope(file, at, size - at, header);
  FUZZ_CHECK(read != HeaderRead::read_error);
  const PlainEnvelope plain = read_plainly(data + at, size - at);
  FUZZ_CHECK((read == HeaderRead::ok) == plain.valid);
  if (!plain.valid) return;
  FUZZ_CHECK(header.k == plain.k && header.c == plain.c && header.ciphertext_offset == at + 38 + plain.k);
  FUZZ_CHECK(std::equal(header.bytes.begin(), header.bytes.end(), data + at) && header.bytes.size() == 38 + plain.k);
}

bool copy_file(const std::string& from, const std::string& to) {
  std::vector<std::uint8_t> bytes;
  return fuzz::read_bytes(from, bytes) && fuzz::write_bytes(to, bytes.data(), bytes.size());
}

// The key files sit in keys/ under the current folder, as beside the program.
void enter_key_folder() {
  const std::string& dir = fuzz::scratch_dir();
  const std::string keys = dir + "/keys";
  if (::mkdir(keys.c_str(), 0700) != 0 || !copy_file(fuzz::fixture_dir() + "/keys/kyber.pub", keys + "/kyber.pub") ||
      !copy_file(fuzz::fixture_dir() + "/keys/kyber.prv", keys + "/kyber.prv") || ::chdir(dir.c_str()) != 0) {
    std::perror("fuzz_open: cannot set up the key folder");
    std::abort();
  }
}

// The open into an unnamed file and the open through a scratch file (where a
// file system has no unnamed files) give the same result and the same bytes.
void check_open(const std::uint8_t* data) {
  fuzz::remove_file("out.bin");
  fuzz::remove_file("mem.bin");
  const bool ok = extract_and_decrypt("stego.png", "out.bin");
  FUZZ_CHECK(fuzz::exists("out.bin") == ok);
  FUZZ_CHECK(fuzz::list_dir(".").size() == (ok ? 3u : 2u));  // keys, stego.png[, out.bin]
  bool ok_through_scratch = false;
  {
    const test::UnnamedFiles none;
    ok_through_scratch = extract_and_decrypt("stego.png", "mem.bin");
  }
  FUZZ_CHECK(ok_through_scratch == ok);
  FUZZ_CHECK(fuzz::list_dir(".").size() == (ok ? 4u : 2u));
  if (!ok) return;
  std::vector<std::uint8_t> a, b;
  FUZZ_CHECK(fuzz::read_bytes("out.bin", a) && fuzz::read_bytes("mem.bin", b) && a == b);
  InputFile stego;
  FUZZ_CHECK(stego.open("stego.png"));
  const ChunkSpot spot = find_chunk(stego, payload_chunk_type);
  FUZZ_CHECK(spot.status == WalkStatus::found);
  const PlainEnvelope plain = read_plainly(data + spot.offset + 8, spot.data_length);
  FUZZ_CHECK(plain.valid && plain.k == 1568);
  std::vector<std::uint8_t> restored;
  FUZZ_CHECK(fuzz::read_bytes("out.bin", restored) && restored.size() == plain.c);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_key_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::write_bytes("stego.png", data, size)) return 0;
  check_parser(data, size);
  check_open(data);
  return 0;
}
