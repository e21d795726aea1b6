// The Win32 window: class, procedure, GDI painting of the page model's draw list, the two
// edit fields and the message loop. The frame lives in an 800x600 back buffer; what changed
// is redrawn there and copied to the screen in one block, so nothing flickers.

// GDI+ needs windows.h and objidl.h before it (lean-and-mean leaves the latter out).
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>
#include <gdiplus.h>
// clang-format on

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "launcher/worker.h"
#include "support/win_text.h"
#include "ui/actions.h"
#include "ui/page_model.h"
#include "ui/window.h"

namespace vantrel::ui {
namespace {

constexpr wchar_t kClassName[] = L"VantrelLauncher";
constexpr wchar_t kTitle[] = L"Vantrel Launcher";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kClientWidth = 800;
constexpr int kClientHeight = 600;
constexpr int kBackgroundResource = 101;
constexpr int kIconResource = 1;
constexpr int kAccountLimit = 32;
constexpr int kNoteLimit = 480;
constexpr int kEditBufferUnits = 600;  // including the terminator

// What decides which buttons are shown: the page, the gateway button of the main page and the
// crash-dump button of the Send logs page.
struct ButtonLayout {
  Page page = Page::kMain;
  bool gateway_missing = false;
  bool crash_dumps = false;
  bool operator==(const ButtonLayout&) const = default;
};
ButtonLayout LayoutOf(const LauncherState& state) {
  return {state.page, state.gateway_missing, state.crash_dump_count > 0};
}

// Touched only by the window thread.
struct UiGlobals {
  WorkerContext* context = nullptr;
  HWND window = nullptr;
  HDC back_buffer = nullptr;
  HDC background = nullptr;  // none when the picture could not be decoded
  HFONT fonts[5] = {};
  HBRUSH edit_brush = nullptr;
  HWND account_field = nullptr;
  HWND note_field = nullptr;
  bool edit_fields_shown = false;  // they are created hidden
  std::string caption;             // as last set; the title given at creation is none of these
  Pointer pointer;
  std::vector<DrawOp> drawn;  // the frame in the back buffer
  bool drawn_once = false;
  Rect invalidated{0, 0, 0, 0};              // what this thread invalidated since the last paint
  ULONGLONG last_frame = 0;                  // GetTickCount64 when notices were last taken in
  bool notices_waiting = false;              // notices came within a frame of the last; taken at the next
  bool loop_dispatches_notice = false;       // the message loop below, not a modal one, is dispatching
  std::optional<ButtonLayout> hover_layout;  // the buttons the hover was last found among
};
UiGlobals g;

COLORREF ToColorref(Rgb colour) { return RGB(colour.r, colour.g, colour.b); }
RECT ToRect(const Rect& rect) { return RECT{rect.left, rect.top, rect.right, rect.bottom}; }

void FillSolid(HDC dc, const Rect& rect, Rgb colour) {
  const RECT area = ToRect(rect);
  HBRUSH brush = CreateSolidBrush(ToColorref(colour));
  FillRect(dc, &area, brush);
  DeleteObject(brush);
}

// A 1-px outline whose right and bottom lines lie inside the rectangle.
void FrameSolid(HDC dc, const Rect& rect, Rgb colour) {
  HPEN pen = CreatePen(PS_SOLID, 1, ToColorref(colour));
  HGDIOBJ previous = SelectObject(dc, pen);
  const POINT outline[5] = {{rect.left, rect.top},
                            {rect.right - 1, rect.top},
                            {rect.right - 1, rect.bottom - 1},
                            {rect.left, rect.bottom - 1},
                            {rect.left, rect.top}};
  Polyline(dc, outline, 5);
  SelectObject(dc, previous);
  DeleteObject(pen);
}

void DrawTextOp(HDC dc, const DrawOp& op) {
  std::u16string wide;
  if (!DrawableText(op.text, &wide) || wide.empty()) return;
  RECT area = ToRect(op.rect);
  HGDIOBJ previous = SelectObject(dc, g.fonts[static_cast<int>(op.font)]);
  SetTextColor(dc, ToColorref(op.colour));
  DrawTextW(dc, reinterpret_cast<const wchar_t*>(wide.c_str()), static_cast<int>(wide.size()), &area,
            op.format | kNoPrefix);
  SelectObject(dc, previous);
}

bool Overlaps(const Rect& a, const Rect& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

// Ops wholly outside `area` are skipped: the device context is clipped to it anyway.
void DrawOps(HDC dc, const std::vector<DrawOp>& ops, const Rect& area) {
  for (const DrawOp& op : ops) {
    if (!Overlaps(op.rect, area)) continue;
    switch (op.kind) {
      case DrawOp::Kind::kFill: FillSolid(dc, op.rect, op.colour); break;
      case DrawOp::Kind::kFrame: FrameSolid(dc, op.rect, op.colour); break;
      case DrawOp::Kind::kText: DrawTextOp(dc, op); break;
    }
  }
}

std::vector<DrawOp> CurrentOps() {
  LauncherState& state = *g.context->state;
  os::LockGuard guard(state.lock);
  return FrameOps(state, g.pointer);
}

constexpr Rect kClientArea{0, 0, kClientWidth, kClientHeight};

// The part of the window whose pixels differ from the frame in the back buffer. A progress
// notice changes a line and the bar, so only they are redrawn and copied to the screen: whole
// frames at every notice took the window thread (and X) a core's worth of a download.
Rect StaleArea(const std::vector<DrawOp>& ops) {
  if (g.back_buffer == nullptr || !g.drawn_once) return kClientArea;
  return ChangedArea(g.drawn, ops);
}

bool IsEmpty(const Rect& area) { return area.left >= area.right || area.top >= area.bottom; }

bool Inside(const Rect& inner, const Rect& outer) {
  return outer.left <= inner.left && inner.right <= outer.right && outer.top <= inner.top &&
         inner.bottom <= outer.bottom;
}

void InvalidateArea(const Rect& area) {
  if (IsEmpty(area)) return;
  const RECT rect = ToRect(area);
  InvalidateRect(g.window, &rect, FALSE);
  g.invalidated = IsEmpty(g.invalidated)
                      ? area
                      : Rect{std::min(g.invalidated.left, area.left), std::min(g.invalidated.top, area.top),
                             std::max(g.invalidated.right, area.right), std::max(g.invalidated.bottom, area.bottom)};
}

// Every change of what the window shows comes here; the paint that follows redraws that part.
void InvalidateWindow() { InvalidateArea(StaleArea(CurrentOps())); }

void ShowEditFields(bool show) {
  if (show == g.edit_fields_shown) return;
  g.edit_fields_shown = show;
  const int command = show ? SW_SHOW : SW_HIDE;
  if (g.account_field != nullptr) ShowWindow(g.account_field, command);
  if (g.note_field != nullptr) ShowWindow(g.note_field, command);
}

std::string ReadField(HWND field) {
  wchar_t buffer[kEditBufferUnits];
  const int length = field != nullptr ? GetWindowTextW(field, buffer, kEditBufferUnits) : 0;
  std::string text;
  if (length <= 0 || !FromWide(buffer, static_cast<size_t>(length), &text)) return std::string();
  return text;
}

class WindowHost : public UiHost {
 public:
  void HideEditFields() override { ShowEditFields(false); }
  void Invalidate() override { InvalidateWindow(); }
  void ReadEditFields(std::string* account, std::string* note) override {
    *account = ReadField(g.account_field);
    *note = ReadField(g.note_field);
  }
};
WindowHost host;

void DrawBackground(HDC dc, const Rect& area) {
  if (g.background != nullptr) {
    BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, g.background, area.left, area.top,
           SRCCOPY);
  } else {
    FillSolid(dc, area, colour::kPlainBackground);
  }
}

// Brings the back buffer up to the current frame where it differs, and adds that part to the
// update region so this paint copies it. The draw list is a copy of what the frame shows, so
// the lock is held only to build it and the worker never waits on GDI.
void UpdateBackBuffer(HWND window) {
  std::vector<DrawOp> ops = CurrentOps();
  const Rect stale = StaleArea(ops);
  if (stale.left >= stale.right || stale.top >= stale.bottom) return;
  HDC dc = g.back_buffer;
  const int saved = SaveDC(dc);
  IntersectClipRect(dc, stale.left, stale.top, stale.right, stale.bottom);
  DrawBackground(dc, stale);
  SetBkMode(dc, TRANSPARENT);
  DrawOps(dc, ops, stale);
  RestoreDC(dc, saved);
  g.drawn = std::move(ops);
  g.drawn_once = true;
  // Usually the notice that changed it invalidated this already; another server round trip only
  // when the state moved on since.
  if (!Inside(stale, g.invalidated)) {
    const RECT rect = ToRect(stale);
    InvalidateRect(window, &rect, FALSE);
  }
}

void Paint(HWND window) {
  if (g.back_buffer != nullptr) UpdateBackBuffer(window);
  PAINTSTRUCT paint;
  HDC screen = BeginPaint(window, &paint);
  if (g.back_buffer != nullptr) {
    const RECT& area = paint.rcPaint;
    BitBlt(screen, area.left, area.top, area.right - area.left, area.bottom - area.top, g.back_buffer, area.left,
           area.top, SRCCOPY);
  } else {
    // Without a back buffer the frame is drawn straight onto the window: it may flicker but
    // the launcher stays usable.
    DrawBackground(screen, kClientArea);
    SetBkMode(screen, TRANSPARENT);
    DrawOps(screen, CurrentOps(), kClientArea);
  }
  EndPaint(window, &paint);
  g.invalidated = Rect{0, 0, 0, 0};
}

bool HoveredButtonEnabled() {
  if (!g.pointer.hover) return false;
  LauncherState& state = *g.context->state;
  os::LockGuard guard(state.lock);
  return ButtonEnabled(state, g.pointer.hover_id);
}

void UpdateHover(int32_t x, int32_t y) {
  if (!g.pointer.tracking) {
    TRACKMOUSEEVENT track{};
    track.cbSize = sizeof(track);
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = g.window;
    TrackMouseEvent(&track);
    g.pointer.tracking = true;
  }
  bool changed;
  {
    LauncherState& state = *g.context->state;
    os::LockGuard guard(state.lock);
    changed = PointerMoved(g.pointer, PageButtons(state), x, y);
    g.hover_layout = LayoutOf(state);
  }
  if (changed) InvalidateWindow();
}

void OnMouseMove(LPARAM position) {
  UpdateHover(static_cast<int16_t>(LOWORD(position)), static_cast<int16_t>(HIWORD(position)));
}

// After a page change the pointer may rest over another button than the hovered one; the
// hover follows it at once, so the highlight and the next click match what is under it.
void RefreshHover() {
  POINT at;
  if (!GetCursorPos(&at)) return;
  if (WindowFromPoint(at) == g.window && ScreenToClient(g.window, &at)) {
    UpdateHover(at.x, at.y);
  } else {
    {
      LauncherState& state = *g.context->state;
      os::LockGuard guard(state.lock);
      g.hover_layout = LayoutOf(state);
    }
    if (g.pointer.hover) {
      // Over an edit field or another window: no painted button is under the pointer.
      g.pointer.hover = false;
      g.pointer.hover_id = 0;
      InvalidateWindow();
    }
  }
}

void OnButtonUp() {
  std::optional<uint8_t> clicked;
  {
    LauncherState& state = *g.context->state;
    os::LockGuard guard(state.lock);
    clicked = PointerUp(g.pointer, state);
  }
  // The action takes the lock itself where it touches the state.
  if (clicked) {
    RunClick(*clicked, *g.context, host);
    RefreshHover();
  }
  InvalidateWindow();
}

// What the notices since the last frame changed: the page's part of the frame, the caption,
// the edit fields and, when other buttons are shown, the hover. Setting the caption, showing or
// hiding the edit fields and asking where the pointer is cost server round trips each, so each is
// redone only when what it shows has changed.
void TakeNotices(HWND window) {
  os::PostedOnceTaken();  // first: a notice after this point posts again and is not missed
  g.notices_waiting = false;
  g.last_frame = GetTickCount64();
  InvalidateWindow();
  Page page;
  ButtonLayout layout;
  std::string caption;
  {
    LauncherState& state = *g.context->state;
    os::LockGuard guard(state.lock);
    page = state.page;
    layout = LayoutOf(state);
    caption = CaptionText(state.realm_name.View());
  }
  if (caption != g.caption) {
    std::wstring wide;
    if (ToWide(caption, &wide)) SetWindowTextW(window, wide.c_str());
    g.caption = std::move(caption);
  }
  ShowEditFields(page == Page::kSendLogs);
  if (!g.hover_layout || *g.hover_layout != layout) RefreshHover();
}

// A check posts a notice per hashed file and a download one per chunk, thousands a second. Each
// post that finds this thread waiting in GetMessage wakes it, which under Wine costs three server
// round trips (the wake, the message, the look for the next) on the one wineserver that the
// worker needs for its own calls. The screen needs no more than a frame every kFrameMillis, so a
// notice that comes sooner after the last frame only marks the next one: the message loop sleeps
// out the frame while further posts queue up without waking anyone, then takes them all in one
// pass and draws the state as it is then.
constexpr ULONGLONG kFrameMillis = 16;

void OnStateChanged(HWND window) {
  // A modal loop (a moved window, the folder chooser) knows nothing of the pacing: its notices
  // are taken at once.
  if (g.loop_dispatches_notice && (g.notices_waiting || GetTickCount64() - g.last_frame < kFrameMillis)) {
    g.notices_waiting = true;
    return;
  }
  TakeNotices(window);
}

void Dispatch(const MSG& message) {
  TranslateMessage(&message);
  g.loop_dispatches_notice = message.message == kStateChangedMessage;
  DispatchMessageW(&message);
  g.loop_dispatches_notice = false;
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
    case kQuitMessage: PostQuitMessage(0); return 0;
    case WM_PAINT: Paint(window); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_SETCURSOR:
      if (HoveredButtonEnabled()) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return 1;
      }
      break;
    case WM_CTLCOLOREDIT: {
      HDC dc = reinterpret_cast<HDC>(wparam);
      SetTextColor(dc, ToColorref(colour::kBody));
      SetBkColor(dc, ToColorref(colour::kEditBackground));
      return reinterpret_cast<LRESULT>(g.edit_brush);
    }
    case WM_MOUSEMOVE: OnMouseMove(lparam); return 0;
    case WM_LBUTTONDOWN:
      PointerDown(g.pointer);
      InvalidateWindow();
      return 0;
    case WM_LBUTTONUP: OnButtonUp(); return 0;
    case WM_MOUSELEAVE:
      PointerLeft(g.pointer);
      InvalidateWindow();
      return 0;
    case kStateChangedMessage: OnStateChanged(window); return 0;
    default: break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// The picture is artwork in the exe; any failure on the way leaves the plain fill.
HDC LoadBackground(HINSTANCE instance, HDC window_dc) {
  HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(kBackgroundResource), MAKEINTRESOURCEW(10));
  if (resource == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(instance, resource);
  const DWORD size = SizeofResource(instance, resource);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr || size == 0) return nullptr;

