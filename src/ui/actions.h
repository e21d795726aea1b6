#pragma once
// What each painted button does when clicked. Portable: the window is reached through
// UiHost, so the rules run in unit tests with a fake window.
#include <string>

#include "launcher/state.h"

namespace vantrel::ui {

class UiHost {
 public:
  virtual ~UiHost() = default;
  virtual void HideEditFields() = 0;
  virtual void Invalidate() = 0;
  // The two fields of the Send logs page as UTF-8 (empty when unreadable).
  virtual void ReadEditFields(std::string* account, std::string* note) = 0;
};

void SetPage(WorkerContext& context, UiHost& host, Page page);
void RunClick(uint8_t id, WorkerContext& context, UiHost& host);

}  // namespace vantrel::ui
