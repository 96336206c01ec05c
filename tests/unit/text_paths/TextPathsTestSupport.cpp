#include "tests/unit/text_paths/TextPathsTestSupport.h"

#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <cstdlib>

namespace TextPathsTest
{

namespace
{
QString busAddress;
} // namespace

QString makeFolder(const QString &name)
{
    static int counter = 0;
    const QString path =
        ZRTestSupport::sandboxRoot() + QStringLiteral("/work/%1-%2").arg(name).arg(++counter);
    QDir().mkpath(path);
    return path;
}

QString recordPathForApplication(const QString &desktopID)
{
    return ZRTestSupport::sandboxRoot() + QStringLiteral("/records/") + desktopID + QStringLiteral(".txt");
}

QString sessionBusAddress()
{
    return busAddress;
}

QStringList recordedArguments(const QString &desktopID)
{
    const QString text = QString::fromUtf8(ZRTestSupport::readFile(recordPathForApplication(desktopID)));
    QStringList arguments;
    for (const QString &argument : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        arguments << (argument.startsWith(QLatin1String("file:")) ? QUrl(argument).toLocalFile() : argument);
    return arguments;
}

QString desktopFilePath(const QString &desktopID)
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications/") + desktopID;
}

namespace
{

// Set up before the first use of GIO or the MIME database in the process: both read the folders once.
class DesktopEnvironment : public testing::Environment
{
public:
    void SetUp() override
    {
        const QString root = ZRTestSupport::sandboxRoot();
        // System data folders with nothing but the MIME database: no real application can be chosen.
        const QString systemData = root + QStringLiteral("/system-data");
        QDir().mkpath(systemData);
        for (const QString &folder : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
            if (QFile::exists(folder + QStringLiteral("/mime/mime.cache"))) {
                QFile::link(folder + QStringLiteral("/mime"), systemData + QStringLiteral("/mime"));
                break;
            }
        }
        if (!QFile::exists(systemData + QStringLiteral("/mime")))
            QFile::link(QStringLiteral("/usr/share/mime"), systemData + QStringLiteral("/mime"));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(systemData));
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        startPrivateBus(root);
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        // Desktop-specific defaults would be looked up under names of their own.
        qunsetenv("XDG_CURRENT_DESKTOP");

        QDir().mkpath(root + QStringLiteral("/records"));
        const QString script = root + QStringLiteral("/record.sh");
        ZRTestSupport::writeFile(
            script,
            "#!/bin/sh\nout=\"$1\"\nshift\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out\"; done\n");
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        const QString types = QStringLiteral("application/pdf;application/zip;inode/directory;");
        for (const QString &id : {recorderID, otherID}) {
            const QByteArray desktop =
                QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nIcon=quorvel-test-icon\n"
                               "Exec=%2 %3 %U\nMimeType=%4\n")
                    .arg(id, script, recordPathForApplication(id), types)
                    .toUtf8();
            ZRTestSupport::writeFile(desktopFilePath(id), desktop);
        }
        // An archiver that opens zip and rar files, where the other two open zip files only.
        ZRTestSupport::writeFile(desktopFilePath(archiverID),
                                 QStringLiteral("[Desktop Entry]\nType=Application\nName=Archiver\nExec=%1 %2 %U\n"
                                                "MimeType=application/zip;application/vnd.rar;\n")
                                     .arg(script, recordPathForApplication(archiverID))
                                     .toUtf8());
        const QString applications = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
        QByteArray cache = "[MIME Cache]\n";
        for (const char *type : {"application/pdf", "application/zip", "inode/directory"})
            cache += QByteArray(type) + '=' + recorderID.toUtf8() + ';' + otherID.toUtf8() +
                     (QByteArray(type) == "application/zip" ? ';' + archiverID.toUtf8() : QByteArray()) + ";\n";
        cache += "application/vnd.rar=" + archiverID.toUtf8() + ";\n";
        ZRTestSupport::writeFile(applications + QStringLiteral("/mimeinfo.cache"), cache);
        QByteArray defaults = "[Default Applications]\n";
        for (const char *type : {"application/pdf", "application/zip", "inode/directory"})
            defaults += QByteArray(type) + '=' + recorderID.toUtf8() + ";\n";
        ZRTestSupport::writeFile(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/mimeapps.list"),
                                 defaults);
    }

    void TearDown() override
    {
        if (_bus.state() != QProcess::NotRunning) {
            _bus.kill();
            _bus.waitForFinished(5000);
        }
    }

private:
    // A bus of our own without service files: nothing real can be started or reached through it.
    void startPrivateBus(const QString &root)
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            return;
        const QString config = root + QStringLiteral("/bus.conf");
        ZRTestSupport::writeFile(
            config, QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                   "<auth>EXTERNAL</auth><policy context=\"default\">"
                                   "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                   "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
                        .arg(root + QStringLiteral("/run"))
                        .toUtf8());
        _bus.start(daemon, {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                            QStringLiteral("--print-address=1")});
        if (!_bus.waitForStarted(5000))
            return;
        QByteArray address;
        while (!address.contains('\n') && _bus.waitForReadyRead(5000))
            address += _bus.readAllStandardOutput();
        busAddress = QString::fromUtf8(address).trimmed();
        if (!busAddress.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress.toUtf8());
    }

    QProcess _bus;
};

const auto *const environment = testing::AddGlobalTestEnvironment(new DesktopEnvironment);

} // namespace

} // namespace TextPathsTest
