// The bytes a GBK device sees, and the digest it compares.
#include <gtest/gtest.h>

#include "GbkTexts.h"
#include "MD5s.h"

TEST(GbkTexts, Utf8ToGbkTable) {
  struct TCase {
    std::string utf8, gbk;
  };
  for (const TCase& c : {TCase{"admin", "admin"}, TCase{"\xE4\xB8\xAD\xE6\x96\x87", "\xD6\xD0\xCE\xC4"},  // 中文
                         TCase{"\xE2\x82\xAC", "\x80"},                                            // € of code page 936
                         TCase{"a\xF0\x9F\x98\x80" "b", "a?b"},                                    // no GBK emoji
                         TCase{"a\xFF" "b", "a?b"},                                                 // not UTF-8
                         TCase{"", ""}})
    EXPECT_EQ(Utf8ToGbk(c.utf8), c.gbk) << c.utf8;
}

TEST(GbkTexts, StepsDoubleByteCharacters) {
  struct TCase {
    std::string text;
    size_t position, next;
  };
  for (const TCase& c : {TCase{"\x81|x", 0, 2},     // trail byte 0x7C belongs to the character
                         TCase{"\x81\x7F" "x", 0, 1},  // 0x7F is no trail byte
                         TCase{"\xFE\x40", 0, 2}, TCase{"\x80\x40", 0, 1}, TCase{"a\x81", 1, 2},
                         TCase{"ab", 2, 2}})
    EXPECT_EQ(NextGbkCharacter(c.text, c.position), c.next) << c.position;
}

TEST(MD5s, DigestsAsLowerCaseHex) {
  EXPECT_EQ(MD5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(MD5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(MD5Hex("Admin"), "e3afed0047b08059d0fada10f400c1e5") << "hashed as typed";
  EXPECT_EQ(MD5Hex(std::string("a\0b", 3)), "70350f6027bce3713f6b76473084309b") << "every byte counts";
}
