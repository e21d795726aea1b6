#include "ui/actions.h"

#include "game/actions.h"
#include "launcher/folder_chooser.h"
#include "launcher/settings.h"
#include "launcher/worker.h"
#include "ui/page_model.h"

namespace vantrel::ui {
namespace {

// The typed texts are kept to 600 bytes; the cut falls before a character that would not fit
// whole, so the report never carries half a character.
std::string_view WholeCharacters(std::string_view text, size_t capacity) {
  if (text.size() <= capacity) return text;
  size_t end = capacity;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

void Toggle(LauncherState& state, bool LauncherState::*flag) {
  os::LockGuard guard(state.lock);
  state.*flag = !(state.*flag);
}

}  // namespace

void SetPage(WorkerContext& context, UiHost& host, Page page) {
  {
    os::LockGuard guard(context.state->lock);
    context.state->page = page;
  }
  host.HideEditFields();
  host.Invalidate();
}

void RunClick(uint8_t id, WorkerContext& context, UiHost& host) {
  LauncherState& state = *context.state;
  switch (id) {
    case kPlay: {
      bool no_folder;
      {
        os::LockGuard guard(state.lock);
        no_folder = state.game_folder.Empty();
      }
      if (no_folder) {
        ChooseGameFolder(context);
      } else {
        PlayAction(context);
      }
      break;
    }
    case kCheckFiles: StartWorker(context, JobKind::kUpdate); break;
    case kSendLogs: StartWorker(context, JobKind::kGather); break;
    case kSettings: SetPage(context, host, Page::kSettings); break;
    case kRealmSite: OpenRealmSite(context); break;
    case kChangeFolder: ChooseGameFolder(context); break;
    case kWindowed:
      Toggle(state, &LauncherState::windowed);
      SaveSettings(state, SettingsFilePath(context.settings_folder));
      break;
    case kBack:
    case kCancel: SetPage(context, host, Page::kMain); break;
    case kCrashDumps: Toggle(state, &LauncherState::include_crash_dumps); break;
    case kSend: {
      std::string account, note;
      host.ReadEditFields(&account, &note);
      context.account.Set(WholeCharacters(account, kFixedTextCapacity));
      context.note.Set(WholeCharacters(note, kFixedTextCapacity));
      StartWorker(context, JobKind::kUpload);
      break;
    }
    case kCopyLink: CopyReportLink(context); break;
    case kOpenLink: OpenReportLink(context); break;
    case kGatewayFile: GetGatewayFile(context); break;
    default: break;
  }
  host.Invalidate();
}

}  // namespace vantrel::ui
