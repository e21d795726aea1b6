// The HTTP client over WinHTTP, under Wine, against a small Winsock server on 127.0.0.1.
#include "realm/http_client.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "support/sha256.h"

namespace vantrel {
namespace {

std::string GameFileBytes() {
  std::string bytes(700 * 1024, '\0');
  uint32_t x = 777;
  for (char& c : bytes) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

// Answers one request per connection, by path: /bytes/N, /echo (the request target),
// /file (the game bytes), anything else 404.
class WinsockServer {
 public:
  WinsockServer() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 16);
    thread_ = std::thread([this] { Serve(); });
  }
  ~WinsockServer() {
    closesocket(listener_);
    thread_.join();
    WSACleanup();
  }

  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  int port() const { return port_; }
  int requests() const { return requests_.load(); }
  std::string last_head() {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_head_;
  }

 private:
  void Serve() {
    for (;;) {
      SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      Answer(client);
      shutdown(client, SD_SEND);
      closesocket(client);
    }
  }

  void Answer(SOCKET client) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      const int got = recv(client, buffer, sizeof(buffer), 0);
      if (got <= 0) return;
      head.append(buffer, got);
    }
    // A body the client announced is read whole (only the upload sends one).
    const size_t head_end = head.find("\r\n\r\n") + 4;
    const size_t length_at = head.find("Content-Length: ");
    if (length_at != std::string::npos && length_at < head_end) {
      const size_t length = std::stoul(head.substr(length_at + 16));
      while (head.size() < head_end + length) {
        const int got = recv(client, buffer, sizeof(buffer), 0);
        if (got <= 0) return;
        head.append(buffer, got);
      }
    }
    ++requests_;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      last_head_ = head;
    }
    const size_t target_start = head.find(' ') + 1;
    const std::string target = head.substr(target_start, head.find(' ', target_start) - target_start);
    int status = 200;
    std::string body;
    std::string content_range;
    if (target.rfind("/bytes/", 0) == 0) {
      body.assign(std::stoul(target.substr(7)), 'a');
    } else if (target == "/echo") {
      body = head.rfind("POST ", 0) == 0 ? head.substr(head_end) : target;
    } else if (target == "/file") {
      body = GameFileBytes();
    } else if (target == "/ranged") {
      // One "bytes=first-[last]" range, answered as nginx does.
      body = GameFileBytes();
      const size_t range_at = head.find("Range: bytes=");
      if (range_at != std::string::npos && range_at < head_end) {
        const size_t first = std::stoul(head.substr(range_at + 13));
        const size_t dash = head.find('-', range_at + 13);
        const bool bounded = std::isdigit(static_cast<unsigned char>(head[dash + 1]));
        const size_t last = bounded ? std::stoul(head.substr(dash + 1)) : body.size() - 1;
        content_range = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                        std::to_string(body.size()) + "\r\n";
        body = body.substr(first, last + 1 - first);
        status = 206;
      }
    } else {
      status = 404;
      body = "not here";
    }
    if (target == "/short") {
      // Promises more than it sends, then hangs up.
      const std::string cut =
          "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n" + std::string(50000, 's');
      send(client, cut.data(), static_cast<int>(cut.size()), 0);
      return;
    }
    const std::string reason = status == 200 ? " OK" : status == 206 ? " Partial Content" : " Not Found";
    const std::string reply = "HTTP/1.1 " + std::to_string(status) + reason + "\r\n" + content_range +
                              "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < reply.size()) {
      const int n = send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), 0);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::string last_head_;
};

class WinHttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OpenSession(&session_), HttpError::kNone); }

  std::string TempPath(const char* name) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + name;
  }

  WinsockServer server_;
  SessionPtr session_;
};

TEST_F(WinHttpClientTest, FetchGivesStatusAndBodyAndSendsThePathAlone) {
  FetchResult echo = Fetch(*session_, "GET", server_.Url("/echo?x=1#frag"), "", "", 1000);
  ASSERT_EQ(echo.error, HttpError::kNone);
  EXPECT_EQ(echo.status, 200u);
  EXPECT_EQ(echo.body, "/echo");
  EXPECT_NE(server_.last_head().find("User-Agent: VantrelLauncher/1.0\r\n"), std::string::npos);

  // Game paths may hold spaces; they go out escaped, as the native side sends them.
  Fetch(*session_, "GET", server_.Url("/file/Diablo II.exe"), "", "", 1000);
  EXPECT_EQ(server_.last_head().rfind("GET /file/Diablo%20II.exe HTTP/1.1\r\n", 0), 0u);
  FetchResult missing = Fetch(*session_, "GET", server_.Url("/nothing"), "", "", 1000);
  ASSERT_EQ(missing.error, HttpError::kNone);
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.body, "not here");
}

TEST_F(WinHttpClientTest, FetchPostsTheWholeBodyWithTheCallersHeaders) {
  static const char kZip[] = "PK\x03\x04\0\0 zipped bytes";
  const std::string zip(kZip, sizeof(kZip) - 1);
  FetchResult result = Fetch(*session_, "POST", server_.Url("/echo"),
                             "Content-Type: application/octet-stream\r\nX-Account: someone\r\n", zip, 1000);
  ASSERT_EQ(result.error, HttpError::kNone);
  EXPECT_EQ(result.status, 200u);
  EXPECT_EQ(result.body, zip);
  const std::string head = server_.last_head();
  EXPECT_EQ(head.rfind("POST /echo HTTP/1.1\r\n", 0), 0u);
  EXPECT_NE(head.find("\r\nX-Account: someone\r\n"), std::string::npos);
  EXPECT_NE(head.find("\r\nContent-Type: application/octet-stream\r\n"), std::string::npos);
}

