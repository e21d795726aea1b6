// The peer of the launcher's first check under Wine: for every path of a list, the calls a
// check of one file needs and nothing else (attribute query, CreateFileW, ReadFile in 1 MiB
// pieces into one buffer, CloseHandle). With --notices it also makes the calls the launcher
// must make per hashed file by design: the status notice's trace line and its post to a window
// on a second thread (bare_notices_win32.h). Prints the loop's wall and CPU time.
//   bare_read_loop [--notices[=paced]] LIST   (LIST: one Windows path a line, UTF-8)
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bare_list_win32.h"
#include "bench/bare_notices_win32.h"

int wmain(int argc, wchar_t** argv) {
  bench::Drain drain = bench::Drain::kWoken;
  const bool notices = argc > 1 && bench::NoticesOption(argv[1], &drain);
  std::vector<std::wstring> paths;
  if (argc != 2 + (notices ? 1 : 0) || !bench::ReadList(argv[argc - 1], &paths)) {
    std::fprintf(stderr, "usage: bare_read_loop [--notices[=paced]] LIST\n");
    return 2;
  }
  bench::NoticeWindow window(drain);
  if (notices && !window.Start()) return bench::Fail("window", L"");
  const std::wstring of = L" of " + std::to_wstring(paths.size()) + L")";
  constexpr DWORD kPiece = 1048576;
  std::unique_ptr<char[]> buffer(new char[kPiece]);
  uint64_t bytes = 0;
  const bench::Stopwatch watch;
  for (size_t index = 0; index < paths.size(); ++index) {
    const std::wstring& path = paths[index];
    WIN32_FILE_ATTRIBUTE_DATA facts;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &facts)) return bench::Fail("attributes", path);
    if (notices) {
      bench::StatusNotice(window, L"Checking your files",
                          bench::FileNameOf(path) + L" (" + std::to_wstring(index + 1) + of);
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bench::Fail("open", path);
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(file, buffer.get(), kPiece, &got, nullptr)) return bench::Fail("read", path);
      if (got == 0) break;
      bytes += got;
    }
    CloseHandle(file);
  }
  watch.Print(paths.size(), bytes);
  return 0;
}
