#include "ui/actions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "launcher/worker.h"
#include "test_support.h"
#include "ui/page_model.h"

namespace vantrel::ui {
namespace {

class FakeHost : public UiHost {
 public:
  void HideEditFields() override { ++hides; }
  void Invalidate() override { ++invalidations; }
  void ReadEditFields(std::string* account_out, std::string* note_out) override {
    *account_out = account;
    *note_out = note;
  }

  int hides = 0;
  int invalidations = 0;
  std::string account;
  std::string note;
};

// What the worker saw when a click started a job.
struct JobRecord {
  std::mutex mutex;
  std::condition_variable done;
  int runs = 0;
  JobKind kind = JobKind::kUpdate;
  std::string account;
  std::string note;
};
JobRecord g_job;

void RecordJob(WorkerContext& context) {
  const JobKind kind = context.job_kind;
  const std::string account = context.account.Copy();
  const std::string note = context.note.Copy();
  FinishNotice(context, "Done", "", false);
  // Counted only after the last touch of the context, so the test may end at once.
  {
    std::lock_guard<std::mutex> guard(g_job.mutex);
    ++g_job.runs;
    g_job.kind = kind;
    g_job.account = account;
    g_job.note = note;
    // Under the lock, so the test cannot go on (and end) before this thread is done with it.
    g_job.done.notify_all();
  }
}

class Actions : public ::testing::Test {
 protected:
  void SetUp() override {
    context_.state = &state_;
    context_.settings_folder = folder_.path();
    context_.run_job = RecordJob;
    std::lock_guard<std::mutex> guard(g_job.mutex);
    g_job.runs = 0;
  }

  bool WaitForJob() {
    std::unique_lock<std::mutex> lock(g_job.mutex);
    return g_job.done.wait_for(lock, std::chrono::seconds(10), [] { return g_job.runs > 0; });
  }

  testing::TempDir folder_;
  LauncherState state_;
  WorkerContext context_;
  FakeHost host_;
};

TEST_F(Actions, PageButtonsChangeThePageHideTheFieldsAndRepaint) {
  RunClick(kSettings, context_, host_);
  EXPECT_EQ(state_.page, Page::kSettings);
  EXPECT_EQ(host_.hides, 1);
  EXPECT_GE(host_.invalidations, 1);
  RunClick(kBack, context_, host_);
  EXPECT_EQ(state_.page, Page::kMain);

  // Leaving the Send logs page keeps the report: only the page changes.
  state_.page = Page::kSendLogs;
  state_.busy = true;
  RunClick(kCancel, context_, host_);
  EXPECT_EQ(state_.page, Page::kMain);
  EXPECT_TRUE(state_.busy);
  EXPECT_EQ(host_.hides, 3);
}

TEST_F(Actions, WindowedTogglesAndSavesTheSettingsFile) {
  state_.game_folder.Set("C:\\Games\\Diablo II");
  RunClick(kWindowed, context_, host_);
  EXPECT_TRUE(state_.windowed);
  EXPECT_EQ(testing::ReadFile(folder_ / "settings.txt"), "game_dir=C:\\Games\\Diablo II\r\nwindowed=1\r\n");
  RunClick(kWindowed, context_, host_);
  EXPECT_FALSE(state_.windowed);
  EXPECT_EQ(testing::ReadFile(folder_ / "settings.txt"), "game_dir=C:\\Games\\Diablo II\r\nwindowed=0\r\n");
  EXPECT_EQ(host_.invalidations, 2);
}

TEST_F(Actions, WindowedStillTogglesWhenTheSettingsCannotBeSaved) {
  context_.settings_folder = folder_ / "missing/deeper";
  RunClick(kWindowed, context_, host_);
  EXPECT_TRUE(state_.windowed);
  EXPECT_EQ(testing::ReadFile(folder_ / "missing/deeper/settings.txt"), "");
}

TEST_F(Actions, CrashDumpsButtonTogglesTheFlag) {
  state_.include_crash_dumps = true;
  RunClick(kCrashDumps, context_, host_);
  EXPECT_FALSE(state_.include_crash_dumps);
  RunClick(kCrashDumps, context_, host_);
  EXPECT_TRUE(state_.include_crash_dumps);
}

TEST_F(Actions, SendCopiesTheFieldsAndStartsTheUpload) {
  host_.account = "Marius";
  host_.note = "Crashed in Act 2\r\nagain";
  RunClick(kSend, context_, host_);
  ASSERT_TRUE(WaitForJob());
  std::lock_guard<std::mutex> guard(g_job.mutex);
  EXPECT_EQ(g_job.runs, 1);
  EXPECT_EQ(g_job.kind, JobKind::kUpload);
  EXPECT_EQ(g_job.account, "Marius");
  EXPECT_EQ(g_job.note, "Crashed in Act 2\r\nagain");
}

TEST_F(Actions, SendCutsLongFieldsBeforeAHalfCharacter) {
  // 1 + 200 * 3 bytes: a plain 600-byte cut would split the last euro sign.
  std::string note = "a";
  for (int i = 0; i < 200; ++i) note += "\xE2\x82\xAC";
  host_.note = note;
  host_.account = std::string(300, 'x') + std::string(300, 'y') + "z";
  RunClick(kSend, context_, host_);
  ASSERT_TRUE(WaitForJob());
  std::lock_guard<std::mutex> guard(g_job.mutex);
  EXPECT_EQ(g_job.note, note.substr(0, 598));
  EXPECT_EQ(g_job.account, std::string(300, 'x') + std::string(300, 'y'));
}

TEST_F(Actions, JobButtonsStartTheirJobOnlyWhenIdle) {
  RunClick(kCheckFiles, context_, host_);
  ASSERT_TRUE(WaitForJob());
  {
    std::lock_guard<std::mutex> guard(g_job.mutex);
    EXPECT_EQ(g_job.kind, JobKind::kUpdate);
    g_job.runs = 0;
  }
  RunClick(kSendLogs, context_, host_);
  ASSERT_TRUE(WaitForJob());
  {
    std::lock_guard<std::mutex> guard(g_job.mutex);
    EXPECT_EQ(g_job.kind, JobKind::kGather);
    g_job.runs = 0;
  }

  // While a job runs the request is dropped.
  state_.busy = true;
  RunClick(kCheckFiles, context_, host_);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::lock_guard<std::mutex> guard(g_job.mutex);
  EXPECT_EQ(g_job.runs, 0);
}

}  // namespace
}  // namespace vantrel::ui
