#include "report/anonymize.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel {
namespace {

std::string Anon(std::string_view text, const std::vector<std::string>& computers,
                 const std::vector<std::string>& users) {
  std::string out;
  EXPECT_TRUE(Anonymize(text, computers, users, &out));
  return out;
}

std::string RunAtlas(std::string_view text) { return Anon(text, {"ATLAS-7"}, {"mira"}); }

TEST(Anonymize, WorkedExamples) {
  const struct {
    const char* input;
    const char* output;
  } kCases[] = {
      {"Local IP: 192.168.1.44 (eth0)", "Local IP: [hidden]"},
      {"Host info: Computer name: ATLAS-7, build 771", "Host info: Computer name: [hidden]"},
      {"Opened C:\\Users\\mira\\Documents\\Diablo II\\save", "Opened C:\\Users\\[user]\\Documents\\Diablo II\\save"},
      {"C:\\Users\\Public\\Desktop and /users/Mira Lund/x", "C:\\Users\\Public\\Desktop and /users/[user]/x"},
      {"C:\\Documents and Settings\\All Users\\Start Menu", "C:\\Documents and Settings\\All Users\\Start Menu"},
      {"Crash on atlas-7 by MIRA (mira_2)", "Crash on [computer] by [user] ([user]_2)"},
      {"miranda logged in from ATLAS-77", "miranda logged in from ATLAS-77"},
      {"peer 10.0.0.5:700, gateway 8.8.4.4, local 127.0.0.1",
       "peer [local address]:700, gateway 8.8.4.4, local [local address]"},
      {"172.15.2.3 172.16.2.3 172.31.9.9 169.254.0.1", "172.15.2.3 [local address] [local address] [local address]"},
      {"version 1.10.0.0.1 and 300.1.1.1 and 192.168.1.1234", "version 1.10.0.0.1 and 300.1.1.1 and 192.168.1.1234"},
  };
  for (const auto& c : kCases) EXPECT_EQ(RunAtlas(c.input), c.output) << c.input;
  // The same lines as one text keep their line breaks.
  std::string joined, expected;
  for (const auto& c : kCases) {
    joined.append(c.input).append("\n");
    expected.append(c.output).append("\n");
  }
  EXPECT_EQ(RunAtlas(joined), expected);
}

TEST(Anonymize, LabelledLines) {
  // Local IP wins even when Computer name comes first in the line.
  EXPECT_EQ(RunAtlas("Computer name: X, Local IP: 1.2.3.4 tail"), "Computer name: X, Local IP: [hidden]");
  // Labels are case-sensitive: a lower-case one is left to the other passes.
  EXPECT_EQ(RunAtlas("local ip: 10.1.1.1 on atlas-7"), "local ip: [local address] on [computer]");
  // CRLF keeps its CR on a labelled line, and other lines are untouched.
  EXPECT_EQ(RunAtlas("Computer name: X\r\nnext\r\n"), "Computer name: [hidden]\r\nnext\r\n");
  EXPECT_EQ(RunAtlas("Local IP:"), "Local IP: [hidden]");
  EXPECT_EQ(RunAtlas("\n\n"), "\n\n");
  EXPECT_EQ(RunAtlas(""), "");
}

TEST(Anonymize, ProfileFolders) {
  const std::vector<std::string> none;
  // A name of 128 bytes is replaced whole; from the 129th byte on the text stays.
  const std::string name128(128, 'n');
  EXPECT_EQ(Anon("\\users\\" + name128 + "\\x", none, none), "\\users\\[user]\\x");
  EXPECT_EQ(Anon("\\users\\" + name128 + "TAIL\\x", none, none), "\\users\\[user]TAIL\\x");
  // Its own output is left as it is, and shared profiles stay.
  EXPECT_EQ(Anon("C:\\Users\\[user]\\a", none, none), "C:\\Users\\[user]\\a");
  EXPECT_EQ(Anon("\\USERS\\Default User\\x /Users/DEFAULT/y", none, none), "\\USERS\\Default User\\x /Users/DEFAULT/y");
  // Every terminator ends the name; an empty name is kept.
  EXPECT_EQ(Anon("/users/bob'x \\users\\bob\"y /users/a<b \\users\\\\z", none, none),
            "/users/[user]'x \\users\\[user]\"y /users/[user]<b \\users\\\\z");
  EXPECT_EQ(Anon(std::string("/users/ab\0cd", 12), none, none), std::string("/users/[user]\0cd", 16));
  // The prefix has to fit completely.
  EXPECT_EQ(Anon("path \\users", none, none), "path \\users");
  EXPECT_EQ(Anon("/users/tom", none, none), "/users/[user]");
}

TEST(Anonymize, KnownNames) {
  // One-byte names are never replaced.
  EXPECT_EQ(Anon("a b c", {"b"}, {"a"}), "a b c");
  // Pass 3 rescans what pass 2 wrote: with "user" as a user name, [user] becomes [[user]].
  EXPECT_EQ(Anon("C:\\Users\\bob\\x", {}, {"user"}), "C:\\Users\\[[user]]\\x");
  // Longest first: the longer name is not broken up by a shorter one inside it.
  EXPECT_EQ(Anon("host mira-pc and mira", {"mira-pc"}, {"mira"}), "host [computer] and [user]");
  EXPECT_EQ(Anon("host mira-pc", {}, {"mira", "mira-pc"}), "host [user]");
  // Non-ASCII bytes and underscores are boundaries; digits are not.
  EXPECT_EQ(Anon("\xc3\xa9mira\xc3\xa9 _mira_ mira2 2mira", {}, {"mira"}),
            "\xc3\xa9[user]\xc3\xa9 _[user]_ mira2 2mira");
  // Matching at the very start and end, and a needle longer than the text.
  EXPECT_EQ(Anon("mira", {}, {"mira"}), "[user]");
  EXPECT_EQ(Anon("mi", {}, {"mira"}), "mi");
  // Empty lists and empty names do nothing.
  EXPECT_EQ(Anon("mira", {""}, {}), "mira");
}

TEST(Anonymize, LocalAddresses) {
  const std::vector<std::string> none;
  EXPECT_EQ(Anon("to 10.0.0.1.", none, none), "to [local address].");
  EXPECT_EQ(Anon("to 10.0.0.1.5", none, none), "to 10.0.0.1.5");
  EXPECT_EQ(Anon("ip10.0.0.1", none, none), "ip[local address]");
  EXPECT_EQ(Anon("010.000.0.01 172.032.1.1", none, none), "[local address] 172.032.1.1");
  EXPECT_EQ(Anon("1.2.3 10..0.0.1 10.0.0. 192.168.0.256", none, none), "1.2.3 10..0.0.1 10.0.0. 192.168.0.256");
  EXPECT_EQ(Anon("x.10.0.0.1 5 10.0.0.1", none, none), "x.10.0.0.1 5 [local address]");
  EXPECT_EQ(Anon("::ffff:10.0.0.1 fe80::1", none, none), "::ffff:[local address] fe80::1");
  EXPECT_EQ(Anon("192.169.1.1 169.253.1.1 172.32.0.1 126.0.0.1 11.0.0.1", none, none),
            "192.169.1.1 169.253.1.1 172.32.0.1 126.0.0.1 11.0.0.1");
  EXPECT_EQ(Anon("127.0.0.1", none, none), "[local address]");
}

TEST(Anonymize, InputsUnchanged) {
  const std::vector<std::string> computers = {"ATLAS-7"};
  const std::vector<std::string> users = {"mira"};
  const std::string text = "mira on ATLAS-7";
  std::string out = "stale";
  ASSERT_TRUE(Anonymize(text, computers, users, &out));
  EXPECT_EQ(out, "[user] on [computer]");
  EXPECT_EQ(text, "mira on ATLAS-7");
  EXPECT_EQ(users[0], "mira");
}

}  // namespace
}  // namespace vantrel
