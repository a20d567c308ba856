#include "shared/platform/text_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "shared/platform/win_error.h"

namespace tervane {

// A Chinese path travels in code page 936 ("数据" is CA FD BE DD); a name
// outside it (U+1F600, a Hangul jamo) takes GB18030's four-byte codes.
TEST(TextCodecTest, NamesRoundTripThroughTheWireEncoding) {
  const std::pair<std::string, std::string> cases[] = {
      {"E:\\数据", "E:\\\xCA\xFD\xBE\xDD"},
      {"emoji-\xF0\x9F\x98\x80-\xE1\x84\x80", "emoji-\x94\x39\xFC\x36-\x81\x33\x9D\x36"}};
  for (const auto& [utf8, expected] : cases) {
    std::string wire, back;
    ASSERT_TRUE(Utf8ToWire(utf8, &wire));
    EXPECT_EQ(wire, expected);
    ASSERT_TRUE(WireToUtf8(wire, &back));
    EXPECT_EQ(back, utf8);
  }
}

TEST(TextCodecTest, BoundedBuffersAndBadInput) {
  char out[8];
  size_t len = 99;
  EXPECT_EQ(WireToUtf8("abc", out, sizeof out, &len), 0u);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(WireToUtf8("abcdefgh", out, sizeof out), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_STREQ(out, "");
  // Two CJK characters take 6 UTF-8 bytes plus the terminator: fits in 7, not in 6.
  EXPECT_EQ(WireToUtf8("\xCA\xFD\xBE\xDD", out, 7), 0u);
  EXPECT_STREQ(out, "数据");
  EXPECT_EQ(WireToUtf8("\xCA\xFD\xBE\xDD", out, 6), ERROR_FILENAME_EXCED_RANGE);
  // A lone lead byte is not GB18030; invalid UTF-8 is refused the other way.
  EXPECT_EQ(WireToUtf8("a\x81", out, sizeof out), ERROR_INVALID_NAME);
  EXPECT_EQ(Utf8ToWire("a\xC3", out, sizeof out), ERROR_INVALID_NAME);
  EXPECT_EQ(Utf8ToWire(std::string_view("a\0b", 3), out, sizeof out), ERROR_INVALID_NAME);
  std::string s = "keep";
  EXPECT_FALSE(WireToUtf8("\xFF", &s));
  EXPECT_TRUE(s.empty());
}

}  // namespace tervane
