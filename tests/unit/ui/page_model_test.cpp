#include "ui/page_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::ui {
namespace {

std::vector<uint8_t> Ids(const std::vector<Button>& buttons) {
  std::vector<uint8_t> ids;
  for (const Button& button : buttons) ids.push_back(button.id);
  return ids;
}

// The draw ops that paint one button: face, frame, [inner frame], label.
std::vector<DrawOp> ButtonOps(const std::vector<DrawOp>& ops, const Rect& rect) {
  std::vector<DrawOp> found;
  for (size_t i = 0; i < ops.size(); ++i) {
    if (ops[i].kind == DrawOp::Kind::kFill && ops[i].rect == rect) {
      found.push_back(ops[i]);
      for (size_t j = i + 1; j < ops.size() && found.size() < 4; ++j) {
        found.push_back(ops[j]);
        if (ops[j].kind == DrawOp::Kind::kText) break;
      }
      break;
    }
  }
  return found;
}

const DrawOp* FindText(const std::vector<DrawOp>& ops, const Rect& rect) {
  for (const DrawOp& op : ops) {
    if (op.kind == DrawOp::Kind::kText && op.rect == rect) return &op;
  }
  return nullptr;
}

const DrawOp* FindFill(const std::vector<DrawOp>& ops, Rgb colour) {
  for (const DrawOp& op : ops) {
    if (op.kind == DrawOp::Kind::kFill && op.colour == colour) return &op;
  }
  return nullptr;
}

class PageModel : public ::testing::Test {
 protected:
  void SetReport(std::vector<ReportEntry> entries, uint32_t dumps) {
    entries_ = std::move(entries);
    state_.report_entries = entries_.data();
    state_.report_entry_count = static_cast<uint32_t>(entries_.size());
    state_.crash_dump_count = dumps;
  }

