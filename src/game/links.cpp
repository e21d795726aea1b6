// The buttons that hand an address to the browser or the report link to the clipboard.
#include <new>
#include <string>

#include "game/actions.h"
#include "game/outcomes.h"
#include "launcher/worker.h"
#include "support/clipboard.h"
#include "support/process.h"
#include "support/text.h"

namespace vantrel {
namespace {

// The shell's "open" verb runs whatever it is given; only web addresses go to it.
bool IsWebAddress(std::string_view address) {
  return StartsWithNoCase(address, "http://") || StartsWithNoCase(address, "https://");
}

void OpenAddress(std::string_view address) {
  if (!IsWebAddress(address)) return;
  os::ShellOpen(address, {}, {});
}

std::string CopyField(LauncherState& state, const FixedText LauncherState::*field) {
  os::LockGuard guard(state.lock);
  return (state.*field).Copy();
}

}  // namespace

void GetGatewayFile(WorkerContext& context) {
  try {
    LauncherState& state = *context.state;
    OpenAddress(GatewayFileAddress(context.realm_address));
    StatusText text = GatewayFileStatus(CopyField(state, &LauncherState::realm_name));
    {
      os::LockGuard guard(state.lock);
      state.status_headline.Set(text.headline);
      state.status_detail.Set(text.detail);
    }
    Trace("ui", text.headline, text.detail);
  } catch (const std::bad_alloc&) {
    // Only the repaint happens.
  }
}

void OpenRealmSite(WorkerContext& context) { OpenAddress(context.realm_address); }

void CopyReportLink(WorkerContext& context) {
  LauncherState& state = *context.state;
  std::string link;
  try {
    link = CopyField(state, &LauncherState::report_link);
  } catch (const std::bad_alloc&) {
    link.clear();
  }
  const bool copied = os::SetClipboardText(context.window, link) == os::kOk;
  try {
    StatusText text;
    if (!copied) text = LinkNotCopiedStatus(link);
    {
      os::LockGuard guard(state.lock);
      if (copied) {
        // The detail stays as it was; only the headline says what happened.
        state.status_headline.Set(kLinkCopiedHeadline);
        text.headline = kLinkCopiedHeadline;
        text.detail = state.status_detail.Copy();
      } else {
        state.status_headline.Set(text.headline);
        state.status_detail.Set(text.detail);
      }
    }
    Trace("ui", text.headline, text.detail);
  } catch (const std::bad_alloc&) {
    // The status is left as it was.
  }
}

void OpenReportLink(WorkerContext& context) {
  try {
    OpenAddress(CopyField(*context.state, &LauncherState::report_link));
  } catch (const std::bad_alloc&) {
    // Nothing to open.
  }
}

}  // namespace vantrel