TEST_F(WinHttpClientTest, FetchHoldsToTheLimit) {
  FetchResult exact = Fetch(*session_, "GET", server_.Url("/bytes/70000"), "", "", 70000);
  EXPECT_EQ(exact.error, HttpError::kNone);
  EXPECT_EQ(exact.body.size(), 70000u);
  EXPECT_EQ(Fetch(*session_, "GET", server_.Url("/bytes/70001"), "", "", 70000).error, HttpError::kTooLarge);
  FetchResult empty = Fetch(*session_, "GET", server_.Url("/bytes/0"), "", "", 0);
  EXPECT_EQ(empty.error, HttpError::kNone);
  EXPECT_TRUE(empty.body.empty());
}

TEST_F(WinHttpClientTest, AnAnswerCutShortIsNeverTakenWhole) {
  EXPECT_EQ(Fetch(*session_, "GET", server_.Url("/short"), "", "", 1 << 20).error, HttpError::kNoAnswer);
  const std::string path = TempPath("vantrel-http-short.part");
  // Asked again, the site sends the same half again: cut short.
  EXPECT_EQ(Download(*session_, server_.Url("/short"), path, Sha256Text(std::string(100000, 's')), 100000, nullptr),
            HttpError::kCutShort);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WinHttpClientTest, BadAddressesGoNowhere) {
  const int before = server_.requests();
  const std::string port = std::to_string(server_.port());
  EXPECT_EQ(Fetch(*session_, "GET", "ftp://127.0.0.1:" + port + "/echo", "", "", 100).error, HttpError::kBadAddress);
  EXPECT_EQ(Fetch(*session_, "GET", "gopher://127.0.0.1:" + port + "/echo", "", "", 100).error, HttpError::kBadAddress);
  EXPECT_EQ(Fetch(*session_, "GET", "http://" + std::string(256, 'h') + "/echo", "", "", 100).error,
            HttpError::kBadAddress);
  EXPECT_EQ(Fetch(*session_, "GET", "http://127.0.0.1:" + port + "/" + std::string(2047, 'p'), "", "", 100).error,
            HttpError::kBadAddress);
  EXPECT_EQ(Fetch(*session_, "GET", "http://127.0.0.1:" + port + "/\xff", "", "", 100).error, HttpError::kBadAddress);
  EXPECT_EQ(server_.requests(), before);
}

TEST_F(WinHttpClientTest, DownloadVerifiesWhatItWrites) {
  const std::string bytes = GameFileBytes();
  const std::string path = TempPath("vantrel-http-test.part");
  uint64_t reported = 0;
  ASSERT_EQ(Download(*session_, server_.Url("/file"), path, Sha256Text(bytes), bytes.size(),
                     [&](uint64_t chunk) {
                       reported += chunk;
                       return true;
                     }),
            HttpError::kNone);
  EXPECT_EQ(reported, bytes.size());
  std::string hash;
  ASSERT_TRUE(HashFile(path, &hash));
  EXPECT_EQ(hash, Sha256Text(bytes));

  // A wrong size leaves no file; a 404 leaves the existing one alone.
  EXPECT_EQ(Download(*session_, server_.Url("/file"), path, Sha256Text(bytes), bytes.size() - 1, nullptr),
            HttpError::kMismatch);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  FILE* kept = std::fopen(path.c_str(), "wb");
  ASSERT_NE(kept, nullptr);
  std::fputs("mine", kept);
  std::fclose(kept);
  EXPECT_EQ(Download(*session_, server_.Url("/gone"), path, Sha256Text(bytes), bytes.size(), nullptr),
            HttpError::kBadStatus);
  ASSERT_TRUE(HashFile(path, &hash));
  EXPECT_EQ(hash, Sha256Text("mine"));
  DeleteFileA(path.c_str());
}

TEST_F(WinHttpClientTest, ALargeFileComesInRangesThroughWinHttp) {
  const std::string bytes = GameFileBytes();
  const std::string path = TempPath("vantrel-http-ranges.part");
  SetMaxBodyBytes(*session_, 300000);
  uint64_t reported = 0;
  const int before = server_.requests();
  ASSERT_EQ(Download(*session_, server_.Url("/ranged"), path, Sha256Text(bytes), bytes.size(),
                     [&](uint64_t chunk) {
                       reported += chunk;
                       return true;
                     }),
            HttpError::kNone);
  EXPECT_EQ(server_.requests() - before, 3);
  EXPECT_NE(server_.last_head().find("Range: bytes=600000-\r\n"), std::string::npos);
  EXPECT_EQ(reported, bytes.size());
  std::string hash;
  ASSERT_TRUE(HashFile(path, &hash));
  EXPECT_EQ(hash, Sha256Text(bytes));
  DeleteFileA(path.c_str());
}

}  // namespace
}  // namespace vantrel
