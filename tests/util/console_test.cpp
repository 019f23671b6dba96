// How names are shown on the console: control bytes escaped, all else as is.
#include "util/console.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace vellicor {
namespace {

TEST(Printable, EscapesControlBytesOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x1f \x7f~", "\\x1f \\x7f~"},
      {"car\033c.png\n", "car\\x1bc.png\\x0a"},
      {"\\x1b", "\\x1b"},  // a backslash is left as it is
      {"s\xc3\xad\x80\xff", "s\xc3\xad\x80\xff"},
  };
  for (const auto& [name, shown] : cases) EXPECT_EQ(printable(name), shown) << shown;
}

}  // namespace
}  // namespace vellicor
