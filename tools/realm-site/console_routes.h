#pragma once
// The operator's console under /reports, answered once the token has been checked:
// /reports, /reports/groups.json, /reports/group/<id> and /reports/group/<id>.json, with the
// filters file_set, launcher, days, q and page from the query.
#include <string>

#include "realm-site/realm_config.h"
#include "realm-site/report_index.h"
#include "realm-site/serving.h"

namespace vantrel::site {

// `path` is "/reports", "/reports/groups.json" or under "/reports/group/".
Answer ConsoleAnswer(const ReportIndex& index, const RealmConfig& config, const Request& request);

// The headers every console answer carries, refusals included.
Answer WithConsolePolicy(Answer answer);
Answer ConsoleHtml(std::string page);

}  // namespace vantrel::site
