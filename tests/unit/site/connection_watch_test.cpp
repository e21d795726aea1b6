#include "realm-site/connection_watch.h"

#include <gtest/gtest.h>

namespace vantrel::site {
namespace {

TEST(AddressGroup, IPv6CountsByItsSlash64AndIPv4AsItIs) {
  EXPECT_EQ(AddressGroup("203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(AddressGroup("2001:db8:1:2:aaaa:bbbb:cccc:dddd"), "2001:db8:1:2::/64");
  EXPECT_EQ(AddressGroup("2001:db8:1:2::1"), AddressGroup("2001:db8:1:2:ffff::9"));
  EXPECT_NE(AddressGroup("2001:db8:1:2::1"), AddressGroup("2001:db8:1:3::1"));
  EXPECT_EQ(AddressGroup("::ffff:198.51.100.4"), "198.51.100.4");
  EXPECT_EQ(AddressGroup("::1"), "::/64");
  EXPECT_EQ(AddressGroup("not an address"), "not an address");
  EXPECT_EQ(AddressGroup(""), "");
}

constexpr MinRate kRate{1000, 20, 10};

// Feeds `per_second` bytes a second for `seconds`, sampling every 250 ms as the watch does;
// returns the first time (ms) it was too slow, or -1.
int64_t CutAt(TransferRate& window, int64_t* now, uint64_t* bytes, uint64_t per_second, int seconds) {
  for (int i = 0; i < seconds * 4; ++i) {
    *now += 250;
    *bytes += per_second / 4;
    window.Sample(*now, *bytes);
    if (window.TooSlow(*now, *bytes, kRate)) return *now;
  }
  return -1;
}

TEST(TransferRate, CutsPastTheGraceWhenAnyWindowFallsShort) {
  // Steadily above the rate: never cut.
  TransferRate steady;
  int64_t now = 0;
  uint64_t bytes = 5000;
  steady.Start(now, bytes);
  EXPECT_EQ(CutAt(steady, &now, &bytes, 1200, 120), -1);

  // Steadily below: cut as soon as the grace is over, not before.
  TransferRate trickle;
  now = 0;
  bytes = 0;
  trickle.Start(now, bytes);
  EXPECT_EQ(CutAt(trickle, &now, &bytes, 800, 30), 10000);

  // A burst, then nothing: kept while the burst covers the window, cut once a whole 20 s
  // window has gone by without it.
  TransferRate burst;
  now = 0;
  bytes = 0;
  burst.Start(now, bytes);
  bytes = 25000;
  const int64_t cut = CutAt(burst, &now, &bytes, 0, 60);
  EXPECT_GT(cut, 20000);
  EXPECT_LE(cut, 22000);

  // Fast for a minute, then below the rate for the window: the average over the whole
  // connection doesn't save it.
  TransferRate fades;
  now = 0;
  bytes = 0;
  fades.Start(now, bytes);
  EXPECT_EQ(CutAt(fades, &now, &bytes, 100000, 60), -1);
  const int64_t faded = CutAt(fades, &now, &bytes, 500, 60);
  EXPECT_GT(faded, 60000 + 10000);
  EXPECT_LE(faded, 60000 + 22000);
}

TEST(TransferRate, BelowLatelyJudgesTheLastHalfSecond) {
  TransferRate window;
  window.Start(1000, 100);
  EXPECT_FALSE(window.BelowLately(1400, 100, kRate));  // too young to tell
  EXPECT_TRUE(window.BelowLately(1500, 400, kRate));
  EXPECT_FALSE(window.BelowLately(1500, 700, kRate));
  // A burst at the start doesn't cover a stall after it.
  window.Sample(1250, 50000);
  EXPECT_FALSE(window.BelowLately(1600, 50000, kRate));
  window.Sample(1500, 50000);
  EXPECT_TRUE(window.BelowLately(1750, 50000, kRate));
}

}  // namespace
}  // namespace vantrel::site
