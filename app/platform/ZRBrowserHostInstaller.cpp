#include "app/platform/ZRBrowserHostInstaller.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace
{

enum class Family { Chromium, Firefox };

struct Browser {
    const char *name;
    Family family;
    // Below the configuration folder for Chromium-family browsers, below home for Firefox's.
    const char *folder;
    const char *flatpakID;
};

const Browser browsers[] = {
    {"Google Chrome", Family::Chromium, "google-chrome", "com.google.Chrome"},
    {"Chromium", Family::Chromium, "chromium", "org.chromium.Chromium"},
    {"Brave", Family::Chromium, "BraveSoftware/Brave-Browser", "com.brave.Browser"},
    {"Vivaldi", Family::Chromium, "vivaldi", "com.vivaldi.Vivaldi"},
    {"Microsoft Edge", Family::Chromium, "microsoft-edge", "com.microsoft.Edge"},
    {"Opera", Family::Chromium, "opera", "com.opera.Opera"},
    {"Firefox", Family::Firefox, ".mozilla", "org.mozilla.firefox"},
    {"LibreWolf", Family::Firefox, ".librewolf", "io.gitlab.librewolf-community"},
};

QString configurationFolder()
{
    const QString value = qEnvironmentVariable("XDG_CONFIG_HOME");
    return !value.isEmpty() && QDir::isAbsolutePath(value) ? QDir::cleanPath(value)
                                                           : QDir::homePath() + QStringLiteral("/.config");
}

QString manifestFolder(const Browser &browser, const QString &home, const QString &configuration)
{
    const QString folder = QString::fromUtf8(browser.folder);
    return browser.family == Family::Chromium
               ? configuration + QLatin1Char('/') + folder + QStringLiteral("/NativeMessagingHosts")
               : home + QLatin1Char('/') + folder + QStringLiteral("/native-messaging-hosts");
}

// The manifest templates that packaging/ installs system-wide, with this host's path.
QByteArray manifest(Family family, const QString &hostPath, QString *error)
{
    QFile file(family == Family::Chromium ? QStringLiteral(":/packaging/native-messaging/chromium.json.in")
                                          : QStringLiteral(":/packaging/native-messaging/firefox.json.in"));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("the manifest template is missing from the program");
        return {};
    }
    QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    object.insert(QStringLiteral("path"), hostPath);
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

bool writeFile(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions,
               QString *error)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot create the folder of <%1>").arg(path);
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("cannot write <%1>: %2").arg(path, file.errorString());
        return false;
    }
    QFile::setPermissions(path, permissions);
    return true;
}

} // namespace

namespace ZRBrowserHostInstaller
{

QString extensionHostPath()
{
    const QFileInfo beside(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/quorvel-extension-host"));
    if (beside.isFile() && beside.isExecutable())
        return beside.absoluteFilePath();
    return QStandardPaths::findExecutable(QStringLiteral("quorvel-extension-host"));
}

bool installUserHosts(const QString &hostPath, QStringList *written, QStringList *notes, QString *error)
{
    const QString home = QDir::homePath();
    const QString configuration = configurationFolder();
    const QString fileName = HostName + QStringLiteral(".json");
    const auto readable =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    for (const Browser &browser : browsers) {
        const QByteArray bytes = manifest(browser.family, hostPath, error);
        if (bytes.isEmpty())
            return false;
        const QString path = manifestFolder(browser, home, configuration) + QLatin1Char('/') + fileName;
        if (!writeFile(path, bytes, readable, error))
            return false;
        written->append(path);

        // A Flatpak browser sees its own folder below ~/.var/app at the same path, but not the
        // host's programs: a launcher there asks Flatpak to start the host outside the sandbox.
        const QString flatpakID = QString::fromUtf8(browser.flatpakID);
        const QString sandbox = home + QStringLiteral("/.var/app/") + flatpakID;
        if (!QFileInfo(sandbox).isDir())
            continue;
        const QString launcher = sandbox + QStringLiteral("/data/quorvel/quorvel-extension-host");
        QString quoted = hostPath;
        quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
        const QByteArray script =
            QStringLiteral("#!/bin/sh\n# Starts Quorvel's extension host outside the sandbox.\n"
                           "exec flatpak-spawn --host '%1' \"$@\"\n")
                .arg(quoted)
                .toUtf8();
        if (!writeFile(launcher, script,
                       readable | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther,
                       error))
            return false;
        const QByteArray sandboxed = manifest(browser.family, launcher, error);
        const QString sandboxedPath = manifestFolder(browser, sandbox, sandbox + QStringLiteral("/config")) +
                                      QLatin1Char('/') + fileName;
        if (!writeFile(sandboxedPath, sandboxed, readable, error))
            return false;
        written->append(sandboxedPath);
        notes->append(
            QStringLiteral("%1 (Flatpak) may start the host once allowed to: flatpak override --user "
                           "--talk-name=org.freedesktop.Flatpak %2")
                .arg(QString::fromUtf8(browser.name), flatpakID));
    }
    return true;
}

int installBrowserHosts(std::FILE *output, std::FILE *errors)
{
    const QString hostPath = extensionHostPath();
    if (hostPath.isEmpty()) {
        std::fputs("quorvel: quorvel-extension-host is neither beside quorvel nor on PATH\n", errors);
        return 1;
    }
    QStringList written;
    QStringList notes;
    QString error;
    const bool installed = installUserHosts(QFileInfo(hostPath).absoluteFilePath(), &written, &notes, &error);
    for (const QString &path : written)
        std::fprintf(output, "wrote %s\n", qPrintable(path));
    for (const QString &note : notes)
        std::fprintf(output, "%s\n", qPrintable(note));
    if (!installed) {
        std::fprintf(errors, "quorvel: %s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(output, "The Quorvel extension can now start %s.\n", qPrintable(hostPath));
    return 0;
}

} // namespace ZRBrowserHostInstaller
