#include <gtest/gtest.h>

#include <string>

#include "report/upload.h"

namespace vantrel {
namespace {

TEST(UploadHeaders, AccountAndNoteValues) {
  EXPECT_EQ(AccountHeaderValue("Mira\r\nX-Evil: 1\t\xC3\xA9!"), "MiraX-Evil: 1!");
  EXPECT_EQ(NoteHeaderValue("a b/c"), "a%20b%2Fc");
  EXPECT_EQ(NoteHeaderValue("x\r\ny"), "x%0D%0Ay");
  EXPECT_EQ(NoteHeaderValue("\xC3\xA9-._~Z9"), "%C3%A9-._~Z9");
  EXPECT_EQ(NoteHeaderValue(std::string("\0\xFF", 2)), "%00%FF");
  EXPECT_EQ(UploadHeaders("", ""), "Content-Type: application/octet-stream\r\nX-Account: \r\nX-Note: \r\n");
  EXPECT_EQ(UploadHeaders("bob\n", "hi there"),
            "Content-Type: application/octet-stream\r\nX-Account: bob\r\nX-Note: hi%20there\r\n");
}

TEST(UploadAnswer, AcceptedShapes) {
  UploadAnswer answer;
  ASSERT_TRUE(ParseUploadAnswer(" \n{\"ok\":true,\"url\":\"https://x/r/1\",\"error\":\"\"}\r\n", &answer));
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.url, "https://x/r/1");
  ASSERT_TRUE(ParseUploadAnswer("{}", &answer));
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.url, "");
  // Unknown members are skipped whatever they hold, nested keys named like ours included.
  ASSERT_TRUE(ParseUploadAnswer(
      R"({"extra":[1,{"url":5,"ok":"x"},null],"url":"u","more":{"error":[]},"error":"e\u00e9","n":1.5})", &answer));
  EXPECT_EQ(answer.url, "u");
  EXPECT_EQ(answer.error, "e\xC3\xA9");
}

TEST(UploadAnswer, RefusedShapes) {
  const char* kBad[] = {
      "",
      "<html>500</html>",
      "[]",
      "\"ok\"",
      "{\"ok\":\"true\"}",
      "{\"url\":5}",
      "{\"error\":null}",
      "{\"ok\":true,\"ok\":true}",
      "{\"url\":\"a\",\"url\":\"a\"}",
      "{\"error\":\"a\",\"x\":1,\"error\":\"b\"}",
      "{\"url\":\"a\"} {}",
      "{\"url\":\"a\"}x",
      "{\"url\":\"a\"",
      "{\"url\":\"\xFF\"}",
  };
  for (const char* body : kBad) {
    UploadAnswer answer;
    EXPECT_FALSE(ParseUploadAnswer(body, &answer)) << body;
    EXPECT_TRUE(answer.url.empty());
  }
}

TEST(UploadAnswer, Outcomes) {
  auto judge = [](uint32_t status, std::string body, HttpError error = HttpError::kNone) {
    FetchResult fetched;
    fetched.status = status;
    fetched.body = std::move(body);
    fetched.error = error;
    return JudgeUploadAnswer(fetched);
  };
  UploadOutcome o = judge(200, R"({"ok":true,"url":"","error":""})");
  EXPECT_EQ(o.headline, "The site didn't keep the logs");
  EXPECT_EQ(o.detail, "");
  EXPECT_FALSE(o.sent);
  o = judge(500, "<html>oops</html>");
  EXPECT_EQ(o.headline, "The site's answer didn't make sense");
  o = judge(200, R"({"ok":"yes","url":"x"})");
  EXPECT_EQ(o.headline, "The site's answer didn't make sense");
  o = judge(200, R"({"url":"https://r/1","junk":[1,2]})");
  EXPECT_EQ(o.headline, "Sent");
  EXPECT_TRUE(o.sent);
  EXPECT_EQ(o.link, "https://r/1");
  // The outcome doesn't depend on "ok"; a kept report needs status 200 and a link.
  o = judge(413, R"({"ok":true,"url":"https://r/1","error":"too big"})");
  EXPECT_EQ(o.headline, "The site didn't keep the logs");
  EXPECT_EQ(o.detail, "too big");
  o = judge(200, "{\"url\":\"" + std::string(700, 'u') + "\",\"error\":\"" + std::string(700, 'e') + "\"}");
  EXPECT_EQ(o.link.size(), 600u);
  o = judge(400, "{\"error\":\"" + std::string(700, 'e') + "\"}");
  EXPECT_EQ(o.detail.size(), 600u);
  o = judge(0, "", HttpError::kTooLarge);
  EXPECT_EQ(o.headline, "The logs didn't send");
  EXPECT_EQ(o.detail, "the realm sent more than expected");
  EXPECT_EQ(judge(0, "", HttpError::kBadAddress).detail, "the realm's address in this launcher isn't one");
  EXPECT_EQ(judge(0, "", HttpError::kNoAnswer).detail, "no answer; check your connection");
}

}  // namespace
}  // namespace vantrel
