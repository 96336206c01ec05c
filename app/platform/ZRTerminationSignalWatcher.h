// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the main thread through a self-pipe: the
// handler only writes the signal number, everything else happens in the event loop.
#pragma once

#include <QObject>

class QSocketNotifier;

// Main thread. One instance per process at a time.
class ZRTerminationSignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit ZRTerminationSignalWatcher(QObject *parent = nullptr);
    // Puts the previous handlers back.
    ~ZRTerminationSignalWatcher() override;

    // Installs the handlers; false (logged) when the pipe or a handler cannot be set up.
    bool start();

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *_notifier = nullptr;
    bool _installed = false;
};
