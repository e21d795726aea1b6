#include "ui/actions.h"

#include "game/actions.h"
#include "launcher/folder_chooser.h"
#include "launcher/settings.h"
#include "launcher/worker.h"
#include "ui/page_model.h"

namespace vantrel::ui {

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
      {
        os::LockGuard guard(state.lock);
        state.windowed = !state.windowed;
      }
      SaveSettings(state, SettingsFilePath(context.settings_folder));
      break;
    case kBack:
    case kCancel: SetPage(context, host, Page::kMain); break;
    case kCrashDumps: {
      os::LockGuard guard(state.lock);
      state.include_crash_dumps = !state.include_crash_dumps;
      break;
    }
    case kSend: {
      std::string account, note;
      host.ReadEditFields(&account, &note);
      context.account.Set(account);
      context.note.Set(note);
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
