#pragma once
// The two process-wide records shared by the window thread and the worker: the Launcher
// state (every field guarded by its one lock) and the Worker context (unlocked: each field
// has one writer at a time).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/fixed_text.h"
#include "support/minisign.h"
#include "support/os.h"

namespace vantrel {

inline constexpr uint32_t kStateChangedMessage = 0x8001;  // WM_APP + 1
inline constexpr uint32_t kQuitMessage = 0x8002;          // WM_APP + 2

enum class JobKind : uint8_t { kUpdate = 0, kGather = 1, kUpload = 2 };

enum class Page : uint8_t { kMain = 0, kSettings = 1, kSendLogs = 2, kSent = 3 };

// One file of a gathered log report: final archive name, final content.
struct ReportEntry {
  std::string name;
  std::string content;
  uint8_t is_crash_dump = 0;
};

// Owns every entry of one gathered report; the Launcher state only points into it.
struct ReportArena {
  std::vector<ReportEntry> entries;
};

struct LauncherState {
  uint64_t report_text_size = 0;
  uint64_t report_dump_size = 0;
  os::Lock lock;
  FixedText realm_name;
  FixedText status_headline;
  FixedText status_detail;
  FixedText news;
  FixedText report_link;
  FixedText game_folder;
  FixedText game_program;
  FixedText game_arguments;
  FixedText realm_game_address;
  FixedText launcher_line;
  float progress = -1.0f;
  const ReportEntry* report_entries = nullptr;
  uint32_t report_entry_count = 0;
  uint32_t crash_dump_count = 0;
  Page page = Page::kMain;
  bool busy = false;
  bool ready = false;
  bool gateway_missing = false;
  bool windowed = false;
  bool include_crash_dumps = true;
};

// The realm's public keys stamped beside its address. A stamped launcher believes no manifest
// whose signature none of its keys verifies; `stamped` stays true even when a stamped key
// can't be read, so a damaged slot never turns signature checks off.
struct RealmKeys {
  bool stamped = false;
  std::vector<MinisignKey> keys;
};

struct WorkerContext;
using JobRunner = void (*)(WorkerContext& context);

struct WorkerContext {
  LauncherState* state = nullptr;
  os::WindowHandle window = nullptr;
  std::string realm_address;    // empty when the build carries no valid address
  std::string settings_folder;  // holds settings.txt and the ledgers
  std::string own_path;
  RealmKeys realm_keys;  // not stamped: manifests are taken unsigned, as before keys existed
  std::vector<std::string> computer_names;
  std::vector<std::string> user_names;
  std::unique_ptr<ReportArena> report_arena;  // present while a gathered report is kept
  FixedText account;
  FixedText note;
  FixedText file_set;
  FixedText last_check_line;
  bool started_after_update = false;
  JobKind job_kind = JobKind::kUpdate;
  JobRunner run_job = nullptr;  // runs the job named by job_kind on the worker thread
};

}  // namespace vantrel