  LauncherState state_;
  std::vector<ReportEntry> entries_;
};

TEST_F(PageModel, ButtonsOfEachPageInOrderWithTheirRectangles) {
  state_.game_folder.Set("C:\\Games\\D2");
  std::vector<Button> main = PageButtons(state_);
  EXPECT_EQ(Ids(main), (std::vector<uint8_t>{kPlay, kCheckFiles, kSendLogs, kSettings}));
  EXPECT_EQ(main[0].rect, (Rect{254, 394, 546, 440}));
  EXPECT_TRUE(main[0].primary);
  EXPECT_EQ(main[0].label, "Play");
  EXPECT_EQ(main[1].rect, (Rect{254, 452, 348, 480}));
  EXPECT_EQ(main[2].rect, (Rect{353, 452, 447, 480}));
  EXPECT_EQ(main[3].rect, (Rect{452, 452, 546, 480}));
  for (size_t i = 1; i < main.size(); ++i) EXPECT_FALSE(main[i].primary);

  state_.gateway_missing = true;
  main = PageButtons(state_);
  ASSERT_EQ(main.size(), 5u);
  EXPECT_EQ(main[4].id, kGatewayFile);
  EXPECT_EQ(main[4].label, "Get the gateway file");
  EXPECT_EQ(main[4].rect, (Rect{254, 488, 546, 516}));

  state_.page = Page::kSettings;
  const std::vector<Button> settings = PageButtons(state_);
  EXPECT_EQ(Ids(settings), (std::vector<uint8_t>{kChangeFolder, kWindowed, kRealmSite, kBack}));
  EXPECT_EQ(settings[0].rect, (Rect{254, 400, 546, 428}));
  EXPECT_EQ(settings[1].rect, (Rect{254, 436, 546, 464}));
  EXPECT_EQ(settings[2].rect, (Rect{254, 472, 546, 500}));
  EXPECT_EQ(settings[3].rect, (Rect{254, 516, 546, 544}));
  EXPECT_EQ(settings[2].label, "The realm's site");

  state_.page = Page::kSendLogs;
  SetReport({{"logs\\D2.log", "x", 0}}, 0);
  EXPECT_EQ(Ids(PageButtons(state_)), (std::vector<uint8_t>{kSend, kCancel}));
  SetReport({{"logs\\D2.log", "x", 0}, {"dumps\\a.dmp", "yy", 1}}, 1);
  const std::vector<Button> send = PageButtons(state_);
  EXPECT_EQ(Ids(send), (std::vector<uint8_t>{kCrashDumps, kSend, kCancel}));
  EXPECT_EQ(send[0].rect, (Rect{254, 368, 546, 392}));
  EXPECT_EQ(send[1].rect, (Rect{254, 516, 396, 544}));
  EXPECT_EQ(send[2].rect, (Rect{404, 516, 546, 544}));

  state_.page = Page::kSent;
  const std::vector<Button> sent = PageButtons(state_);
  EXPECT_EQ(Ids(sent), (std::vector<uint8_t>{kCopyLink, kOpenLink, kBack}));
  EXPECT_EQ(sent[0].rect, (Rect{254, 420, 546, 448}));
  EXPECT_EQ(sent[1].rect, (Rect{254, 456, 546, 484}));
  EXPECT_EQ(sent[2].rect, (Rect{254, 516, 546, 544}));
}

TEST_F(PageModel, PlayNeedsAFolderAndReadinessAndNoJob) {
  // No folder: the button chooses one, whatever the ready flag says.
  EXPECT_EQ(PageButtons(state_)[0].label, "Choose game folder");
  EXPECT_TRUE(ButtonEnabled(state_, kPlay));
  state_.game_folder.Set("C:\\Games\\D2");
  EXPECT_EQ(PageButtons(state_)[0].label, "Play");
  EXPECT_FALSE(ButtonEnabled(state_, kPlay));
  state_.ready = true;
  EXPECT_TRUE(ButtonEnabled(state_, kPlay));
  state_.busy = true;
  EXPECT_FALSE(ButtonEnabled(state_, kPlay));
  state_.game_folder.Clear();
  EXPECT_FALSE(ButtonEnabled(state_, kPlay));
}

TEST_F(PageModel, OnlyTheButtonsThatStartJobsWaitForTheWorker) {
  state_.busy = true;
  for (uint8_t id : {kCheckFiles, kSendLogs, kChangeFolder, kSend}) EXPECT_FALSE(ButtonEnabled(state_, id)) << int(id);
  for (uint8_t id :
       {kSettings, kRealmSite, kWindowed, kBack, kCrashDumps, kCancel, kCopyLink, kOpenLink, kGatewayFile}) {
    EXPECT_TRUE(ButtonEnabled(state_, id)) << int(id);
  }
  state_.busy = false;
  for (uint8_t id : {kCheckFiles, kSendLogs, kChangeFolder, kSend}) EXPECT_TRUE(ButtonEnabled(state_, id)) << int(id);
}

TEST_F(PageModel, Labels) {
  EXPECT_EQ(WindowedLabel(true), "Windowed: on");
  EXPECT_EQ(WindowedLabel(false), "Windowed: off");
  EXPECT_EQ(CrashDumpsLabel(true, 1536), "Crash dumps: included (1 KB)");
  EXPECT_EQ(CrashDumpsLabel(false, 1572864), "Crash dumps: left out (1.5 MB)");
  // The largest size still fits the 96-byte label, so the fallback never hides the size.
  EXPECT_EQ(CrashDumpsLabel(false, UINT64_MAX), "Crash dumps: left out (17592186044415.9 MB)");

  state_.page = Page::kSettings;
  state_.windowed = true;
  EXPECT_EQ(PageButtons(state_)[1].label, "Windowed: on");
  state_.page = Page::kSendLogs;
  SetReport({{"a.dmp", std::string(10, 'd'), 1}}, 1);
  state_.report_dump_size = 10;
  state_.include_crash_dumps = false;
  EXPECT_EQ(PageButtons(state_)[0].label, "Crash dumps: left out (10 bytes)");
}

TEST_F(PageModel, SendLogsSentenceCountsLogFilesOnly) {
  SetReport({{"D2.log", "abc", 0}}, 0);
  state_.report_text_size = 3;
  EXPECT_EQ(SendLogsSentence(state_), "1 log file (3 bytes) with your computer's name and addresses blanked out.");

  SetReport({{"D2.log", "", 0}, {"a.dmp", "", 1}, {"launcher.txt", "", 0}, {"b.dmp", "", 1}}, 2);
  state_.report_text_size = 2048;
  state_.include_crash_dumps = true;
  EXPECT_EQ(SendLogsSentence(state_),
            "2 log files (2 KB), names and addresses blanked out. Crash dumps go as they are.");
  state_.include_crash_dumps = false;
  EXPECT_EQ(SendLogsSentence(state_), "2 log files (2 KB), names and addresses blanked out. Crash dumps stay here.");

  SetReport({}, 0);
  state_.report_text_size = 0;
  EXPECT_EQ(SendLogsSentence(state_), "0 log files (0 bytes) with your computer's name and addresses blanked out.");
}

TEST_F(PageModel, FileNameListTakesLastComponentsAndSkipsLeftOutDumps) {
  SetReport({{"logs\\D2.log", "", 0}, {"WER/Report.wer", "", 0}, {"dumps\\crash.dmp", "", 1}, {"launcher.txt", "", 0}},
            1);
  state_.include_crash_dumps = true;
  EXPECT_EQ(ReportFileNames(state_), "D2.log, Report.wer, crash.dmp, launcher.txt");
  state_.include_crash_dumps = false;
  EXPECT_EQ(ReportFileNames(state_), "D2.log, Report.wer, launcher.txt");
}

TEST_F(PageModel, FileNameListStopsAtAWholeNameBefore598Bytes) {
  // 496 + ", " + 102 reaches 600 bytes: the separator is not counted in the limit.
  SetReport({{"a\\" + std::string(496, 'a'), "", 0}, {std::string(102, 'b'), "", 0}, {"c", "", 0}}, 0);
  std::string list = ReportFileNames(state_);
  EXPECT_EQ(list.size(), 600u);
  EXPECT_EQ(list, std::string(496, 'a') + ", " + std::string(102, 'b'));

  // One byte more and the second name is left out entirely, and so is everything after it.
  SetReport({{std::string(496, 'a'), "", 0}, {std::string(103, 'b'), "", 0}, {"c", "", 0}}, 0);
  EXPECT_EQ(ReportFileNames(state_), std::string(496, 'a'));

  std::vector<ReportEntry> many;
  for (int i = 0; i < 10; ++i) many.push_back({"x\\" + std::string(100, static_cast<char>('a' + i)), "", 0});
  SetReport(many, 0);
  list = ReportFileNames(state_);
  EXPECT_EQ(list.size(), 5u * 100 + 4 * 2);
  EXPECT_EQ(list.substr(list.size() - 100), std::string(100, 'e'));
}

TEST_F(PageModel, CaptionFallsBackBeyond120Bytes) {
  EXPECT_EQ(CaptionText(""), "Realm Launcher");
  EXPECT_EQ(CaptionText("Tristram & Co"), "Tristram & Co Launcher");
  const std::string longest(111, 'r');
  EXPECT_EQ(CaptionText(longest), longest + " Launcher");
  EXPECT_EQ(CaptionText(longest + "r"), "Vantrel Launcher");
}

TEST_F(PageModel, HitTestExcludesRightAndBottomEdges) {
  state_.game_folder.Set("C:\\D2");
  const std::vector<Button> buttons = PageButtons(state_);
  struct Probe {
    int32_t x, y;
    bool hovered;
    uint8_t id;
  };
  const Probe probes[] = {
      {254, 394, true, kPlay}, {545, 439, true, kPlay},     {546, 400, false, 0},
      {300, 440, false, 0},    {253, 400, false, 0},        {347, 479, true, kCheckFiles},
      {348, 460, false, 0},    {353, 452, true, kSendLogs}, {-5, -5, false, 0},
  };
  for (const Probe& probe : probes) {
    Pointer pointer;
    PointerMoved(pointer, buttons, probe.x, probe.y);
    EXPECT_EQ(pointer.hover, probe.hovered) << probe.x << "," << probe.y;
    if (probe.hovered) {
      EXPECT_EQ(pointer.hover_id, probe.id) << probe.x << "," << probe.y;
    }
  }
}

TEST_F(PageModel, PointerRepaintsOnlyWhenTheHoverChanges) {
  const std::vector<Button> buttons = PageButtons(state_);
  Pointer pointer;
  EXPECT_FALSE(PointerMoved(pointer, buttons, 10, 10));    // nothing to nothing
  EXPECT_TRUE(PointerMoved(pointer, buttons, 300, 400));   // onto Play
  EXPECT_FALSE(PointerMoved(pointer, buttons, 500, 430));  // within Play
  EXPECT_TRUE(PointerMoved(pointer, buttons, 300, 460));   // Play to Check files
  EXPECT_EQ(pointer.hover_id, kCheckFiles);
  EXPECT_TRUE(PointerMoved(pointer, buttons, 300, 445));  // off, into the gap
  EXPECT_FALSE(pointer.hover);
  EXPECT_EQ(pointer.hover_id, 0);
}

TEST_F(PageModel, ClickNeedsPressAndReleaseOverTheSameEnabledButton) {
  state_.game_folder.Set("C:\\D2");
  const std::vector<Button> buttons = PageButtons(state_);
  Pointer pointer;

  PointerMoved(pointer, buttons, 300, 460);
  PointerDown(pointer);
  EXPECT_EQ(PointerUp(pointer, state_), std::optional<uint8_t>(kCheckFiles));
  EXPECT_FALSE(pointer.press);

  // Released over another button.
  PointerDown(pointer);
  PointerMoved(pointer, buttons, 400, 460);
  EXPECT_EQ(PointerUp(pointer, state_), std::nullopt);

  // The button became disabled between press and release.
  PointerMoved(pointer, buttons, 300, 460);
  PointerDown(pointer);
  state_.busy = true;
  EXPECT_EQ(PointerUp(pointer, state_), std::nullopt);

  // A release without a press, and a press outside every button.
  EXPECT_EQ(PointerUp(pointer, state_), std::nullopt);
  PointerMoved(pointer, buttons, 10, 10);
  PointerDown(pointer);
  PointerMoved(pointer, buttons, 500, 470);
  EXPECT_EQ(PointerUp(pointer, state_), std::nullopt);

  // Leaving the window forgets the press.
  state_.busy = false;
  PointerMoved(pointer, buttons, 500, 470);
  PointerDown(pointer);
  pointer.tracking = true;
  PointerLeft(pointer);
  EXPECT_FALSE(pointer.press);
  EXPECT_FALSE(pointer.hover);
  EXPECT_FALSE(pointer.tracking);
  PointerMoved(pointer, buttons, 500, 470);
  EXPECT_EQ(PointerUp(pointer, state_), std::nullopt);
}

TEST_F(PageModel, AButtonOfAPageNoLongerInViewIsNotClicked) {
  // "Send" pressed and released without moving while the send ends and the Sent page comes
  // up: "Back" is under the pointer, and the report must not be sent again.
  state_.page = Page::kSendLogs;
  Pointer pointer;
  PointerMoved(pointer, PageButtons(state_), 300, 530);
  ASSERT_EQ(pointer.hover_id, kSend);
  PointerDown(pointer);
  state_.page = Page::kSent;
  EXPECT_EQ(PointerUp(pointer, state_), std::nullopt);

  // Once the pointer moves, the hover follows the new page.
  EXPECT_TRUE(PointerMoved(pointer, PageButtons(state_), 301, 530));
  PointerDown(pointer);
  EXPECT_EQ(PointerUp(pointer, state_), std::optional<uint8_t>(kBack));
}

TEST_F(PageModel, ButtonColoursFollowHoverPressAndEnabled) {
  state_.game_folder.Set("C:\\D2");  // Play disabled: not ready
  const Rect check{254, 452, 348, 480};
  const Rect play{254, 394, 546, 440};
  Pointer pointer;

  std::vector<DrawOp> ops = ButtonOps(FrameOps(state_, pointer), check);
  ASSERT_EQ(ops.size(), 3u);
  EXPECT_EQ(ops[0].colour, colour::kButtonFace);
  EXPECT_EQ(ops[1].kind, DrawOp::Kind::kFrame);
  EXPECT_EQ(ops[1].colour, colour::kOuterFrame);
  EXPECT_EQ(ops[2].text, "Check files");
  EXPECT_EQ(ops[2].colour, colour::kButtonText);
  EXPECT_EQ(ops[2].font, Font::kButton);
  EXPECT_EQ(ops[2].format, kCentredVCentredSingle);

  // Hovered: lit face; hovered and pressed: the plain face under the lit frame and text.
  pointer.hover = true;
  pointer.hover_id = kCheckFiles;
  for (bool pressed : {false, true}) {
    pointer.press = pressed;
    pointer.press_id = pressed ? kCheckFiles : 0;
    ops = ButtonOps(FrameOps(state_, pointer), check);
    ASSERT_EQ(ops.size(), 3u);
    EXPECT_EQ(ops[0].colour, pressed ? colour::kButtonFace : colour::kHoveredFace);
    EXPECT_EQ(ops[1].colour, colour::kButtonText);
    EXPECT_EQ(ops[2].colour, colour::kTitle);
  }

  // Disabled and hovered: drawn idle, with the disabled text colour.
  pointer = Pointer{};
  pointer.hover = true;
  pointer.hover_id = kPlay;
  ops = ButtonOps(FrameOps(state_, pointer), play);
  ASSERT_EQ(ops.size(), 4u);
  EXPECT_EQ(ops[0].colour, colour::kButtonFace);
  EXPECT_EQ(ops[1].colour, colour::kOuterFrame);
  EXPECT_EQ(ops[2].kind, DrawOp::Kind::kFrame);
  EXPECT_EQ(ops[2].rect, (Rect{257, 397, 543, 437}));
  EXPECT_EQ(ops[2].colour, colour::kInnerFrame);
  EXPECT_EQ(ops[3].colour, colour::kDisabledText);
  EXPECT_EQ(ops[3].font, Font::kPrimaryButton);

  state_.ready = true;
  ops = ButtonOps(FrameOps(state_, pointer), play);
  EXPECT_EQ(ops[0].colour, colour::kHoveredFace);
  EXPECT_EQ(ops[1].colour, colour::kButtonText);
  EXPECT_EQ(ops[2].colour, colour::kOuterFrame);
  EXPECT_EQ(ops[3].colour, colour::kTitle);
}

TEST_F(PageModel, FrameStartsWithThePanelAndEndsWithTheFooter) {
  state_.launcher_line.Set("Launcher 0123abcd for http://127.0.0.1");
  const std::vector<DrawOp> ops = FrameOps(state_, Pointer{});
  ASSERT_GE(ops.size(), 3u);
  EXPECT_EQ(ops[0].kind, DrawOp::Kind::kFrame);
  EXPECT_EQ(ops[0].rect, (Rect{232, 262, 568, 560}));
  EXPECT_EQ(ops[0].colour, colour::kOuterFrame);
  EXPECT_EQ(ops[1].rect, (Rect{236, 266, 564, 556}));
  EXPECT_EQ(ops[1].colour, colour::kInnerFrame);
  const DrawOp& footer = ops.back();
  EXPECT_EQ(footer.text, "Launcher 0123abcd for http://127.0.0.1");
  EXPECT_EQ(footer.rect, (Rect{10, 578, 400, 594}));
  EXPECT_EQ(footer.colour, colour::kFooter);
  EXPECT_EQ(footer.format, kLeftSingle);
}

TEST_F(PageModel, ProgressBarWidthIsClampedAndTruncated) {
  const Rect trough{254, 346, 546, 354};
  struct Case {
    float progress;
    int32_t width;
  };
  for (const Case& c : {Case{0.0f, 0}, Case{0.5f, 145}, Case{0.999f, 289}, Case{1.0f, 290}, Case{7.5f, 290}}) {
    state_.progress = c.progress;
    const std::vector<DrawOp> ops = FrameOps(state_, Pointer{});
    const DrawOp* bar = FindFill(ops, colour::kBar);
    ASSERT_NE(bar, nullptr) << c.progress;
    EXPECT_EQ(bar->rect, (Rect{255, 347, 255 + c.width, 353})) << c.progress;
    const DrawOp* fill = FindFill(ops, colour::kTrough);
    ASSERT_NE(fill, nullptr);
    EXPECT_EQ(fill->rect, trough);
    EXPECT_LT(fill, bar);
    // The trough's frame comes after the bar.
    bool framed = false;
    for (const DrawOp* op = bar; op != ops.data() + ops.size(); ++op) {
      framed |= op->kind == DrawOp::Kind::kFrame && op->rect == trough && op->colour == colour::kOuterFrame;
    }
    EXPECT_TRUE(framed);
  }
  state_.progress = -0.25f;
  const std::vector<DrawOp> ops = FrameOps(state_, Pointer{});
  EXPECT_EQ(FindFill(ops, colour::kBar), nullptr);
  EXPECT_EQ(FindFill(ops, colour::kTrough), nullptr);
}

TEST_F(PageModel, ChangedAreaCoversOnlyTheOpsThatDiffer) {
  state_.game_folder.Set("C:\\Games\\D2");
  state_.status_detail.Set("part01.mpq: 4.0 MB of 16.0 MB");
  state_.progress = 0.25f;
  const std::vector<DrawOp> before = FrameOps(state_, Pointer{});
  EXPECT_EQ(ChangedArea(before, before), (Rect{0, 0, 0, 0}));

  // A progress notice: the bar and the detail line below it, nothing of the title or buttons.
  state_.status_detail.Set("part01.mpq: 8.0 MB of 16.0 MB");
  state_.progress = 0.5f;
  const std::vector<DrawOp> progressed = FrameOps(state_, Pointer{});
  EXPECT_EQ(ChangedArea(before, progressed), (Rect{250, 347, 550, 390}));

  // A button that comes moves the news and the ops after it: the new button and the footer
  // (whose op now sits at another place in the list) are both covered.
  state_.gateway_missing = true;
  const std::vector<DrawOp> longer = FrameOps(state_, Pointer{});
  EXPECT_EQ(ChangedArea(progressed, longer), (Rect{10, 488, 550, 594}));
  EXPECT_EQ(ChangedArea(longer, progressed), (Rect{10, 488, 550, 594}));
}

TEST_F(PageModel, MainPageTexts) {
  state_.status_headline.Set("Up to date");
  state_.news.Set("Ladder reset on Friday");
  std::vector<DrawOp> ops = FrameOps(state_, Pointer{});
  const DrawOp* title = FindText(ops, {250, 276, 550, 310});
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->text, "Realm");
  EXPECT_EQ(title->font, Font::kTitle);
  EXPECT_EQ(title->format, kCentredVCentredSingleEllipsis);
  const DrawOp* headline = FindText(ops, {250, 316, 550, 338});
  ASSERT_NE(headline, nullptr);
  EXPECT_EQ(headline->text, "Up to date");
  const DrawOp* news = FindText(ops, {250, 490, 550, 552});
  ASSERT_NE(news, nullptr);
  EXPECT_EQ(news->text, "Ladder reset on Friday");
  EXPECT_EQ(news->colour, colour::kButtonText);

