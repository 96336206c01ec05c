// Helpers shared by the test programs: the isolated environment and event-loop waiting.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <functional>

namespace ZRTestSupport {

// The temporary folder that stands in for this test process's home; HOME, XDG_CONFIG_HOME,
// XDG_DATA_HOME and XDG_CACHE_HOME point below it.
QString sandboxRoot();

// Runs the Qt event loop until the predicate holds or the time-out passes; returns the predicate's last value.
bool waitUntil(const std::function<bool()> &predicate, int timeoutMilliseconds = 5000);

// Runs the Qt event loop for the given time.
void processEventsFor(int milliseconds);

// The environment for running quorvel itself in a test: a fresh home and XDG folders below root,
// no desktop, no system or session bus, no proxies from the developer's shell.
QProcessEnvironment isolatedProcessEnvironment(const QString &root);

// Writes bytes to a file, creating its folder; returns whether it worked.
bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

} // namespace ZRTestSupport
