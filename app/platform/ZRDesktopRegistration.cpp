#include "app/platform/ZRDesktopRegistration.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace
{

const QString desktopFileName = QStringLiteral("quorvel.desktop");
const QStringList schemeTypes = {QStringLiteral("x-scheme-handler/quorvel"),
                                 QStringLiteral("x-scheme-handler/securequorvel")};
const int iconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};

QString dataFolder()
{
    const QString value = qEnvironmentVariable("XDG_DATA_HOME");
    return !value.isEmpty() && QDir::isAbsolutePath(value)
               ? QDir::cleanPath(value)
               : QDir::homePath() + QStringLiteral("/.local/share");
}

QByteArray resource(const QString &name)
{
    QFile file(QStringLiteral(":/packaging/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    if (bytes.isEmpty()) {
        *error = QStringLiteral("the contents of <%1> are missing from the program").arg(path);
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot create the folder of <%1>").arg(path);
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("cannot write <%1>: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// Desktop entries quote arguments of Exec with double quotes; a plain path needs none.
QString desktopExecPath(const QString &path)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`%");
    if (std::none_of(path.begin(), path.end(), [](QChar c) { return reserved.contains(c); }))
        return path;
    QString quoted = path;
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    for (const QChar c : {QLatin1Char('\\'), QLatin1Char('"'), QLatin1Char('`'), QLatin1Char('$')})
        quoted.replace(c, QStringLiteral("\\") + c);
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

void runTool(const QString &tool, const QStringList &arguments, QStringList *steps)
{
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty()) {
        steps->append(QStringLiteral("left out %1: not installed").arg(tool));
        return;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(60 * 1000);
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        steps->append(QStringLiteral("ran %1 %2").arg(tool, arguments.join(QLatin1Char(' '))));
    else
        steps->append(
            QStringLiteral("%1 failed: %2").arg(tool, QString::fromLocal8Bit(process.readAll()).trimmed()));
}

} // namespace

namespace ZRDesktopRegistration
{

bool registerForUser(const QString &quorvelPath, QStringList *steps, QString *error)
{
    const QString data = dataFolder();
    const QString applications = data + QStringLiteral("/applications");
    const QString mime = data + QStringLiteral("/mime");

    // This quorvel, wherever it is, handles the links: the entry names it by its path.
    QString entry = QString::fromUtf8(resource(desktopFileName));
    entry.replace(QStringLiteral("\nExec=quorvel "),
                  QStringLiteral("\nExec=") + desktopExecPath(quorvelPath) + QLatin1Char(' '));
    QString service = QString::fromUtf8(resource(QStringLiteral("com.tessaline.Quorvel.service.in")));
    service.replace(QStringLiteral("@QUORVEL_EXECUTABLE@"), quorvelPath);

    struct Output {
        QString path;
        QByteArray bytes;
    };
    QList<Output> outputs = {
        {applications + QLatin1Char('/') + desktopFileName, entry.toUtf8()},
        {mime + QStringLiteral("/packages/quorvel.xml"), resource(QStringLiteral("quorvel.xml"))},
        {data + QStringLiteral("/dbus-1/services/com.tessaline.Quorvel.service"), service.toUtf8()},
        {data + QStringLiteral("/icons/hicolor/scalable/apps/quorvel.svg"),
         resource(QStringLiteral("icons/quorvel.svg"))},
    };
    for (const int size : iconSizes)
        outputs.append({data + QStringLiteral("/icons/hicolor/%1x%1/apps/quorvel.png").arg(size),
                        resource(QStringLiteral("icons/quorvel-%1.png").arg(size))});
    for (const Output &output : outputs) {
        if (!writeFile(output.path, output.bytes, error))
            return false;
        steps->append(QStringLiteral("wrote %1").arg(output.path));
    }

    runTool(QStringLiteral("update-desktop-database"), {applications}, steps);
    runTool(QStringLiteral("update-mime-database"), {mime}, steps);
    // update-desktop-database leaves an existing default alone; xdg-mime replaces it.
    runTool(QStringLiteral("xdg-mime"), QStringList{QStringLiteral("default"), desktopFileName} + schemeTypes,
            steps);
    return true;
}

int registerDesktop(std::FILE *output, std::FILE *errors)
{
    const QString quorvelPath = QFileInfo(QCoreApplication::applicationFilePath()).absoluteFilePath();
    QStringList steps;
    QString error;
    const bool registered = registerForUser(quorvelPath, &steps, &error);
    for (const QString &step : steps)
        std::fprintf(output, "%s\n", qPrintable(step));
    if (!registered) {
        std::fprintf(errors, "quorvel: %s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(output, "%s now opens quorvel:// and securequorvel:// links, .qbp and .quorvel files.\n",
                 qPrintable(quorvelPath));
    return 0;
}

} // namespace ZRDesktopRegistration
