#include "realm-site/console_routes.h"

#include <ctime>

#include "realm-site/console_pages.h"
#include "support/text.h"

namespace vantrel::site {
namespace {

constexpr size_t kMaxQueryText = 200;

Answer ConsoleJson(std::string body) {
  Answer answer;
  answer.content_type = "application/json";
  answer.body = std::move(body);
  return WithConsolePolicy(std::move(answer));
}

// A number parameter: absent gives `absent`; anything but digits is refused.
bool NumberParameter(const Request& request, const char* name, uint32_t absent, uint32_t* value) {
  const std::string text = request.Query(name);
  if (text.empty()) {
    *value = absent;
    return true;
  }
  return ParseU32(text, value);
}

bool ReadFilter(const Request& request, ConsoleFilter* filter) {
  filter->file_set = request.Query("file_set").substr(0, kMaxQueryText);
  filter->launcher = request.Query("launcher").substr(0, kMaxQueryText);
  filter->query = request.Query("q").substr(0, kMaxQueryText);
  uint32_t days = 0;
  uint32_t page = 1;
  if (!NumberParameter(request, "days", 0, &days) || !NumberParameter(request, "page", 1, &page) || page == 0) {
    return false;
  }
  filter->days = days;
  filter->page = page;
  return true;
}

}  // namespace

Answer WithConsolePolicy(Answer answer) {
  answer.headers.emplace_back("Content-Security-Policy", kConsolePolicy);
  answer.headers.emplace_back("Referrer-Policy", "no-referrer");
  answer.headers.emplace_back("Cache-Control", "private, no-store");
  return answer;
}

Answer ConsoleHtml(std::string page) {
  Answer answer;
  answer.content_type = "text/html; charset=utf-8";
  answer.body = std::move(page);
  return WithConsolePolicy(std::move(answer));
}

Answer ConsoleAnswer(const ReportIndex& index, const RealmConfig& config, const Request& request) {
  ConsoleFilter filter;
  if (!ReadFilter(request, &filter)) {
    return WithConsolePolicy(TextAnswer(400, "days and page want whole numbers (page from 1)"));
  }
  const int64_t now = static_cast<int64_t>(time(nullptr));
  const std::string_view path = request.path;
  if (path == "/reports" || path == "/reports/groups.json") {
    const GroupsView view = index.Groups(filter, now);
    if (path == "/reports") return ConsoleHtml(GroupsPageHtml(view, filter, config.realm, index.report_count()));
    return ConsoleJson(GroupsJson(view));
  }
  constexpr std::string_view kGroup = "/reports/group/";
  std::string id(path.substr(std::min(path.size(), kGroup.size())));
  const bool json = id.size() > 5 && id.substr(id.size() - 5) == ".json";
  if (json) id.resize(id.size() - 5);
  GroupView view;
  if (path.substr(0, kGroup.size()) != kGroup || !index.Group(id, filter, now, &view)) {
    return WithConsolePolicy(TextAnswer(404, "no such crash group"));
  }
  return json ? ConsoleJson(GroupJson(view)) : ConsoleHtml(GroupPageHtml(view, filter));
}

}  // namespace vantrel::site
