#pragma once
// The Windows calls the launcher must make per notice by design, for the bare programs' same-calls
// variants: a PostMessageW of the state-changed message to a window whose own thread drains its
// queue, and an OutputDebugStringW of the notice's trace line. The window's thread drains either
// as a plain message loop does, woken in GetMessage by every post, or paced as the launcher's
// does: it sleeps a frame (16 ms) while posts queue up, then takes them all with PeekMessage.
#include <windows.h>

#include <string>

namespace bench {

inline constexpr UINT kStateChangedMessage = 0x8001;  // WM_APP + 1, as the launcher's

enum class Drain { kWoken, kPaced };

// "--notices" or "--notices=paced": how the same-calls variant drains; nothing for the bare loop.
inline bool NoticesOption(const wchar_t* argument, Drain* drain) {
  const std::wstring option = argument;
  if (option != L"--notices" && option != L"--notices=paced") return false;
  *drain = option == L"--notices" ? Drain::kWoken : Drain::kPaced;
  return true;
}

class NoticeWindow {
 public:
  explicit NoticeWindow(Drain drain = Drain::kWoken) : drain_(drain) {}
  NoticeWindow(const NoticeWindow&) = delete;
  NoticeWindow& operator=(const NoticeWindow&) = delete;
  ~NoticeWindow() { Stop(); }

  // Creates the window on its own thread; false when it could not be made.
  bool Start() {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ready_ == nullptr) return false;
    thread_ = CreateThread(nullptr, 0, &NoticeWindow::Main, this, 0, nullptr);
    if (thread_ == nullptr) return false;
    WaitForSingleObject(ready_, INFINITE);
    return window_ != nullptr;
  }

  void Post() const { PostMessageW(window_, kStateChangedMessage, 0, 0); }

  // Lets the window's thread drain what was posted, then ends it.
  void Stop() {
    if (thread_ == nullptr) return;
    if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(ready_);
    thread_ = ready_ = nullptr;
  }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == kStateChangedMessage) return 0;
    if (message == WM_DESTROY) {
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  static DWORD WINAPI Main(void* raw) {
    NoticeWindow& self = *static_cast<NoticeWindow*>(raw);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = Procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"BareNoticeWindow";
    RegisterClassExW(&window_class);
    self.window_ = CreateWindowExW(0, L"BareNoticeWindow", L"bare", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                   window_class.hInstance, nullptr);
    SetEvent(self.ready_);
    if (self.window_ == nullptr) return 1;
    MSG message;
    if (self.drain_ == Drain::kPaced) {
      for (;;) {
        Sleep(16);
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
          if (message.message == WM_QUIT) return 0;
          TranslateMessage(&message);
          DispatchMessageW(&message);
        }
      }
    }
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    return 0;
  }

  const Drain drain_;
  HANDLE thread_ = nullptr;
  HANDLE ready_ = nullptr;
  HWND window_ = nullptr;
};

// One status notice as the launcher sends it: the trace line "[vantrel] status: HEADLINE | DETAIL"
// to the debugger's output, then the post.
inline void StatusNotice(const NoticeWindow& window, const std::wstring& headline, const std::wstring& detail) {
  const std::wstring line = L"[vantrel] status: " + headline + L" | " + detail;
  OutputDebugStringW(line.c_str());
  window.Post();
}

// The last component of a Windows path.
inline std::wstring FileNameOf(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

}  // namespace bench
