#pragma once
// The launcher's one window: creation with everything it draws with, and the message loop.
// Window thread only; the Win32 side lives in window_win32.cpp.
#include "launcher/state.h"

namespace vantrel::ui {

// Registers the class, creates the window, its back buffer, background, fonts and edit
// fields, stores the window in the context and shows it. False when the window itself
// could not be created (nothing else is fatal: a missing picture gives a plain fill).
bool CreateMainWindow(WorkerContext& context);

// Dispatches messages until the quit message (or an error) ends the loop.
void RunMessageLoop();

}  // namespace vantrel::ui
