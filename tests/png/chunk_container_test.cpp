// The chunk writer and the chunk search on real files: the stego layout, the
// carriers the chunk walk must cope with, and every failure line.
#include "png/chunk_container.hpp"
#include "png/crc32.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/road.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using namespace test;

using Outcome = test::Outcome<bool>;

ByteBuffer cat(std::vector<ByteBuffer> parts) {
  ByteBuffer b;
  for (auto& p : parts) append(b, p);
  return b;
}

// A carrier split where the chunk must go: before + after is the file.
struct CarrierCase {
  const char* name;
  ByteBuffer before;
  ByteBuffer after;
};

std::vector<CarrierCase> carriers() {
  const ByteBuffer png = test::make_png(5, 4, 3);
  const ByteBuffer iend = make_chunk("IEND", {});
  const ByteBuffer head(png.begin(), png.end() - 12);  // everything before IEND
  ByteBuffer bad_crc_chunk = test::make_chunk_with_crc("tEXt", as_bytes("kv"), 0x12345678);
  ByteBuffer iend_no_crc(iend.begin(), iend.begin() + 8);
  return {
      {"plain image", head, iend},
      {"bytes after IEND", head, cat({iend, ByteBuffer{'t', 'r', 'a', 'i', 'l', 0, 0xFF}})},
      {"two IEND chunks", head, cat({iend, make_chunk("tIME", as_bytes("1234567")), iend})},
      {"older vcKy before IEND", cat({head, make_chunk("vcKy", as_bytes("older"))}), iend},
      {"wrong CRCs kept as they are", cat({head, bad_crc_chunk}), test::make_chunk_with_crc("IEND", {}, 0)},
      {"IEND without its CRC", head, iend_no_crc},
      {"IEND right after the signature", test::kPngSignature, iend},
  };
}

ByteBuffer patterned(std::size_t n) {
  ByteBuffer b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return b;
}

TEST(StegoWriter, ChunkGoesDirectlyBeforeFirstIendAndNothingElseChanges) {
  test::TempDir dir;
  for (const ByteBuffer& payload : {ByteBuffer{}, bytes("x"), patterned(100000)}) {
    // The header (written last, at its place) and the streamed body make one chunk.
    for (const CarrierCase& c : carriers()) for (std::size_t header : {std::size_t{0}, payload.size() / 3}) {
      write_file(dir / "carrier.png", cat({c.before, c.after}));
      Outcome r = outcome_of([&] {
        return test::embed_payload((dir / "carrier.png").string(), (dir / "out.png").string(), payload, header);
      });
      ASSERT_TRUE(r.result) << c.name << ": " << r.err;
      const bool hides = c.name == std::string("older vcKy before IEND");
      EXPECT_EQ(r.err, hides ? "[WARN] carrier PNG '" + (dir / "carrier.png").string() +
                                   "' already hides a file: extract will restore that one, not the new one\n"
                             : "");
      EXPECT_EQ(r.out, "");
      // make_chunk computes the CRC with zlib, independently of the program.
      const ByteBuffer expected = cat({c.before, make_chunk("vcKy", payload), c.after});
      EXPECT_EQ(read_file(dir / "out.png"), expected) << c.name << ", payload " << payload.size();
    }
  }
}

TEST(StegoWriter, EmptyPayloadGivesTwelveByteChunk) {
  test::TempDir dir;
  const ByteBuffer png = test::make_png(2, 2);
  write_file(dir / "c.png", png);
  ASSERT_TRUE(test::embed_payload((dir / "c.png").string(), (dir / "o.png").string(), {}));
  const ByteBuffer out = read_file(dir / "o.png");
  ASSERT_EQ(out.size(), png.size() + 12);
  const ByteBuffer chunk(out.end() - 24, out.end() - 12);
  EXPECT_EQ(chunk, (ByteBuffer{0, 0, 0, 0, 'v', 'c', 'K', 'y', 0x1F, 0xD5, 0x0A, 0x73}));
  EXPECT_EQ(test::read_be32(chunk.data() + 8), png_crc32(as_bytes("vcKy")));
}

