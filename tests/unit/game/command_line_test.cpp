#include "game/command_line.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(ArgumentText, TrimsAndAddsTheWindowedSwitchOnlyWhenAsked) {
  EXPECT_EQ(ArgumentText("  -skiptobnet   -direct ", false), "-skiptobnet   -direct");
  EXPECT_EQ(ArgumentText("  -skiptobnet   -direct ", true), "-skiptobnet   -direct -w");
  EXPECT_EQ(ArgumentText("", true), "-w");
  EXPECT_EQ(ArgumentText("   ", true), "-w");
  EXPECT_EQ(ArgumentText("", false), "");
  EXPECT_EQ(ArgumentText("   ", false), "");
}

TEST(ArgumentText, AnExistingWindowedTokenInAnyCaseIsNotDoubled) {
  EXPECT_EQ(ArgumentText("  -w  ", true), "-w");
  EXPECT_EQ(ArgumentText("-W", true), "-W");
  EXPECT_EQ(ArgumentText("-direct  -W -txt", true), "-direct  -W -txt");
  EXPECT_EQ(ArgumentText("-w", false), "-w");
}

TEST(ArgumentText, OnlySpacesSeparateTokens) {
  // A token that only begins with "-w", or is glued to it by a tab, is another argument.
  EXPECT_EQ(ArgumentText("-wx", true), "-wx -w");
  EXPECT_EQ(ArgumentText("x-w", true), "x-w -w");
  EXPECT_EQ(ArgumentText("-w\t-direct", true), "-w\t-direct -w");
}

TEST(CommandLine, QuotesThePathAndAppendsArgumentsWhenThereAreAny) {
  EXPECT_EQ(CommandLine("C:\\Games\\D2\\Diablo II.exe", ""), "\"C:\\Games\\D2\\Diablo II.exe\"");
  EXPECT_EQ(CommandLine("C:\\Games\\D2\\Diablo II.exe", "-direct -w"), "\"C:\\Games\\D2\\Diablo II.exe\" -direct -w");
}

TEST(ProgramPath, JoinsAsTheyStandKeepingADoubledSeparator) {
  EXPECT_EQ(ProgramPath("C:\\Games\\D2", "Diablo II.exe"), "C:\\Games\\D2\\Diablo II.exe");
  EXPECT_EQ(ProgramPath("D:\\", "Game.exe"), "D:\\\\Game.exe");
  EXPECT_EQ(CommandLine(ProgramPath("C:\\D2\\", "Game.exe"), ArgumentText("", true)), "\"C:\\D2\\\\Game.exe\" -w");
}

}  // namespace
}  // namespace vantrel