  // The gateway button pushes the news down by 32 pixels.
  state_.gateway_missing = true;
  state_.realm_name.Set("Tristram");
  ops = FrameOps(state_, Pointer{});
  EXPECT_EQ(FindText(ops, {250, 490, 550, 552}), nullptr);
  ASSERT_NE(FindText(ops, {250, 522, 550, 552}), nullptr);
  EXPECT_EQ(FindText(ops, {250, 276, 550, 310})->text, "Tristram");
}

TEST_F(PageModel, OnlyTheMainPageShowsTheStatus) {
  state_.status_headline.Set("The link is copied");
  for (Page page : {Page::kSettings, Page::kSendLogs, Page::kSent}) {
    state_.page = page;
    for (const DrawOp& op : FrameOps(state_, Pointer{})) EXPECT_NE(op.text, "The link is copied") << int(page);
  }
  state_.page = Page::kSettings;
  std::vector<DrawOp> ops = FrameOps(state_, Pointer{});
  EXPECT_EQ(FindText(ops, {250, 338, 550, 394})->text, "not chosen yet");
  EXPECT_EQ(FindText(ops, {250, 338, 550, 394})->format, kCentredWrapPathEllipsis);
  state_.page = Page::kSent;
  state_.report_link.Set("http://127.0.0.1/r/abc");
  ops = FrameOps(state_, Pointer{});
  EXPECT_EQ(FindText(ops, {250, 358, 550, 414})->text, "http://127.0.0.1/r/abc");
  EXPECT_EQ(FindText(ops, {250, 358, 550, 414})->format, kCentredWrapEditBreak);
}

