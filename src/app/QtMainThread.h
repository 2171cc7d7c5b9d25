#pragma once

// Connects the core's main-thread hand-over (Synchronize/Post) to the Qt event
// loop: a queued call wakes the GUI thread, which then runs CheckSynchronize.

#include <QString>

#include <exception>
#include <functional>

namespace corvane {

// GUI thread, after the QApplication exists: marks this thread as the main
// thread, installs the wake-up and the handler for exceptions that escape
// posted calls. Calling it again is harmless. The adapter goes away with the
// application object.
void InstallQtMainThread();

// GUI thread: removes the wake-up and the exception handler again.
void UninstallQtMainThread();

// The standard error box: a critical message box with the exception's message
// (empty for exceptions that are not std::exception), titled with the
// application name. GUI thread only.
void ShowExceptionBox(std::exception_ptr error);

// Replaces the error box, for tests. An empty hook restores the message box.
using ErrorBoxHook = std::function<void(const QString& message)>;
void SetErrorBoxHook(ErrorBoxHook hook);

} // namespace corvane
