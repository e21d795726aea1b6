#pragma once
// The signature step of a keyed launcher's update run: fetch the manifest's signature in the
// run's session, judge it against the stamped keys and the highest serial accepted so far,
// and keep a newly accepted serial in the settings folder, beside the ledgers.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "launcher/state.h"
#include "realm/http_client.h"
#include "sync/run_texts.h"

namespace vantrel {

std::string AcceptedSerialPath(std::string_view settings_folder);
// 0 when the file is missing, unreadable or not one decimal number.
uint64_t ReadAcceptedSerial(std::string_view settings_folder);
// Through a temporary file and a move, so a failed write leaves the previous value; silent.
void SaveAcceptedSerial(std::string_view settings_folder, uint64_t serial);

// Nothing for an unkeyed launcher, for a manifest answer that its own step reports (a failed
// fetch, a status other than 200) and for an accepted signature; otherwise the outcome the
// run finishes with. Runs before any field of the manifest is read.
std::optional<RunOutcome> CheckManifestSignature(WorkerContext& context, HttpSession& session,
                                                 const FetchResult& manifest_answer);

}  // namespace vantrel