  // GDI+ stays up for the life of the process; the decoded bitmap is plain GDI afterwards.
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartupInput input;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return nullptr;
  IStream* stream = SHCreateMemStream(static_cast<const BYTE*>(bytes), size);
  if (stream == nullptr) return nullptr;
  HBITMAP bitmap = nullptr;
  Gdiplus::Bitmap* picture = Gdiplus::Bitmap::FromStream(stream);
  if (picture != nullptr) {
    if (picture->GetLastStatus() != Gdiplus::Ok || picture->GetHBITMAP(Gdiplus::Color(0), &bitmap) != Gdiplus::Ok) {
      bitmap = nullptr;
    }
    delete picture;
  }
  stream->Release();
  if (bitmap == nullptr) return nullptr;
  HDC source = CreateCompatibleDC(window_dc);
  if (source == nullptr) {
    DeleteObject(bitmap);
    return nullptr;
  }
  SelectObject(source, bitmap);
  return source;
}

HFONT MakeFont(int height, int weight) {
  return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Georgia");
}

HWND MakeEditField(HINSTANCE instance, DWORD style, int x, int y, int width, int height, HFONT font, int limit) {
  HWND field = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_BORDER | WS_TABSTOP | style, x, y, width, height,
                               g.window, nullptr, instance, nullptr);
  if (field == nullptr) return nullptr;
  SendMessageW(field, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  SendMessageW(field, EM_SETLIMITTEXT, static_cast<WPARAM>(limit), 0);
  return field;
}

}  // namespace

