// The peer of the launcher's downloads under Wine: one WinHTTP session, and for every line of a
// list the calls a download needs and nothing else (connect, request, WinHttpReadData in
// 256 KiB reads, WriteFile, FlushFileBuffers, CloseHandle). With --notices it also makes the
// calls the launcher must make by design: per file the status notice (trace line and post to a
// window on a second thread), per chunk read the progress post (bare_notices_win32.h), and the
// file calls of a verified replacement: a look for a file already there (a player's own needs a
// copy first), the download into a ".part" file moved into place, and the look at the placed file
// whose size and time the hash ledger records. With --no-flush it leaves out FlushFileBuffers, so
// the two runs tell what the flush before each rename costs. Prints the loop's wall and CPU time.
//   bare_winhttp_loop [--notices[=paced]] [--no-flush] HOST PORT LIST
//   (LIST: "URL path<TAB>Windows file path")
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bare_list_win32.h"
#include "bench/bare_notices_win32.h"

namespace {

struct Handles {
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Handles() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (request != nullptr) WinHttpCloseHandle(request);
    if (connection != nullptr) WinHttpCloseHandle(connection);
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bench::Drain drain = bench::Drain::kWoken;
  const bool notices = argc > 1 && bench::NoticesOption(argv[1], &drain);
  if (notices) {
    --argc;
    ++argv;
  }
  const bool flush = !(argc > 1 && std::wstring(argv[1]) == L"--no-flush");
  if (!flush) {
    --argc;
    ++argv;
  }
  std::vector<std::wstring> lines;
  if (argc != 4 || !bench::ReadList(argv[3], &lines)) {
    std::fprintf(stderr, "usage: bare_winhttp_loop [--notices[=paced]] [--no-flush] HOST PORT LIST\n");
    return 2;
  }
  bench::NoticeWindow window(drain);
  if (notices && !window.Start()) return bench::Fail("window", L"");
  const std::wstring of = L" of " + std::to_wstring(lines.size());
  const INTERNET_PORT port = static_cast<INTERNET_PORT>(_wtoi(argv[2]));
  HINTERNET session = WinHttpOpen(L"VantrelLauncher/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) return bench::Fail("session", argv[1]);
  WinHttpSetTimeouts(session, 15000, 15000, 30000, 60000);
  constexpr DWORD kRead = 262144;
  std::unique_ptr<char[]> buffer(new char[kRead]);
  uint64_t bytes = 0;
  uint64_t reads = 0;  // how many chunks WinHTTP hands out: the launcher posts a notice per chunk
  const bench::Stopwatch watch;
  for (size_t index = 0; index < lines.size(); ++index) {
    const std::wstring& line = lines[index];
    const size_t tab = line.find(L'\t');
    if (tab == std::wstring::npos) return bench::Fail("list line", line);
    const std::wstring path = line.substr(0, tab);
    const std::wstring target = line.substr(tab + 1);
    if (notices)
      bench::StatusNotice(window, L"Downloading " + std::to_wstring(index + 1) + of, bench::FileNameOf(target));
    Handles h;
    h.connection = WinHttpConnect(session, argv[1], port, 0);
    if (h.connection == nullptr) return bench::Fail("connect", path);
    h.request = WinHttpOpenRequest(h.connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (h.request == nullptr ||
        !WinHttpSendRequest(h.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(h.request, nullptr)) {
      return bench::Fail("request", path);
    }
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    if (!WinHttpQueryHeaders(h.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX) ||
        status != 200) {
      return bench::Fail("status", path);
    }
    WIN32_FILE_ATTRIBUTE_DATA facts;
    if (notices && GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &facts)) {
      return bench::Fail("a file already there", target);
    }
    const std::wstring part = notices ? target + L".part" : target;
    h.file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h.file == INVALID_HANDLE_VALUE) return bench::Fail("create", part);
    for (;;) {
      DWORD got = 0;
      if (!WinHttpReadData(h.request, buffer.get(), kRead, &got)) return bench::Fail("read", path);
      if (got == 0) break;
      DWORD written = 0;
      if (!WriteFile(h.file, buffer.get(), got, &written, nullptr) || written != got) {
        return bench::Fail("write", target);
      }
      bytes += got;
      ++reads;
      if (notices) window.Post();
    }
    if (flush) FlushFileBuffers(h.file);
    if (notices) {
      CloseHandle(h.file);
      h.file = INVALID_HANDLE_VALUE;
      if (!MoveFileExW(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
          !GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &facts)) {
        return bench::Fail("move into place", target);
      }
    }
  }
  watch.Print(lines.size(), bytes);
  std::printf("reads: %llu\n", static_cast<unsigned long long>(reads));
  WinHttpCloseHandle(session);
  return 0;
}
