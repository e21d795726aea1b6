#pragma once
// The four pages as plain data: buttons (rectangles, labels, enabled rules), the texts and
// their layout, the pointer's hover/press/click rules and the caption. The Win32 window only
// turns the draw list into GDI calls. Functions taking the state expect its lock held.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/state.h"

namespace vantrel::ui {

struct Rect {
  int32_t left, top, right, bottom;
  bool Contains(int32_t x, int32_t y) const { return left <= x && x < right && top <= y && y < bottom; }
  bool operator==(const Rect&) const = default;
};

struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

enum class Font : uint8_t { kTitle, kPrimaryButton, kButton, kBody, kSmall };

enum ButtonId : uint8_t {
  kPlay = 0,
  kCheckFiles = 1,
  kSendLogs = 2,
  kSettings = 3,
  kRealmSite = 4,
  kChangeFolder = 5,
  kWindowed = 6,
  kBack = 7,
  kCrashDumps = 8,
  kSend = 9,
  kCancel = 10,
  kCopyLink = 11,
  kOpenLink = 12,
  kGatewayFile = 13,
};

// Text formats of the platform's text drawing call (DT_NOPREFIX is added when drawing).
inline constexpr uint32_t kCentredVCentredSingle = 0x25;
inline constexpr uint32_t kCentredVCentredSingleEllipsis = 0x8025;
inline constexpr uint32_t kCentredSingle = 0x21;
inline constexpr uint32_t kCentredSingleEllipsis = 0x8021;
inline constexpr uint32_t kCentredWrap = 0x11;
inline constexpr uint32_t kCentredWrapEllipsis = 0x8011;
inline constexpr uint32_t kCentredWrapPathEllipsis = 0x4011;
inline constexpr uint32_t kCentredWrapEditBreak = 0x2011;
inline constexpr uint32_t kLeftSingle = 0x20;
inline constexpr uint32_t kNoPrefix = 0x800;

namespace colour {
inline constexpr Rgb kPlainBackground{12, 10, 14};
inline constexpr Rgb kOuterFrame{110, 85, 50};
inline constexpr Rgb kInnerFrame{58, 45, 28};
inline constexpr Rgb kTitle{236, 214, 160};
inline constexpr Rgb kBody{222, 212, 192};
inline constexpr Rgb kDetail{150, 134, 104};
inline constexpr Rgb kButtonText{201, 168, 106};
inline constexpr Rgb kDisabledText{96, 86, 66};
inline constexpr Rgb kButtonFace{22, 17, 12};
inline constexpr Rgb kHoveredFace{36, 28, 19};
inline constexpr Rgb kTrough{10, 8, 6};
inline constexpr Rgb kBar{176, 138, 72};
inline constexpr Rgb kFooter{120, 112, 100};
inline constexpr Rgb kEditBackground{14, 11, 8};
}  // namespace colour

struct Button {
  Rect rect;
  std::string label;
  uint8_t id;
  bool primary;
};

struct DrawOp {
  enum class Kind : uint8_t { kFill, kFrame, kText } kind;
  Rect rect;
  Rgb colour;
  Font font = Font::kBody;
  uint32_t format = 0;
  std::string text;
  bool operator==(const DrawOp&) const = default;
};

// Hover, press and leave-tracking of the painted buttons.
struct Pointer {
  uint8_t hover_id = 0;
  bool hover = false;
  uint8_t press_id = 0;
  bool press = false;
  bool tracking = false;
};

std::vector<Button> PageButtons(const LauncherState& state);
bool ButtonEnabled(const LauncherState& state, uint8_t id);

std::string WindowedLabel(bool windowed);
std::string CrashDumpsLabel(bool include, uint64_t dump_size);
std::string SendLogsSentence(const LauncherState& state);
std::string ReportFileNames(const LauncherState& state);
std::string CaptionText(std::string_view realm_name);

// What a text op draws: its first 600 bytes as UTF-16. False (draw nothing) when they are not
// valid UTF-8, except that a character cut by the 600-byte limit itself is left off.
bool DrawableText(std::string_view text, std::u16string* wide);

// Everything drawn over the background, in painting order: panel, page texts and progress,
// buttons, footer.
std::vector<DrawOp> FrameOps(const LauncherState& state, const Pointer& pointer);

// The smallest rectangle outside which two frames are the same pixels: every op draws inside its
// rectangle, so an op that differs (or is only in one list) marks its old and new place. Empty
// (all zero) when nothing changed.
Rect ChangedArea(const std::vector<DrawOp>& before, const std::vector<DrawOp>& after);

// Mouse movement (or a page change under a still pointer): true when the hover changed and
// the window must repaint.
bool PointerMoved(Pointer& pointer, const std::vector<Button>& buttons, int32_t x, int32_t y);
void PointerDown(Pointer& pointer);
// Release: the id to run, when the press and release were over the same enabled button of
// the page in view.
std::optional<uint8_t> PointerUp(Pointer& pointer, const LauncherState& state);
void PointerLeft(Pointer& pointer);

}  // namespace vantrel::ui
