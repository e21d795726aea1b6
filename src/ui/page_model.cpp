#include "ui/page_model.h"

#include <algorithm>

#include "support/text.h"
#include "support/utf.h"

namespace vantrel::ui {

std::string WindowedLabel(bool windowed) {
  return FitOr(std::string("Windowed: ") + (windowed ? "on" : "off"), 96, "Windowed");
}

std::string CrashDumpsLabel(bool include, uint64_t dump_size) {
  std::string label = "Crash dumps: ";
  label.append(include ? "included" : "left out").append(" (").append(SizeText(dump_size)).append(")");
  return FitOr(std::move(label), 96, "Crash dumps");
}

std::string SendLogsSentence(const LauncherState& state) {
  uint64_t logs = 0;
  for (uint32_t i = 0; i < state.report_entry_count; ++i) {
    if (!state.report_entries[i].is_crash_dump) ++logs;
  }
  std::string sentence = Decimal(logs);
  sentence.append(" log file").append(logs == 1 ? "" : "s").append(" (").append(SizeText(state.report_text_size));
  if (state.crash_dump_count == 0) {
    sentence.append(") with your computer's name and addresses blanked out.");
  } else {
    sentence.append("), names and addresses blanked out. ")
        .append(state.include_crash_dumps ? "Crash dumps go as they are." : "Crash dumps stay here.");
  }
  return FitOrEmpty(std::move(sentence), 240);
}

std::string ReportFileNames(const LauncherState& state) {
  std::string list;
  for (uint32_t i = 0; i < state.report_entry_count; ++i) {
    const ReportEntry& entry = state.report_entries[i];
    if (entry.is_crash_dump && !state.include_crash_dumps) continue;
    const std::string_view name = LastPathComponent(entry.name);
    if (list.size() + name.size() > 598) break;
    if (!list.empty()) list.append(", ");
    list.append(name);
  }
  return list;
}

std::string CaptionText(std::string_view realm_name) {
  std::string caption(realm_name.empty() ? std::string_view("Realm") : realm_name);
  caption.append(" Launcher");
  return FitOr(std::move(caption), 120, "Vantrel Launcher");
}

bool DrawableText(std::string_view text, std::u16string* wide) {
  if (text.size() >= kFixedTextCapacity) {
    // Every stored text was cut to 600 bytes without regard to characters; a news or detail
    // text must not vanish because the cut fell inside its last character.
    text = text.substr(0, kFixedTextCapacity);
    size_t lead = text.size();
    while (lead > 0 && text.size() - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead > 0) {
      const unsigned char first = static_cast<unsigned char>(text[lead - 1]);
      const size_t length = first >= 0xF8 ? 1 : first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
      if (length > 1 && text.size() - (lead - 1) < length) text = text.substr(0, lead - 1);
    }
  }
  return Utf8ToUtf16(text, wide);
}

std::vector<Button> PageButtons(const LauncherState& state) {
  std::vector<Button> buttons;
  switch (state.page) {
    case Page::kMain:
      buttons.push_back({{254, 394, 546, 440}, state.game_folder.Empty() ? "Choose game folder" : "Play", kPlay, true});
      buttons.push_back({{254, 452, 348, 480}, "Check files", kCheckFiles, false});
      buttons.push_back({{353, 452, 447, 480}, "Send logs", kSendLogs, false});
      buttons.push_back({{452, 452, 546, 480}, "Settings", kSettings, false});
      if (state.gateway_missing) buttons.push_back({{254, 488, 546, 516}, "Get the gateway file", kGatewayFile, false});
      break;
    case Page::kSettings:
      buttons.push_back({{254, 400, 546, 428}, "Change folder", kChangeFolder, false});
      buttons.push_back({{254, 436, 546, 464}, WindowedLabel(state.windowed), kWindowed, false});
      buttons.push_back({{254, 472, 546, 500}, "The realm's site", kRealmSite, false});
      buttons.push_back({{254, 516, 546, 544}, "Back", kBack, false});
      break;
    case Page::kSendLogs:
      if (state.crash_dump_count > 0) {
        buttons.push_back({{254, 368, 546, 392},
                           CrashDumpsLabel(state.include_crash_dumps, state.report_dump_size),
                           kCrashDumps,
                           false});
      }
      buttons.push_back({{254, 516, 396, 544}, "Send", kSend, false});
      buttons.push_back({{404, 516, 546, 544}, "Cancel", kCancel, false});
      break;
    case Page::kSent:
      buttons.push_back({{254, 420, 546, 448}, "Copy the link", kCopyLink, false});
      buttons.push_back({{254, 456, 546, 484}, "Open it", kOpenLink, false});
      buttons.push_back({{254, 516, 546, 544}, "Back", kBack, false});
      break;
  }
  return buttons;
}

bool ButtonEnabled(const LauncherState& state, uint8_t id) {
  switch (id) {
    case kPlay: return !state.busy && (state.game_folder.Empty() || state.ready);
    case kCheckFiles:
    case kSendLogs:
    case kChangeFolder:
    case kSend: return !state.busy;
    default: return true;
  }
}

namespace {

void Fill(std::vector<DrawOp>& ops, Rect rect, Rgb colour) {
  ops.push_back({DrawOp::Kind::kFill, rect, colour, Font::kBody, 0, {}});
}
void Frame(std::vector<DrawOp>& ops, Rect rect, Rgb colour) {
  ops.push_back({DrawOp::Kind::kFrame, rect, colour, Font::kBody, 0, {}});
}
void Text(std::vector<DrawOp>& ops, std::string_view text, Rect rect, Font font, Rgb colour, uint32_t format) {
  ops.push_back({DrawOp::Kind::kText, rect, colour, font, format, std::string(text)});
}

void PageTexts(std::vector<DrawOp>& ops, const LauncherState& state) {
  switch (state.page) {
    case Page::kMain: {
      Text(ops, state.realm_name.Empty() ? "Realm" : state.realm_name.View(), {250, 276, 550, 310}, Font::kTitle,
           colour::kTitle, kCentredVCentredSingleEllipsis);
      Text(ops, state.status_headline.View(), {250, 316, 550, 338}, Font::kBody, colour::kBody, kCentredSingleEllipsis);
      if (state.progress >= 0.0f) {
        const float clamped = state.progress > 1.0f ? 1.0f : state.progress;
        const int32_t width = static_cast<int32_t>(clamped * 290.0f);
        Fill(ops, {254, 346, 546, 354}, colour::kTrough);
        Fill(ops, {255, 347, 255 + width, 353}, colour::kBar);
        Frame(ops, {254, 346, 546, 354}, colour::kOuterFrame);
      }
      Text(ops, state.status_detail.View(), {250, 358, 550, 390}, Font::kSmall, colour::kDetail, kCentredWrapEllipsis);
      const Rect news = state.gateway_missing ? Rect{250, 522, 550, 552} : Rect{250, 490, 550, 552};
      Text(ops, state.news.View(), news, Font::kSmall, colour::kButtonText, kCentredWrapEllipsis);
      break;
    }
    case Page::kSettings:
      Text(ops, "Settings", {250, 276, 550, 310}, Font::kTitle, colour::kTitle, kCentredVCentredSingle);
      Text(ops, "Game folder", {250, 318, 550, 336}, Font::kSmall, colour::kDetail, kCentredSingle);
      Text(ops, state.game_folder.Empty() ? "not chosen yet" : state.game_folder.View(), {250, 338, 550, 394},
           Font::kBody, colour::kBody, kCentredWrapPathEllipsis);
      break;
    case Page::kSendLogs:
      Text(ops, "Send logs", {250, 276, 550, 310}, Font::kTitle, colour::kTitle, kCentredVCentredSingle);
      Text(ops, SendLogsSentence(state), {250, 312, 550, 344}, Font::kSmall, colour::kBody, kCentredWrap);
      Text(ops, ReportFileNames(state), {250, 348, 550, 364}, Font::kSmall, colour::kDetail, kCentredSingleEllipsis);
      Text(ops, "Your account (optional)", {250, 400, 550, 414}, Font::kSmall, colour::kDetail, kLeftSingle);
      Text(ops, "What happened (optional)", {250, 444, 550, 460}, Font::kSmall, colour::kDetail, kLeftSingle);
      break;
    case Page::kSent:
      Text(ops, "Sent", {250, 276, 550, 310}, Font::kTitle, colour::kTitle, kCentredVCentredSingle);
      Text(ops, "Give this link to an admin. Only people with it, and the realm's admins, can read your logs.",
           {250, 316, 550, 352}, Font::kSmall, colour::kBody, kCentredWrap);
      Text(ops, state.report_link.View(), {250, 358, 550, 414}, Font::kSmall, colour::kTitle, kCentredWrapEditBreak);
      break;
  }
}

}  // namespace

std::vector<DrawOp> FrameOps(const LauncherState& state, const Pointer& pointer) {
  std::vector<DrawOp> ops;
  Frame(ops, {232, 262, 568, 560}, colour::kOuterFrame);
  Frame(ops, {236, 266, 564, 556}, colour::kInnerFrame);
  PageTexts(ops, state);
  for (const Button& button : PageButtons(state)) {
    const bool enabled = ButtonEnabled(state, button.id);
    const bool hovered = enabled && pointer.hover && pointer.hover_id == button.id;
    const bool pressed = pointer.press && pointer.press_id == button.id;
    Fill(ops, button.rect, hovered && !pressed ? colour::kHoveredFace : colour::kButtonFace);
    Frame(ops, button.rect, hovered ? colour::kButtonText : colour::kOuterFrame);
    if (button.primary) {
      const Rect inner{button.rect.left + 3, button.rect.top + 3, button.rect.right - 3, button.rect.bottom - 3};
      Frame(ops, inner, hovered ? colour::kOuterFrame : colour::kInnerFrame);
    }
    const Rgb text = !enabled ? colour::kDisabledText : hovered ? colour::kTitle : colour::kButtonText;
    Text(ops, button.label, button.rect, button.primary ? Font::kPrimaryButton : Font::kButton, text,
         kCentredVCentredSingle);
  }
  Text(ops, state.launcher_line.View(), {10, 578, 400, 594}, Font::kSmall, colour::kFooter, kLeftSingle);
  return ops;
}

Rect ChangedArea(const std::vector<DrawOp>& before, const std::vector<DrawOp>& after) {
  Rect area{0, 0, 0, 0};
  bool any = false;
  auto add = [&](const Rect& rect) {
    if (rect.left >= rect.right || rect.top >= rect.bottom) return;
    if (!any) {
      area = rect;
      any = true;
      return;
    }
    area = {std::min(area.left, rect.left), std::min(area.top, rect.top), std::max(area.right, rect.right),
            std::max(area.bottom, rect.bottom)};
  };
  const size_t longest = std::max(before.size(), after.size());
  for (size_t i = 0; i < longest; ++i) {
    const DrawOp* old_op = i < before.size() ? &before[i] : nullptr;
    const DrawOp* new_op = i < after.size() ? &after[i] : nullptr;
    if (old_op != nullptr && new_op != nullptr && *old_op == *new_op) continue;
    if (old_op != nullptr) add(old_op->rect);
    if (new_op != nullptr) add(new_op->rect);
  }
  return area;
}

bool PointerMoved(Pointer& pointer, const std::vector<Button>& buttons, int32_t x, int32_t y) {
  const Button* found = nullptr;
  for (const Button& button : buttons) {
    if (button.rect.Contains(x, y)) {
      found = &button;
      break;
    }
  }
  if (found == nullptr && !pointer.hover) return false;
  if (found != nullptr && pointer.hover && pointer.hover_id == found->id) return false;
  pointer.hover = found != nullptr;
  pointer.hover_id = found != nullptr ? found->id : 0;
  return true;
}

void PointerDown(Pointer& pointer) {
  pointer.press = pointer.hover;
  pointer.press_id = pointer.hover_id;
}

std::optional<uint8_t> PointerUp(Pointer& pointer, const LauncherState& state) {
  const bool pressed = pointer.press;
  const uint8_t id = pointer.press_id;
  pointer.press = false;
  pointer.press_id = 0;
  if (!pressed || !pointer.hover || pointer.hover_id != id || !ButtonEnabled(state, id)) return std::nullopt;
  // The page may have changed under a pointer that has not moved since (a send that ends on
  // the Sent page leaves "Send" hovered where "Back" now is): only a button of the page in
  // view can be clicked.
  for (const Button& button : PageButtons(state)) {
    if (button.id == id) return id;
  }
  return std::nullopt;
}

void PointerLeft(Pointer& pointer) { pointer = Pointer{}; }

}  // namespace vantrel::ui
