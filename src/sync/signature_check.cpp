#include "sync/signature_check.h"

#include <ctime>

#include "realm/manifest_signature.h"
#include "support/os.h"
#include "support/text.h"

namespace vantrel {
namespace {

constexpr uint64_t kSerialFileLimit = 64;

uint64_t PlayerClock() {
  const std::time_t now = std::time(nullptr);
  return now < 0 ? 0 : static_cast<uint64_t>(now);
}

}  // namespace

std::string AcceptedSerialPath(std::string_view settings_folder) {
  return std::string(settings_folder) + "\\manifest-serial.txt";
}

uint64_t ReadAcceptedSerial(std::string_view settings_folder) {
  std::string content;
  uint64_t serial = 0;
  if (os::ReadWholeFile(AcceptedSerialPath(settings_folder), kSerialFileLimit, &content) != os::kOk ||
      !ParseU64(TrimChars(content, " \t\r\n"), &serial)) {
    return 0;
  }
  return serial;
}

void SaveAcceptedSerial(std::string_view settings_folder, uint64_t serial) {
  os::ReplaceWholeFile(AcceptedSerialPath(settings_folder), Decimal(serial) + "\r\n");
}

std::optional<RunOutcome> CheckManifestSignature(WorkerContext& context, HttpSession& session,
                                                 const FetchResult& manifest_answer) {
  if (!context.realm_keys.stamped) return std::nullopt;
  if (manifest_answer.error != HttpError::kNone || manifest_answer.status != 200) return std::nullopt;

  const FetchResult answer =
      Fetch(session, "GET", context.realm_address + kManifestSignaturePath, {}, {}, kManifestSignatureLimit);
  // The realm couldn't be reached for the signature: the same words as for the manifest. An
  // oversized answer is no signature of ours and is judged as unreadable.
  if (answer.error != HttpError::kNone && answer.error != HttpError::kTooLarge) {
    return SignatureUnreachableOutcome(answer.error);
  }
  const uint64_t highest = ReadAcceptedSerial(context.settings_folder);
  const SignatureJudgement judgement =
      JudgeManifestSignature(context.realm_keys.keys, answer, manifest_answer.body, highest, PlayerClock());
  if (judgement.verdict != SignatureVerdict::kAccepted) return SignatureRefusedOutcome(judgement.verdict);
  if (judgement.serial > highest) SaveAcceptedSerial(context.settings_folder, judgement.serial);
  return std::nullopt;
}

}  // namespace vantrel
