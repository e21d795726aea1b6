// Play: the gateway check, then the game program from the game folder; every outcome ends
// in one headline and detail on the main page.
#include <new>
#include <string>
#include <vector>

#include "game/actions.h"
#include "game/command_line.h"
#include "game/gateways.h"
#include "game/outcomes.h"
#include "launcher/folder_chooser.h"
#include "launcher/worker.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/utf.h"

namespace vantrel {
namespace {

constexpr std::string_view kGatewayKey = "Software\\Battle.net\\Configuration";
constexpr std::string_view kGatewayValue = "Diablo II Battle.net Gateways";

struct PlayInputs {
  std::string game_folder;
  std::string program;
  std::string arguments;
  std::string realm_game_address;
  std::string realm_name;
  bool windowed = false;
};

PlayInputs CopyInputs(LauncherState& state) {
  PlayInputs inputs;
  os::LockGuard guard(state.lock);
  inputs.game_folder = state.game_folder.Copy();
  inputs.program = state.game_program.Copy();
  inputs.arguments = state.game_arguments.Copy();
  inputs.realm_game_address = state.realm_game_address.Copy();
  inputs.realm_name = state.realm_name.Copy();
  inputs.windowed = state.windowed;
  return inputs;
}

// An unreadable registry value counts as a missing gateway: the player is sent to the
// gateway file rather than shown a registry error.
GatewayCheck CheckGateways(std::string_view realm_game_address) {
  std::u16string units;
  if (os::ReadUserMultiString(kGatewayKey, kGatewayValue, &units) != os::kOk) return {};
  std::vector<std::string> strings;
  if (!SplitMultiString(units, &strings)) return {};
  return EvaluateGateways(strings, realm_game_address);
}

void WriteStatus(LauncherState& state, const StatusText& text, bool gateway_missing) {
  {
    os::LockGuard guard(state.lock);
    state.gateway_missing = gateway_missing;
    state.status_headline.Set(text.headline);
    state.status_detail.Set(text.detail);
  }
  Trace("ui", text.headline, text.detail);
}

// Windows error code of the start, 0 once the game process exists.
uint32_t StartGame(const PlayInputs& inputs, const std::string& argument_text) {
  const std::string program_path = ProgramPath(inputs.game_folder, inputs.program);
  const std::string command_line = CommandLine(program_path, argument_text);
  // Texts that can't become UTF-16 are reported as the system reports a failed conversion.
  if (!IsValidUtf8(program_path) || !IsValidUtf8(command_line) || !IsValidUtf8(inputs.game_folder) ||
      !IsValidUtf8(argument_text)) {
    return os::kErrorNotEnoughMemory;
  }
  const uint32_t first = os::StartProcess(program_path, command_line, inputs.game_folder);
  if (first == os::kOk) return os::kOk;
  // The shell can start what CreateProcess refuses, notably a program that needs elevation.
  uint32_t second = 0;
  if (os::ShellOpen(program_path, argument_text, inputs.game_folder, &second) > 32) return os::kOk;
  return ReportedStartError(first, second);
}

void RunPlay(WorkerContext& context) {
  LauncherState& state = *context.state;
  const PlayInputs inputs = CopyInputs(state);
  if (inputs.game_folder.empty()) {
    ChooseGameFolder(context);
    return;
  }
  GatewayCheck check;
  check.outcome = GatewayOutcome::kSelected;
  if (!inputs.realm_game_address.empty()) check = CheckGateways(inputs.realm_game_address);
  if (check.outcome == GatewayOutcome::kMissing) {
    WriteStatus(state, GatewayMissingStatus(), true);
    return;
  }
  const uint32_t code = StartGame(inputs, ArgumentText(inputs.arguments, inputs.windowed));
  WriteStatus(state,
              code == os::kOk ? StartedStatus(check, inputs.realm_name)
                              : NotStartedStatus(code, inputs.program, inputs.game_folder),
              false);
}

}  // namespace

void PlayAction(WorkerContext& context) {
  try {
    RunPlay(context);
  } catch (const std::bad_alloc&) {
    // Out of memory while copying or composing: the action ends without a message.
  }
}

}  // namespace vantrel
