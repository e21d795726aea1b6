#include "support/text.h"

#include <gtest/gtest.h>

#include "support/fixed_text.h"
#include "support/sha256.h"
#include "support/utf.h"

namespace vantrel {
namespace {

TEST(SizeText, EdgesOfEachUnit) {
  EXPECT_EQ(SizeText(0), "0 bytes");
  EXPECT_EQ(SizeText(1), "1 bytes");
  EXPECT_EQ(SizeText(1023), "1023 bytes");
  EXPECT_EQ(SizeText(1024), "1 KB");
  EXPECT_EQ(SizeText(1536), "1 KB");
  EXPECT_EQ(SizeText(1048575), "1023 KB");
  EXPECT_EQ(SizeText(1048576), "1.0 MB");
  EXPECT_EQ(SizeText(1572864), "1.5 MB");
  EXPECT_EQ(SizeText(1048576 + 1048575), "1.9 MB");  // cut, never rounded up
  EXPECT_EQ(SizeText(UINT64_MAX), "17592186044415.9 MB");
}

TEST(Decimal, FormatsAndParsesTheWholeRange) {
  EXPECT_EQ(Decimal(0), "0");
  EXPECT_EQ(Decimal(UINT64_MAX), "18446744073709551615");
  uint64_t value = 7;
  EXPECT_TRUE(ParseU64("18446744073709551615", &value));
  EXPECT_EQ(value, UINT64_MAX);
  EXPECT_FALSE(ParseU64("18446744073709551616", &value));
  EXPECT_FALSE(ParseU64("", &value));
  EXPECT_FALSE(ParseU64("-1", &value));
  EXPECT_FALSE(ParseU64(" 1", &value));
  EXPECT_FALSE(ParseU64("1a", &value));
  uint32_t small = 0;
  EXPECT_TRUE(ParseU32("4294967295", &small));
  EXPECT_FALSE(ParseU32("4294967296", &small));
}

TEST(FixedText, CutsAt600Bytes) {
  FixedText text;
  text.Set(std::string(700, 'x'));
  EXPECT_EQ(text.length, 600u);
  text.Set("short");
  EXPECT_EQ(text.View(), "short");
  text.Set(std::string(600, 'y'));
  EXPECT_EQ(text.length, 600u);
}

TEST(Utf, RoundTripsIncludingSurrogatePairs) {
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  std::u16string wide;
  ASSERT_TRUE(Utf8ToUtf16(utf8, &wide));
  EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00}));
  std::string back;
  ASSERT_TRUE(Utf16ToUtf8(wide, &back));
  EXPECT_EQ(back, utf8);
}

TEST(Utf, RefusesMalformedInput) {
  std::u16string wide;
  EXPECT_FALSE(Utf8ToUtf16("\xC3", &wide));              // cut sequence
  EXPECT_FALSE(Utf8ToUtf16("\xC0\xAF", &wide));          // overlong "/"
  EXPECT_FALSE(Utf8ToUtf16("\xED\xA0\x80", &wide));      // encoded surrogate
  EXPECT_FALSE(Utf8ToUtf16("\xF4\x90\x80\x80", &wide));  // beyond U+10FFFF
  EXPECT_FALSE(Utf8ToUtf16("\x80", &wide));
  EXPECT_FALSE(Utf8ToUtf16("ab\xE2\x82", &wide));  // ends inside a sequence
  std::string narrow;
  EXPECT_FALSE(Utf16ToUtf8(std::u16string{0xD800}, &narrow));
  EXPECT_FALSE(Utf16ToUtf8(std::u16string{0xDC00, u'a'}, &narrow));
  EXPECT_FALSE(Utf16ToUtf8(std::u16string{0xD800, u'a'}, &narrow));
}

TEST(Sha256, KnownVectorsAndHashTexts) {
  EXPECT_EQ(Sha256Text(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Text("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_TRUE(IsHashText(Sha256Text("abc")));
  EXPECT_FALSE(IsHashText("BA7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_FALSE(IsHashText(std::string(63, 'a')));
  EXPECT_FALSE(IsHashText(std::string(65, 'a')));
  EXPECT_FALSE(IsHashText(std::string(64, 'g')));
}

TEST(Text, TrimAndCaseHelpers) {
  EXPECT_EQ(TrimChars(" \t a b \r", " \t\r"), "a b");
  EXPECT_EQ(TrimSpaces("    "), "");
  EXPECT_TRUE(EqualsNoCase("Game.EXE", "game.exe"));
  EXPECT_FALSE(EqualsNoCase("game.exe", "game.ex"));
  EXPECT_TRUE(StartsWithNoCase("AppCrash_Game.exe_1", "appcrash_game.exe_"));
  EXPECT_TRUE(EndsWithNoCase("x.LOG", ".log"));
  EXPECT_EQ(LastPathComponent("a\\b/c.txt"), "c.txt");
  EXPECT_EQ(LastPathComponent("plain"), "plain");
  EXPECT_EQ(FitOrEmpty(std::string(33, 'a'), 32), "");
  EXPECT_EQ(FitOr("abc", 3, "x"), "abc");
  EXPECT_EQ(FitOr("abcd", 3, "x"), "x");
}

}  // namespace
}  // namespace vantrel