bool CreateMainWindow(WorkerContext& context) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  g.context = &context;

  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.style = 0;
  window_class.lpfnWndProc = WindowProcedure;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
  window_class.hIconSm =
      static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = nullptr;
  window_class.lpszClassName = kClassName;
  if (RegisterClassExW(&window_class) == 0) return false;

  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&frame, kWindowStyle, FALSE);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  if (x < 0) x = 0;
  if (y < 0) y = 0;

  g.window =
      CreateWindowExW(0, kClassName, kTitle, kWindowStyle, x, y, width, height, nullptr, nullptr, instance, nullptr);
  if (g.window == nullptr) return false;
  context.window = g.window;

  HDC window_dc = GetDC(g.window);
  g.back_buffer = CreateCompatibleDC(window_dc);
  HBITMAP back_bitmap = CreateCompatibleBitmap(window_dc, kClientWidth, kClientHeight);
  if (g.back_buffer != nullptr && back_bitmap != nullptr) {
    SelectObject(g.back_buffer, back_bitmap);
  } else {
    if (g.back_buffer != nullptr) DeleteDC(g.back_buffer);
    if (back_bitmap != nullptr) DeleteObject(back_bitmap);
    g.back_buffer = nullptr;
  }
  g.background = LoadBackground(instance, window_dc);
  ReleaseDC(g.window, window_dc);

  g.fonts[static_cast<int>(Font::kTitle)] = MakeFont(26, FW_NORMAL);
  g.fonts[static_cast<int>(Font::kPrimaryButton)] = MakeFont(22, FW_BOLD);
  g.fonts[static_cast<int>(Font::kButton)] = MakeFont(15, FW_NORMAL);
  g.fonts[static_cast<int>(Font::kBody)] = MakeFont(16, FW_NORMAL);
  g.fonts[static_cast<int>(Font::kSmall)] = MakeFont(13, FW_NORMAL);
  g.edit_brush = CreateSolidBrush(ToColorref(colour::kEditBackground));

  g.account_field =
      MakeEditField(instance, ES_AUTOHSCROLL, 250, 414, 300, 24, g.fonts[static_cast<int>(Font::kBody)], kAccountLimit);
  g.note_field = MakeEditField(instance, WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, 250, 460, 300, 48,
                               g.fonts[static_cast<int>(Font::kSmall)], kNoteLimit);

  ShowWindow(g.window, SW_SHOWNORMAL);
  UpdateWindow(g.window);
  return true;
}

void RunMessageLoop() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    Dispatch(message);
    if (!g.notices_waiting) continue;
    // Sleeping costs no server round trip; input waits at most the rest of a frame.
    const ULONGLONG since = GetTickCount64() - g.last_frame;
    if (since < kFrameMillis) Sleep(static_cast<DWORD>(kFrameMillis - since));
    // What queued meanwhile, one round trip a message; bounded, so a flood can't hold the frame.
    const ULONGLONG drain_start = GetTickCount64();
    while (GetTickCount64() - drain_start < kFrameMillis && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      Dispatch(message);
    }
    if (g.notices_waiting) {
      TakeNotices(g.window);
      UpdateWindow(g.window);  // the frame now, not after whatever is posted next
    }
  }
}

}  // namespace vantrel::ui
