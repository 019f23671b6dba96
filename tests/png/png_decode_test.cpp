// A stego PNG is still the same picture: libpng decodes it to the carrier's
// pixels without a warning, and pngcheck (when installed) accepts it.
#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/road.hpp"
#include "tests/support/run_program.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_png.hpp"

namespace vellicor {
namespace {

namespace fs = std::filesystem;
using test::noise;

struct Decoded {
  bool ok = false;
  std::string problem;
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgba;
};

Decoded decode(const ByteBuffer& file) {
  Decoded d;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
    d.problem = image.message;
    return d;
  }
  image.format = PNG_FORMAT_RGBA;
  d.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, d.rgba.data(), 0, nullptr)) {
    d.problem = image.message;
    png_image_free(&image);
    return d;
  }
  // The simplified API skips unknown chunks silently; any warning it does
  // give (a damaged IDAT, say) counts as a failure.
  d.ok = image.warning_or_error == 0;
  if (!d.ok) d.problem = image.message;
  d.width = image.width;
  d.height = image.height;
  return d;
}

std::string find_pngcheck() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    fs::path p = fs::path(dir) / "pngcheck";
    std::error_code ec;
    if (fs::exists(p, ec)) return p.string();
  }
  return {};
}

struct StegoCase {
  std::uint32_t width, height;
  std::size_t payload;
};
const StegoCase kCases[] = {{1, 1, 0}, {16, 9, 1}, {64, 48, 100000}};

TEST(StegoPng, DecodesToTheCarriersPixels) {
  test::TempDir dir;
  for (const StegoCase& c : kCases) {
    const ByteBuffer carrier = test::make_png(c.width, c.height, c.width);
    test::write_file(dir / "c.png", carrier);
    ASSERT_TRUE(test::embed_payload((dir / "c.png").string(), (dir / "s.png").string(), noise(c.payload, 9)));
    const Decoded want = decode(carrier);
    const Decoded got = decode(test::read_file(dir / "s.png"));
    ASSERT_TRUE(want.ok) << want.problem;
    ASSERT_TRUE(got.ok) << got.problem;
    EXPECT_EQ(got.width, c.width);
    EXPECT_EQ(got.height, c.height);
    EXPECT_EQ(got.rgba, want.rgba) << c.width << "x" << c.height;
  }
}

TEST(StegoPng, PngcheckAcceptsIt) {
  const std::string pngcheck = find_pngcheck();
  if (pngcheck.empty()) GTEST_SKIP() << "pngcheck is not installed";
  test::TempDir dir;
  for (const StegoCase& c : kCases) {
    test::write_file(dir / "c.png", test::make_png(c.width, c.height));
    ASSERT_TRUE(test::embed_payload((dir / "c.png").string(), (dir / "s.png").string(), noise(c.payload, 3)));
    test::RunResult r = test::run_program(pngcheck, {(dir / "s.png").string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("OK"), std::string::npos) << r.out;
  }
  // The check has teeth: the same tool refuses a chunk whose CRC is off.
  ByteBuffer png = test::make_png(4, 4);
  ByteBuffer bad(png.begin(), png.end() - 12);
  test::append(bad, test::make_chunk_with_crc("vcKy", test::as_bytes("abc"), 0xDEADBEEF));
  test::append(bad, test::make_chunk("IEND", {}));
  test::write_file(dir / "bad.png", bad);
  EXPECT_NE(test::run_program(pngcheck, {(dir / "bad.png").string()}).status, 0);
}

}  // namespace
}  // namespace vellicor
