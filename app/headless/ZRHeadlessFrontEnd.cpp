#include "app/headless/ZRHeadlessFrontEnd.h"

#include "app/control/ZRMainController.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"

ZRHeadlessFrontEnd::ZRHeadlessFrontEnd(QObject *parent) : QObject(parent)
{
    connect(&_signalWatcher, &ZRTerminationSignalWatcher::terminationRequested, this,
            [this](int signalNumber) {
                ZRLogDebug(QStringLiteral("termination signal %1").arg(signalNumber));
                requestQuit();
            });
}

ZRHeadlessFrontEnd::~ZRHeadlessFrontEnd()
{
    ZRMainController *controller = ZRMainController::mainController();
    if (controller->userInterface() == &_userInterface)
        controller->setUserInterface(nullptr);
}

void ZRHeadlessFrontEnd::start()
{
    ZRMainController *controller = ZRMainController::mainController();
    controller->setUserInterface(&_userInterface);
    _signalWatcher.start();
    controller->applicationWillFinishLaunching();
    controller->applicationDidFinishLaunching();
}

void ZRHeadlessFrontEnd::requestQuit()
{
    // Several signals may arrive while the first quit is under way.
    if (_isQuitting)
        return;
    if (!ZRMainController::mainController()->applicationShouldTerminate()) {
        ZRLog(QStringLiteral("quit cancelled"));
        return;
    }
    _isQuitting = true;
    ZRUserDefaults::standardUserDefaults().synchronize();
    _userInterface.terminate();
}
