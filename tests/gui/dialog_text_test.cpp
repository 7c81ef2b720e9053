#include "gui/win32/dialog_text.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::gui {
namespace {

using namespace std::string_literals;

TEST(DialogTextTest, LogLinesEndInCrLfForTheEditControl) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", ""},
      {"a\nb\n", "a\r\nb\r\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},        // already right: no doubled CR
      {"\n\n", "\r\n\r\n"},                // a leading line end has no CR before it
      {"Product:\t72\r\nx\n", "Product:\t72\r\nx\r\n"},
      {"a\rb", "a\rb"},                    // a lone CR is left alone
  };
  for (const Case& c : cases) EXPECT_EQ(CrLfLineEnds(c.in), c.out) << c.in;
}

TEST(DialogTextTest, OpenFileFilterIsZeroSeparatedAndDoublyTerminated) {
  EXPECT_EQ(OpenFileFilter("Talvex MAP Files (*.map)|*.map|All Files (*.*)|*.*||"),
            "Talvex MAP Files (*.map)\0*.map\0All Files (*.*)\0*.*\0\0"s);
  // Without its closing bars the list still ends in two zeros, never runs on.
  EXPECT_EQ(OpenFileFilter("Maps|*.map"), "Maps\0*.map\0\0"s);
  EXPECT_EQ(OpenFileFilter(""), "\0\0"s);
}

TEST(DialogTextTest, BoxTextDropsTrailingLineEndsOnly) {
  EXPECT_EQ(BoxText("Wrong Mapping for this Mobile!\r\n"), "Wrong Mapping for this Mobile!");
  EXPECT_EQ(BoxText("  two\r\nlines \n\n"), "  two\r\nlines");
  EXPECT_EQ(BoxText("\r\n"), "");
}

}  // namespace
}  // namespace velmora::gui
