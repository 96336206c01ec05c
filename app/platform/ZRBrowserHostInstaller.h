// `quorvel --install-browser-hosts`: the per-user manifests that tell Chromium-family browsers and
// Firefox where quorvel-extension-host is, so that the Quorvel extension can start it.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

namespace ZRBrowserHostInstaller
{

// The native-messaging name of the host: the manifests' file name without ".json".
inline const QString HostName = QStringLiteral("com.tessaline.quorvel");

// quorvel-extension-host beside the running program, else on PATH; empty when there is none.
QString extensionHostPath();

// Writes the manifest of every browser below the user's folders (home and configuration
// folder; the Flatpak browsers' folders only where that browser is installed as a Flatpak, with a
// launcher that leaves the sandbox). hostPath must be absolute. Each file written goes into
// written; false, with the reason, when one could not be written.
bool installUserHosts(const QString &hostPath, QStringList *written, QStringList *notes, QString *error);

// The command: prints what it wrote; the exit status (0 when everything was written).
int installBrowserHosts(std::FILE *output, std::FILE *errors);

} // namespace ZRBrowserHostInstaller
