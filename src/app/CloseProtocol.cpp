#include "CloseProtocol.h"

#include "EngineController.h"
#include "ListenController.h"

namespace corvane {

TCloseProtocol::TCloseProtocol(TListenController& listen, TEngineController& engine,
                               std::function<void(const std::string&)> log,
                               std::function<void()> setWaitCursor)
    : FListen(listen), FEngine(engine), FLog(std::move(log)),
      FSetWaitCursor(std::move(setWaitCursor)) {}

bool TCloseProtocol::FormClose() {
    if (FClosed)
        return true;
    FLog("Form Close");
    FClosing = true;
    bool refuse = false;
    if (FListen.Monitor()) {
        // Its notification arms the monitor's stop timer, which destroys it
        // and asks for the close again.
        FListen.Stop();
        refuse = true;
    }
    if (FEngine.StopForClose())
        refuse = true;
    if (refuse) {
        FSetWaitCursor();
        return false;
    }
    FClosed = true;
    return true;
}

} // namespace corvane
