#include "game/gateways.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using Strings = std::vector<std::string>;

// Header strings, then three strings per gateway: address, zone, display name.
Strings List(std::string selected, std::initializer_list<std::pair<std::string, std::string>> gateways) {
  Strings list = {"1002", std::move(selected)};
  for (const auto& [address, name] : gateways) {
    list.push_back(address);
    list.push_back("-1");
    list.push_back(name);
  }
  return list;
}

TEST(EvaluateGateways, SelectedListedOrMissingByTheSelectedNumber) {
  const Strings list = List("2", {{"play.vantrel.example", "Vantrel"}, {"eu.example.net", "Europe"}});
  GatewayCheck listed = EvaluateGateways(list, "play.vantrel.example");
  EXPECT_EQ(listed.outcome, GatewayOutcome::kListed);
  EXPECT_EQ(listed.display_name, "Vantrel");

  EXPECT_EQ(EvaluateGateways(list, "eu.example.net").outcome, GatewayOutcome::kSelected);
  EXPECT_EQ(EvaluateGateways(list, "asia.example.net").outcome, GatewayOutcome::kMissing);
  EXPECT_EQ(EvaluateGateways(List("1", {{"play.vantrel.example", "V"}}), "play.vantrel.example").outcome,
            GatewayOutcome::kSelected);
}

TEST(EvaluateGateways, AnySelectedEntryWinsAndTheFirstListedNameIsKept) {
  const Strings twice = List("3", {{"realm.example", "First"}, {"other", "O"}, {"realm.example", "Second"}});
  EXPECT_EQ(EvaluateGateways(twice, "realm.example").outcome, GatewayOutcome::kSelected);

  const Strings neither = List("2", {{"realm.example", "First"}, {"other", "O"}, {"realm.example", "Second"}});
  GatewayCheck check = EvaluateGateways(neither, "realm.example");
  EXPECT_EQ(check.outcome, GatewayOutcome::kListed);
  EXPECT_EQ(check.display_name, "First");

  // An empty display name still counts as listed; the caller picks a fallback name.
  check = EvaluateGateways(List("2", {{"realm.example", ""}, {"other", "O"}}), "realm.example");
  EXPECT_EQ(check.outcome, GatewayOutcome::kListed);
  EXPECT_EQ(check.display_name, "");
}

TEST(EvaluateGateways, AddressesMatchIgnoringAsciiCaseAndSurroundingSpaces) {
  const Strings list = List("1", {{"  Play.VANTREL.example ", "V"}});
  EXPECT_EQ(EvaluateGateways(list, "play.vantrel.example").outcome, GatewayOutcome::kSelected);
  EXPECT_EQ(EvaluateGateways(list, " PLAY.vantrel.EXAMPLE  ").outcome, GatewayOutcome::kSelected);
  EXPECT_EQ(EvaluateGateways(list, "play.vantrel.example.").outcome, GatewayOutcome::kMissing);
  EXPECT_EQ(EvaluateGateways(list, "play.vantrel").outcome, GatewayOutcome::kMissing);
  // Case folding is ASCII only: a non-ASCII letter must match exactly.
  EXPECT_EQ(EvaluateGateways(List("1", {{"\xC3\xA9", "V"}}), "\xC3\x89").outcome, GatewayOutcome::kMissing);
}

TEST(EvaluateGateways, ASelectionThatIsNoNumberSelectsNothing) {
  for (const char* selection : {"", "x", "-1", "1.0", "4294967297", "0"}) {
    SCOPED_TRACE(selection);
    EXPECT_EQ(EvaluateGateways(List(selection, {{"realm", "R"}}), "realm").outcome, GatewayOutcome::kListed);
  }
  EXPECT_EQ(EvaluateGateways(List("  1 ", {{"realm", "R"}}), "realm").outcome, GatewayOutcome::kSelected);
  EXPECT_EQ(EvaluateGateways(List("01", {{"realm", "R"}}), "realm").outcome, GatewayOutcome::kSelected);
}

TEST(EvaluateGateways, ShortListsAndIncompleteGatewaysAreMissing) {
  EXPECT_EQ(EvaluateGateways({}, "realm").outcome, GatewayOutcome::kMissing);
  EXPECT_EQ(EvaluateGateways({"1002"}, "realm").outcome, GatewayOutcome::kMissing);
  EXPECT_EQ(EvaluateGateways({"1002", "1"}, "realm").outcome, GatewayOutcome::kMissing);
  // A gateway counts only when its display name is in the list too.
  EXPECT_EQ(EvaluateGateways({"1002", "1", "realm", "-1"}, "realm").outcome, GatewayOutcome::kMissing);
  EXPECT_EQ(EvaluateGateways({"1002", "1", "realm", "-1", "R"}, "realm").outcome, GatewayOutcome::kSelected);
}

TEST(SplitMultiString, EachStringRunsToItsNulAndAnEmptyOneEndsTheList) {
  Strings strings;
  ASSERT_TRUE(SplitMultiString(std::u16string(u"1002\0"
                                              u"1\0"
                                              u"realm\0\0",
                                              14),
                               &strings));
  EXPECT_EQ(strings, (Strings{"1002", "1", "realm"}));

  ASSERT_TRUE(SplitMultiString(std::u16string(u"a\0\0b\0\0", 6), &strings));
  EXPECT_EQ(strings, (Strings{"a"}));

  ASSERT_TRUE(SplitMultiString(std::u16string(u"\0a\0", 3), &strings));
  EXPECT_TRUE(strings.empty());

  ASSERT_TRUE(SplitMultiString(u"", &strings));
  EXPECT_TRUE(strings.empty());
}

TEST(SplitMultiString, ALastStringWithoutItsNulIsDropped) {
  Strings strings;
  ASSERT_TRUE(SplitMultiString(std::u16string(u"1002\0"
                                              u"1\0"
                                              u"real",
                                              11),
                               &strings));
  EXPECT_EQ(strings, (Strings{"1002", "1"}));
  ASSERT_TRUE(SplitMultiString(u"nonul", &strings));
  EXPECT_TRUE(strings.empty());
}

TEST(SplitMultiString, ConvertsToUtf8AndRefusesUnpairedSurrogates) {
  Strings strings;
  ASSERT_TRUE(SplitMultiString(std::u16string(u"R\u00e9alm\0\U0001F600\0", 9), &strings));
  EXPECT_EQ(strings, (Strings{"R\xC3\xA9"
                              "alm",
                              "\xF0\x9F\x98\x80"}));

  std::u16string lone(u"ok\0x\0", 5);
  lone[3] = 0xD800;
  EXPECT_FALSE(SplitMultiString(lone, &strings));
  // A bad string after the list's end doesn't matter: it is never read.
  std::u16string after(u"ok\0\0x\0", 6);
  after[4] = 0xDC00;
  EXPECT_TRUE(SplitMultiString(after, &strings));
}

}  // namespace
}  // namespace vantrel
