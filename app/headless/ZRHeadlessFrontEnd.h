// Runs the controller in a terminal: launches it with the terminal user interface and quits through
// the controller when SIGINT, SIGTERM or SIGHUP arrives.
#pragma once

#include "app/headless/ZRHeadlessUserInterface.h"
#include "app/platform/ZRTerminationSignalWatcher.h"

#include <QObject>

// Main thread.
class ZRHeadlessFrontEnd : public QObject
{
    Q_OBJECT
public:
    explicit ZRHeadlessFrontEnd(QObject *parent = nullptr);
    // Takes itself away from the controller.
    ~ZRHeadlessFrontEnd() override;

    // Launches the controller (defaults, queue archive, list) and starts watching for signals.
    void start();
    ZRHeadlessUserInterface &userInterface() { return _userInterface; }

    // Asks the controller whether quitting may go on; ends the event loop when it may.
    void requestQuit();

private:
    ZRHeadlessUserInterface _userInterface;
    ZRTerminationSignalWatcher _signalWatcher;
    bool _isQuitting = false;
};
