// The desktop environment of these tests: only our own applications, the system's MIME database, no
// session bus (nothing may reach a real file manager).
#pragma once

#include <QString>
#include <QStringList>

#include <ostream>

// Readable failure messages.
inline void PrintTo(const QString &string, std::ostream *stream)
{
    *stream << '"' << string.toStdString() << '"';
}

namespace TextPathsTest
{

// A fresh folder below the test's temporary tree.
QString makeFolder(const QString &name);

// The file that the test application with this desktop-file ID writes its arguments to, one a line.
QString recordPathForApplication(const QString &desktopID);
QString desktopFilePath(const QString &desktopID);
// What the test application was handed, as local paths where they are files (GIO may pass a file
// as its path or as its URL).
QStringList recordedArguments(const QString &desktopID);

// The address of the private session bus of this test process (no service can be started on it);
// empty when dbus-daemon is not installed, and then there is no session bus at all.
QString sessionBusAddress();

inline const QString recorderID = QStringLiteral("quorvel-test-recorder.desktop");
inline const QString otherID = QStringLiteral("quorvel-test-other.desktop");
inline const QString archiverID = QStringLiteral("quorvel-test-archiver.desktop");

} // namespace TextPathsTest
