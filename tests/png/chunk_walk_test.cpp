// The chunk walk: every way it can end, on files of hand-made bytes, with
// header windows that end inside, at and after every header.
#include "png/chunk_walk.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

using namespace test;

ByteBuffer with(std::vector<ByteBuffer> parts, bool sig = true) {
  ByteBuffer b = sig ? test::kPngSignature : ByteBuffer{};
  for (auto& p : parts) append(b, p);
  return b;
}

ByteBuffer raw(std::initializer_list<std::uint8_t> bytes) { return ByteBuffer(bytes); }

TEST(ChunkWalk, Outcomes) {
  const ByteBuffer ihdr = make_chunk("IHDR", as_bytes("0123456789abc"));
  const ByteBuffer iend = make_chunk("IEND", {});
  const ByteBuffer vcky = make_chunk("vcKy", as_bytes("xyz"));
  ByteBuffer no_crc_last = make_chunk("vcKy", as_bytes("abcd"));
  no_crc_last.resize(no_crc_last.size() - 4);
  ByteBuffer one_past = make_chunk("vcKy", as_bytes("abcd"));
  one_past.resize(one_past.size() - 5);
  const ByteBuffer& sig = test::kPngSignature;
  ByteBuffer sig_wrong = sig;
  sig_wrong[7] ^= 1;
  std::vector<ByteBuffer> many(40, make_chunk("zzZz", {}));
  many.push_back(ihdr);
  many.push_back(vcky);

  struct Case {
    const char* name;
    ByteBuffer file;
    ChunkType type;
    WalkStatus status;
    std::uint64_t offset;
    std::uint64_t length;
  };
  const std::vector<Case> cases = {
      {"empty file", {}, iend_chunk_type, WalkStatus::too_small, 0, 0},
      {"seven bytes", ByteBuffer(sig.begin(), sig.begin() + 7), iend_chunk_type, WalkStatus::too_small, 0, 0},
      {"last signature byte wrong", sig_wrong, iend_chunk_type, WalkStatus::bad_signature, 0, 0},
      {"signature only", sig, iend_chunk_type, WalkStatus::not_found, 0, 0},
      {"signature and 7 bytes", with({raw({0, 0, 0, 0, 'I', 'E', 'N'})}), iend_chunk_type, WalkStatus::not_found, 0, 0},
      {"IEND after IHDR", with({ihdr, iend}), iend_chunk_type, WalkStatus::found, 8 + ihdr.size(), 0},
      {"no IEND", with({ihdr}), iend_chunk_type, WalkStatus::not_found, 0, 0},
      {"first of two IEND", with({ihdr, iend, iend}), iend_chunk_type, WalkStatus::found, 8 + ihdr.size(), 0},
      {"length past the end", with({raw({0, 0, 0, 20, 'I', 'H', 'D', 'R', 1, 2, 3})}), iend_chunk_type,
       WalkStatus::malformed, 0, 0},
      {"length 0xFFFFFFFF", with({raw({0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c', 'd'}), iend}), iend_chunk_type,
       WalkStatus::malformed, 0, 0},
      {"length one past the end", with({one_past}), payload_chunk_type, WalkStatus::malformed, 0, 0},
      {"last chunk without CRC", with({ihdr, no_crc_last}), payload_chunk_type, WalkStatus::found, 8 + ihdr.size(), 4},
      {"vcKy after IEND", with({ihdr, iend, vcky}), payload_chunk_type, WalkStatus::found,
       8 + ihdr.size() + iend.size(), 3},
      {"type compared case-sensitively", with({make_chunk("VCKY", {}), make_chunk("vcky", {})}), payload_chunk_type,
       WalkStatus::not_found, 0, 0},
      {"IEND as data is not a type", with({make_chunk("tEXt", as_bytes("IEND"))}), iend_chunk_type,
       WalkStatus::not_found, 0, 0},
      {"vcKy after 40 empty chunks and IHDR", with(many), payload_chunk_type, WalkStatus::found,
       8 + 40 * 12 + ihdr.size(), 3},
      {"length past the end after 40 empty chunks", with({with(many, false), raw({0, 0, 1, 0, 'I', 'E', 'N', 'D'})}),
       iend_chunk_type, WalkStatus::malformed, 0, 0},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    test::write_file(dir / "f.png", c.file);
    InputFile file;
    ASSERT_TRUE(file.open((dir / "f.png").string())) << c.name;
    for (const std::size_t window : {std::size_t{0}, std::size_t{9}, std::size_t{12}, std::size_t{31},
                                      chunk_header_window}) {
      const ChunkSpot spot = find_chunk(file, c.type, window);
      EXPECT_EQ(spot.status, c.status) << c.name << ", window " << window;
      if (c.status == WalkStatus::found) {
        EXPECT_EQ(spot.offset, c.offset) << c.name << ", window " << window;
        EXPECT_EQ(spot.data_length, c.length) << c.name << ", window " << window;
      }
    }
  }
}

}  // namespace
}  // namespace vellicor