TEST(StegoWriter, CarrierAndOutputMayBeTheSameFile) {
  test::TempDir dir;
  const ByteBuffer png = test::make_png(3, 3);
  write_file(dir / "same.png", png);
  const std::string path = (dir / "same.png").string();
  ASSERT_TRUE(test::embed_payload(path, path, as_bytes("payload")));
  ByteBuffer expected(png.begin(), png.end() - 12);
  append(expected, make_chunk("vcKy", as_bytes("payload")));
  append(expected, make_chunk("IEND", {}));
  EXPECT_EQ(read_file(dir / "same.png"), expected);
  EXPECT_EQ(test::list_dir(dir.path()), "same.png");
}

TEST(StegoWriter, FailuresWriteOneLineAndNoOutput) {
  const ByteBuffer png = test::make_png(2, 2);
  struct Case {
    const char* name;
    std::optional<ByteBuffer> carrier;  // nullopt: no carrier file
    std::string expected_err;           // "@C" stands for the carrier path
  };
  const std::vector<Case> cases = {
      {"missing carrier", std::nullopt, "[ERR] cannot read carrier PNG '@C'\n"},
      {"empty carrier", ByteBuffer{}, "[ERR] carrier file too small to be PNG\n"},
      {"seven bytes", ByteBuffer(png.begin(), png.begin() + 7), "[ERR] carrier file too small to be PNG\n"},
      {"not a PNG", bytes("GIF89a-looking-file"), "[ERR] carrier file '@C' is not a valid PNG (bad signature)\n"},
      {"signature only", test::kPngSignature, "[ERR] IEND chunk not found in PNG '@C'\n"},
      {"signature and 7 bytes", cat({test::kPngSignature, ByteBuffer{0, 0, 0, 0, 'I', 'E', 'N'}}),
       "[ERR] IEND chunk not found in PNG '@C'\n"},
      {"no IEND", ByteBuffer(png.begin(), png.end() - 12), "[ERR] IEND chunk not found in PNG '@C'\n"},
      {"length past the end", cat({test::kPngSignature, ByteBuffer{0x7F, 0, 0, 0, 'I', 'D', 'A', 'T', 1}}),
       "[ERR] malformed PNG: chunk length beyond file size\n"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string carrier = (dir / "in.png").string();
    if (c.carrier) write_file(carrier, *c.carrier);
    Outcome r = outcome_of([&] { return test::embed_payload(carrier, (dir / "out.png").string(), as_bytes("data")); });
    std::string expected = c.expected_err;
    if (auto at = expected.find("@C"); at != std::string::npos) expected.replace(at, 2, carrier);
    EXPECT_FALSE(r.result) << c.name;
    EXPECT_EQ(r.err, expected) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_FALSE(fs::exists(dir / "out.png")) << c.name;
  }
}

TEST(StegoWriter, UnwritableOutput) {
  test::TempDir dir;
  write_file(dir / "c.png", test::make_png(2, 2));
  const std::string out = (dir / "no-such-dir" / "o.png").string();
  Outcome r = outcome_of([&] { return test::embed_payload((dir / "c.png").string(), out, as_bytes("x")); });
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.err, "[ERR] failed to write output PNG '" + out + "'\n");
  EXPECT_EQ(test::list_dir(dir.path()), "c.png");
}

// A carrier cut short while it is copied is what failed, not the output.
TEST(StegoWriter, CarrierThatShrinksIsNamed) {
  test::TempDir dir;
  write_file(dir / "c.png", test::make_png(64, 64));
  const std::string carrier = (dir / "c.png").string();
  Carrier c;
  StegoWriter writer;
  Outcome r = outcome_of([&] {
    if (!open_carrier(carrier, c)) return false;
    fs::resize_file(dir / "c.png", 20);
    return writer.open((dir / "o.png").string(), c, 0);
  });
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.err, "[ERR] cannot read carrier PNG '" + carrier + "'\n");
  EXPECT_EQ(test::list_dir(dir.path()), "c.png");
}

