// What single Windows calls cost under Wine, for the notices the launcher sends by design:
//   call_cost post COUNT    PostMessageW of the state-changed message to a window whose own
//                           thread drains its queue (each post wakes that thread)
//   call_cost paced COUNT   the same to a window whose thread drains once a frame, as the
//                           launcher's does while notices stream in (no post wakes it)
//   call_cost trace COUNT   OutputDebugStringW of a line as long as a status notice's
//   call_cost wait COUNT    WaitForSingleObject on a signalled event: one plain server round trip,
//                           for scale
// Prints the loop's wall and CPU time (all threads of the process; the benchmark adds the
// wineserver's from outside).
#include <windows.h>

#include <cstdio>
#include <string>

#include "bench/bare_list_win32.h"
#include "bench/bare_notices_win32.h"

int wmain(int argc, wchar_t** argv) {
  const std::wstring what = argc == 3 ? argv[1] : L"";
  const long count = argc == 3 ? _wtol(argv[2]) : 0;
  if ((what != L"post" && what != L"paced" && what != L"trace" && what != L"wait") || count <= 0) {
    std::fprintf(stderr, "usage: call_cost post|paced|trace|wait COUNT\n");
    return 2;
  }
  const bool posts = what == L"post" || what == L"paced";
  bench::NoticeWindow window(what == L"paced" ? bench::Drain::kPaced : bench::Drain::kWoken);
  if (posts && !window.Start()) return bench::Fail("window", L"");
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  const std::wstring line = L"[vantrel] status: Checking your files | f00042.bin (43 of 10000)";
  const bench::Stopwatch watch;
  for (long i = 0; i < count; ++i) {
    if (posts) {
      window.Post();
    } else if (what == L"trace") {
      OutputDebugStringW(line.c_str());
    } else {
      WaitForSingleObject(event, 0);
    }
  }
  watch.Print(static_cast<size_t>(count), 0);
  window.Stop();  // the drain is part of what the posts cost
  std::printf("cpu_with_drain: %.4f\n", watch.CpuSpent());
  CloseHandle(event);
  return 0;
}
