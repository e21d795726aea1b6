#include "launcher/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/debug_output.h"
#include "support/os.h"

namespace vantrel {
namespace {

std::mutex g_seen_lock;
std::vector<std::string> g_traces;
std::atomic<int> g_posts{0};

void RecordTrace(std::string_view line) {
  std::lock_guard<std::mutex> guard(g_seen_lock);
  g_traces.emplace_back(line);
}
void CountPost(os::WindowHandle, uint32_t message) {
  if (message == kStateChangedMessage) ++g_posts;
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> guard(g_seen_lock);
      g_traces.clear();
    }
    g_posts = 0;
    SetDebugHook(RecordTrace);
    os::SetPostHook(CountPost);
    context.state = &state;
  }
  void TearDown() override {
    SetDebugHook(nullptr);
    os::SetPostHook(nullptr);
  }
  bool WaitIdle() {
    for (int i = 0; i < 2000; ++i) {
      {
        os::LockGuard guard(state.lock);
        if (!state.busy) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  std::vector<std::string> Traces() {
    std::lock_guard<std::mutex> guard(g_seen_lock);
    return g_traces;
  }

  LauncherState state;
  WorkerContext context;
};

TEST_F(WorkerTest, NoticesStoreTraceAndPost) {
  state.gateway_missing = true;
  StatusNotice(context, "Checking your files", std::string(700, 'd'), 0.25f);
  EXPECT_FALSE(state.gateway_missing);
  EXPECT_EQ(state.status_detail.length, 600u);
  EXPECT_FLOAT_EQ(state.progress, 0.25f);
  state.busy = true;
  state.gateway_missing = true;
  FinishNotice(context, "Up to date", "3 files checked against the realm.", true);
  EXPECT_FALSE(state.busy);
  EXPECT_TRUE(state.ready);
  EXPECT_FALSE(state.gateway_missing);
  EXPECT_FLOAT_EQ(state.progress, -1.0f);
  EXPECT_EQ(context.last_check_line.View(), "Up to date. 3 files checked against the realm.");
  EXPECT_EQ(g_posts.load(), 2);
  const auto traces = Traces();
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[0], "[vantrel] status: Checking your files | " + std::string(600, 'd'));
  EXPECT_EQ(traces[1], "[vantrel] finish: Up to date | 3 files checked against the realm. | ready=1");
}

TEST_F(WorkerTest, OnlyTheUpdateRunWritesTheLastCheckLine) {
  context.job_kind = JobKind::kGather;
  FinishNotice(context, "Ready to send", "", false);
  EXPECT_TRUE(context.last_check_line.Empty());
  context.job_kind = JobKind::kUpdate;
  FinishNotice(context, std::string(400, 'h'), std::string(400, 'd'), false);
  EXPECT_EQ(context.last_check_line.length, 600u);
  EXPECT_EQ(Traces().back(), TraceLine("finish", std::string(400, 'h'), std::string(400, 'd'), 0));
}

TEST_F(WorkerTest, ReadyFalseDisablesPlayUntilAGoodRun) {
  FinishNotice(context, "The game isn't in that folder", "x", false);
  EXPECT_FALSE(ReadReady(state));
  FinishNotice(context, "Up to date", "0 files checked against the realm.", true);
  EXPECT_TRUE(ReadReady(state));
}

std::atomic<int> g_jobs_run{0};
std::atomic<bool> g_job_returned{false};
void CountingJob(WorkerContext& context) {
  ++g_jobs_run;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  StatusNotice(context, "Working", "", 0.5f);
  FinishNotice(context, "Done", "", ReadReady(*context.state));
  g_job_returned.store(true, std::memory_order_release);  // after the notice's trace and post
}

// Two threads press "Check files" as fast as they can while one job runs: exactly one job
// runs, the rest are dropped, and the busy flag ends clear.
TEST_F(WorkerTest, ConcurrentStartsRunExactlyOneJob) {
  g_jobs_run = 0;
  g_job_returned = false;
  context.run_job = CountingJob;
  std::atomic<int> started{0};
  std::atomic<bool> go{false};
  auto hammer = [&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) {
      if (StartWorker(context, JobKind::kUpdate)) ++started;
    }
  };
  std::thread a(hammer), b(hammer);
  go = true;
  a.join();
  b.join();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(started.load(), 1);
  EXPECT_EQ(g_jobs_run.load(), 1);
  EXPECT_EQ(state.status_headline.View(), "Done");
  // The worker still traces after clearing busy; wait until it is really done with us.
  for (int i = 0; i < 5000 && !g_job_returned.load(std::memory_order_acquire); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(g_job_returned.load(std::memory_order_acquire));
}

TEST_F(WorkerTest, CopyGameFolderIsAPrivateCopy) {
  state.game_folder.Set("C:\\Games");
  std::string copy = CopyGameFolder(state);
  state.game_folder.Set("D:\\Other");
  EXPECT_EQ(copy, "C:\\Games");
}

}  // namespace
}  // namespace vantrel
