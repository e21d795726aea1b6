#include "game/outcomes.h"

#include <gtest/gtest.h>

#include "support/utf.h"

namespace vantrel {
namespace {

TEST(NotStartedStatus, EachCodeHasItsReason) {
  const struct {
    uint32_t code;
    const char* reason;
  } cases[] = {
      {2, "Windows can't find it"},
      {3, "Windows can't find it"},
      {5, "Windows refused it (an antivirus or the folder's permissions)"},
      {193, "it isn't a program this Windows can run"},
      {216, "it isn't a program this Windows can run"},
      {225, "Windows Security blocked it as a threat"},
      {226, "Windows Security removed it"},
      {740, "it asks for administrator rights"},
      {1223, "the administrator prompt was turned down"},
      {1260, "a Windows policy blocked it (Smart App Control, or an organisation's rules)"},
      {4551, "a Windows policy blocked it (Smart App Control, or an organisation's rules)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const StatusText text = NotStartedStatus(c.code, "Diablo II.exe", "C:\\Games\\D2");
    EXPECT_EQ(text.headline, "The game didn't start");
    EXPECT_EQ(text.detail, std::string("Diablo II.exe: ") + c.reason + " (Windows error " + std::to_string(c.code) +
                               "). In C:\\Games\\D2");
  }
}

TEST(NotStartedStatus, OtherCodesSayItWouldNotStart) {
  EXPECT_EQ(NotStartedStatus(8, "Game.exe", "D:\\").detail, "Game.exe wouldn't start (Windows error 8). In D:\\");
  EXPECT_EQ(NotStartedStatus(4294967295u, "G.exe", "E:\\x").detail,
            "G.exe wouldn't start (Windows error 4294967295). In E:\\x");
}

TEST(ReportedStartError, TheFallbacksCodeCountsOnlyAfterAnElevationRequest) {
  EXPECT_EQ(ReportedStartError(740, 1223), 1223u);
  EXPECT_EQ(ReportedStartError(740, 0), 740u);
  EXPECT_EQ(ReportedStartError(2, 5), 2u);
  EXPECT_EQ(ReportedStartError(193, 0), 193u);
}

TEST(StartedStatus, ListedNamesTheGatewayWithFallbacks) {
  GatewayCheck listed{GatewayOutcome::kListed, "Vantrel East"};
  EXPECT_EQ(StartedStatus(listed, "Vantrel").headline, "Pick Vantrel East in the game");
  EXPECT_EQ(StartedStatus(listed, "Vantrel").detail,
            "On the game's main menu, choose it with the gateway button under Battle.net.");
  listed.display_name.clear();
  EXPECT_EQ(StartedStatus(listed, "Vantrel").headline, "Pick Vantrel in the game");
  EXPECT_EQ(StartedStatus(listed, "").headline, "Pick the realm in the game");

  const StatusText selected = StartedStatus({GatewayOutcome::kSelected, ""}, "Vantrel");
  EXPECT_EQ(selected.headline, "The game is starting");
  EXPECT_EQ(selected.detail, "If it crashes, come back here and press Send logs.");
}

TEST(GatewayFile, AddressAndDetailNameTheRealm) {
  EXPECT_EQ(GatewayFileAddress("https://realm.example/d2"), "https://realm.example/d2/client-pack/gateway.reg");
  const StatusText text = GatewayFileStatus("Vantrel");
  EXPECT_EQ(text.headline, "Open the gateway file");
  EXPECT_EQ(text.detail, "Your browser is bringing it down. Open it, say yes to adding Vantrel, then press Play.");
  EXPECT_EQ(GatewayFileStatus("").detail,
            "Your browser is bringing it down. Open it, say yes to adding the realm, then press Play.");
}

TEST(CutStatusText, LongTextsStopAt600BytesOnACharacterBoundary) {
  EXPECT_EQ(CutStatusText(std::string(600, 'a')).size(), 600u);
  EXPECT_EQ(CutStatusText(std::string(601, 'a')).size(), 600u);
  // A two-byte letter straddling the cut is left out whole.
  std::string straddle = std::string(599, 'a') + "\xC3\xA9" + "bc";
  EXPECT_EQ(CutStatusText(straddle), std::string(599, 'a'));
  std::string four = std::string(598, 'a') + "\xF0\x9F\x98\x80";
  EXPECT_EQ(CutStatusText(four), std::string(598, 'a'));

  // Composed texts go through the cut: a long folder, a long gateway name, a long realm name.
  const StatusText failed = NotStartedStatus(2, "Game.exe", "C:\\" + std::string(700, 'x'));
  EXPECT_EQ(failed.detail.size(), 600u);
  EXPECT_EQ(failed.detail.substr(0, 49), "Game.exe: Windows can't find it (Windows error 2)");
  std::string name;
  for (int i = 0; i < 400; ++i) name += "\xC3\xA9";
  const StatusText pick = StartedStatus({GatewayOutcome::kListed, name}, "");
  EXPECT_EQ(pick.headline.size(), 599u);
  EXPECT_TRUE(IsValidUtf8(pick.headline));
  EXPECT_EQ(GatewayFileStatus(std::string(700, 'r')).detail.size(), 600u);
}

TEST(LinkNotCopiedStatus, CarriesTheLinkSoItCanStillBeRead) {
  const StatusText text = LinkNotCopiedStatus("https://realm.example/r/abc");
  EXPECT_EQ(text.headline, "The link wasn't copied");
  EXPECT_NE(text.detail.find("https://realm.example/r/abc"), std::string::npos);
  EXPECT_NE(text.headline, kLinkCopiedHeadline);
}

}  // namespace
}  // namespace vantrel
