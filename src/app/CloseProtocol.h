#pragma once

// The close protocol: a close asked for while a monitor listens or the engine
// runs stops them and is refused; the window stays open (hourglass cursor)
// and is asked to close again as each of them reports that it has stopped.

#include <functional>
#include <string>

namespace corvane {

class TEngineController;
class TListenController;

class TCloseProtocol {
public:
    TCloseProtocol(TListenController& listen, TEngineController& engine,
                   std::function<void(const std::string&)> log,
                   std::function<void()> setWaitCursor);

    // GUI thread: runs the protocol for one close request; true when the
    // window may close now.
    bool FormClose();

    // The user or the program asked to close.
    bool Closing() const { return FClosing; }

private:
    TListenController& FListen;
    TEngineController& FEngine;
    std::function<void(const std::string&)> FLog;
    std::function<void()> FSetWaitCursor;
    bool FClosing = false;
    // Set once the close went through; close requests queued before then
    // pass without running the protocol again.
    bool FClosed = false;
};

} // namespace corvane
