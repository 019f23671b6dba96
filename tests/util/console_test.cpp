// How names are shown on the console: control bytes escaped, all else as is.
#include "util/console.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vellicor {
namespace {

TEST(Printable, EscapesControlBytesOnly) {
  struct Case {
    std::string name;
    std::string shown;
  };
  const Case cases[] = {
      {"", ""},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x1f \x7f~", "\\x1f \\x7f~"},
      {"car\033c.png\n", "car\\x1bc.png\\x0a"},
      {"\\x1b", "\\x1b"},  // a backslash is left as it is
      {"s\xc3\xad\x80\xff", "s\xc3\xad\x80\xff"},
  };
  for (const Case& c : cases) EXPECT_EQ(printable(c.name), c.shown) << c.shown;
}

}  // namespace
}  // namespace vellicor