TEST(StegoWriter, BodyTooBigForOneChunkIsRefusedUnread) {
  // Address space only: the pages are never touched, so this costs no memory.
  const std::size_t n = std::size_t{0x80000000};
  void* p = ::mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  test::TempDir dir;
  write_file(dir / "c.png", test::make_png(2, 2));
  Carrier carrier;
  StegoWriter writer;
  ASSERT_TRUE(open_carrier((dir / "c.png").string(), carrier) && writer.open((dir / "o.png").string(), carrier, 0));
  Outcome r = outcome_of([&] { return writer.append(ByteView(static_cast<std::uint8_t*>(p), n)); });
  ::munmap(p, n);
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.err, "[ERR] payload of 2147483648 bytes does not fit in one PNG chunk (at most 2147483647)\n");
  EXPECT_FALSE(fs::exists(dir / "o.png"));
}

TEST(ExtractFromPng, ReturnsTheFirstVcKyChunkWhereverItIs) {
  const ByteBuffer png = test::make_png(3, 2);
  const ByteBuffer head(png.begin(), png.end() - 12);
  const ByteBuffer iend = make_chunk("IEND", {});
  ByteBuffer last_no_crc = make_chunk("vcKy", as_bytes("tail"));
  last_no_crc.resize(last_no_crc.size() - 4);
  struct Case {
    const char* name;
    ByteBuffer file;
    std::string payload;
  };
  const std::vector<Case> cases = {
      {"before IEND", cat({head, make_chunk("vcKy", as_bytes("one")), iend}), "one"},
      {"older one wins", cat({head, make_chunk("vcKy", as_bytes("old")), make_chunk("vcKy", as_bytes("new")), iend}),
       "old"},
      {"after IEND", cat({head, iend, make_chunk("vcKy", as_bytes("late"))}), "late"},
      {"empty chunk", cat({head, make_chunk("vcKy", {}), iend}), ""},
      {"wrong CRC not checked", cat({head, test::make_chunk_with_crc("vcKy", as_bytes("crc"), 1), iend}), "crc"},
      {"last chunk without CRC", cat({head, iend, last_no_crc}), "tail"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    write_file(dir / "s.png", c.file);
    ByteBuffer payload = bytes("previous");
    Outcome r = outcome_of([&] { return test::extract_payload((dir / "s.png").string(), payload); });
    EXPECT_TRUE(r.result) << c.name << ": " << r.err;
    EXPECT_EQ(std::string(payload.begin(), payload.end()), c.payload) << c.name;
  }
}

TEST(ExtractFromPng, FailuresWriteOneLineAndLeavePayloadAlone) {
  const ByteBuffer png = test::make_png(2, 2);
  struct Case {
    const char* name;
    std::optional<ByteBuffer> file;
    std::string expected_err;  // "@S" stands for the stego path
  };
  const std::vector<Case> cases = {
      {"missing file", std::nullopt, "[ERR] cannot read PNG '@S'\n"},
      {"five bytes", ByteBuffer(png.begin(), png.begin() + 5), "[ERR] PNG too small\n"},
      {"not a PNG", ByteBuffer(8, 0x42), "[ERR] file '@S' is not a valid PNG (bad signature)\n"},
      {"signature only", test::kPngSignature, "[ERR] no vcKy chunk found in PNG '@S'\n"},
      {"plain image", png, "[ERR] no vcKy chunk found in PNG '@S'\n"},
      {"length past the end", cat({test::kPngSignature, ByteBuffer{0, 0, 1, 0, 'v', 'c', 'K', 'y', 1, 2}}),
       "[ERR] malformed PNG while searching vcKy\n"},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    const std::string path = (dir / "s.png").string();
    if (c.file) write_file(path, *c.file);
    ByteBuffer payload{1, 2, 3};
    Outcome r = outcome_of([&] { return test::extract_payload(path, payload); });
    std::string expected = c.expected_err;
    if (auto at = expected.find("@S"); at != std::string::npos) expected.replace(at, 2, path);
    EXPECT_FALSE(r.result) << c.name;
    EXPECT_EQ(r.err, expected) << c.name;
    EXPECT_EQ(payload, (ByteBuffer{1, 2, 3})) << c.name;
  }
}

}  // namespace
}  // namespace vellicor
