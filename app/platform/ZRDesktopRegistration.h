// `quorvel --register-desktop`: makes this quorvel the user's handler of quorvel:// and
// securequorvel:// links and of its documents (.qbp, .quorvel), with its icon and D-Bus service,
// without installing anything system-wide.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

namespace ZRDesktopRegistration
{

// Copies the desktop entry, the document types, the icons and the D-Bus service file below the
// user's data folder ($XDG_DATA_HOME), naming the program at quorvelPath, then refreshes the
// desktop and MIME databases and sets Quorvel as the default for its two schemes with the
// freedesktop tools that are installed. Each step done, or left out and why, goes into steps.
// False, with the reason, when a file could not be written.
bool registerForUser(const QString &quorvelPath, QStringList *steps, QString *error);

// The command: prints each step; the exit status (0 when the files were written).
int registerDesktop(std::FILE *output, std::FILE *errors);

} // namespace ZRDesktopRegistration
