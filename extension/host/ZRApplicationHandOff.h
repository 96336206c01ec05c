// Delivers a quorvel:// address to the application: over the session bus to the running Quorvel, by
// D-Bus activation when Quorvel's service file is installed, else by starting the quorvel program.
#pragma once

#include <QString>

namespace ZRApplicationHandOff
{

inline const QString ServiceName = QStringLiteral("com.tessaline.Quorvel");
inline const QString ObjectPath = QStringLiteral("/com/tessaline/Quorvel");
inline const QString InterfaceName = QStringLiteral("com.tessaline.Quorvel");

// Main thread. True when the address reached Quorvel or a Quorvel was started with it.
bool openURL(const QString &url);

// The quorvel program beside the running one, else on PATH; empty when there is none.
QString quorvelExecutablePath();

} // namespace ZRApplicationHandOff