TEST(DrawableText, DrawsTheFirst600BytesLeavingOffACharacterCutThere) {
  std::u16string wide;
  ASSERT_TRUE(DrawableText("Tristram & Co", &wide));
  EXPECT_EQ(wide, u"Tristram & Co");
  ASSERT_TRUE(DrawableText(std::string(700, 'a'), &wide));
  EXPECT_EQ(wide.size(), 600u);

  const std::string euro = "\xE2\x82\xAC";
  const std::string grin = "\xF0\x9F\x98\x80";
  struct Case {
    std::string text;
    std::u16string drawn;
  };
  const Case cases[] = {
      {std::string(599, 'a') + euro, std::u16string(599, u'a')},                    // cut after the lead byte
      {std::string(598, 'a') + euro + "b", std::u16string(598, u'a')},              // cut inside
      {std::string(597, 'a') + euro + "b", std::u16string(597, u'a') + u"\u20AC"},  // whole at the end
      {std::string(596, 'a') + grin, std::u16string(596, u'a') + u"\U0001F600"},
      {std::string(597, 'a') + grin, std::u16string(597, u'a')},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(DrawableText(c.text, &wide)) << c.text.size();
    EXPECT_EQ(wide, c.drawn) << c.text.size();
  }
}

TEST(DrawableText, InvalidUtf8DrawsNothing) {
  std::u16string wide;
  EXPECT_FALSE(DrawableText("ab\xE2\x82", &wide));  // broken, but not by the 600-byte cut
  EXPECT_FALSE(DrawableText(std::string(300, 'a') + "\xFF" + std::string(400, 'a'), &wide));
  EXPECT_FALSE(DrawableText("\xED\xA0\x80", &wide));  // an encoded surrogate
  EXPECT_FALSE(DrawableText("\xC0\xAF", &wide));      // overlong
  EXPECT_FALSE(DrawableText(std::string(599, 'a') + "\xFF", &wide));
}

}  // namespace
}  // namespace vantrel::ui
