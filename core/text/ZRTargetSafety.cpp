// The places a target from outside may not reach, checked on the path as written and as its
// symbolic links resolve.
#include "core/text/ZRTargetSafety.h"

#include "core/foundation/ZRPaths.h"
#include "core/text/ZRPathExtensions.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <optional>

namespace
{

QString cleanAbsolute(const QString &path)
{
    return path.isEmpty() || !QDir::isAbsolutePath(path) ? QString() : QDir::cleanPath(path);
}

bool isInOrBelow(const QString &path, const QString &folder)
{
    if (folder.isEmpty())
        return false;
    if (folder == QLatin1String("/"))
        return true;
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// A folder as written and as its links resolve (when it exists), so that either spelling matches.
void appendForms(QStringList &folders, const QString &folder)
{
    const QString clean = cleanAbsolute(folder);
    if (clean.isEmpty())
        return;
    folders.append(clean);
    const QString canonical = QFileInfo(clean).canonicalFilePath();
    if (!canonical.isEmpty() && canonical != clean)
        folders.append(canonical);
}

QString environmentFolder(const char *variable, const QString &fallback)
{
    const QString value = qEnvironmentVariable(variable);
    return !value.isEmpty() && QDir::isAbsolutePath(value) ? value : fallback;
}

// Read on every call: tests and long runs may change the environment.
QStringList forbiddenFolders(const QString &home)
{
    const QString configHome = environmentFolder("XDG_CONFIG_HOME", home + QStringLiteral("/.config"));
    const QString dataHome = environmentFolder("XDG_DATA_HOME", home + QStringLiteral("/.local/share"));
    QStringList folders;
    const QStringList named = {configHome,
                               home + QStringLiteral("/.config"),
                               home + QStringLiteral("/.ssh"),
                               home + QStringLiteral("/.gnupg"),
                               home + QStringLiteral("/.local/share/keyrings"),
                               dataHome + QStringLiteral("/keyrings")};
    for (const QString &folder : named)
        appendForms(folders, folder);
    QString configDirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (configDirs.isEmpty())
        configDirs = QStringLiteral("/etc/xdg");
    for (const QString &folder : configDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        appendForms(folders, folder + QStringLiteral("/autostart"));
    return folders;
}

// The path with the links of its existing part resolved; none when a link leads nowhere.
std::optional<QString> resolvedPath(const QString &path)
{
    QString existing = path;
    QStringList missing;
    while (existing != QLatin1String("/")) {
        const QFileInfo info(existing);
        if (info.exists())
            break;
        if (info.isSymLink())
            return std::nullopt;
        missing.prepend(info.fileName());
        existing = info.path();
    }
    QString resolved = QFileInfo(existing).canonicalFilePath();
    if (resolved.isEmpty())
        return std::nullopt;
    for (const QString &component : std::as_const(missing))
        resolved += (resolved.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + component;
    return resolved;
}

// Why this spelling of the path may not be written; empty when it may.
QString refusalFor(const QString &path, const QStringList &homes, const QStringList &forbidden,
                   const QStringList &temporaryFolders)
{
    for (const QString &folder : forbidden) {
        if (isInOrBelow(path, folder))
            return QStringLiteral("it lies in <%1>").arg(folder);
    }
    for (const QString &home : homes) {
        if (!isInOrBelow(path, home) || path == home)
            continue;
        const QStringList components = path.mid(home.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        for (const QString &component : components) {
            if (component.startsWith(QLatin1Char('.')))
                return QStringLiteral("it lies in a hidden folder of the home folder");
        }
        // The user's own folders are never system folders, wherever the home is.
        return {};
    }
    for (const QString &folder : temporaryFolders) {
        if (isInOrBelow(path, folder) && path != folder)
            return {};
    }
    for (QString ancestor = path;; ancestor = QFileInfo(ancestor).path()) {
        if (ZRExtensions::isTabooSystemPath(ancestor))
            return QStringLiteral("it lies in the system folder <%1>").arg(ancestor);
        if (ancestor == QLatin1String("/"))
            break;
    }
    return {};
}

} // namespace

namespace ZRExtensions
{

bool isSafeTargetPathFromOutside(const QString &path, QString *reason)
{
    const auto refuse = [&](const QString &why) {
        if (reason)
            *reason = why;
        return false;
    };
    const QString expanded = stringByExpandingTildeInPath(path);
    if (expanded.isEmpty() || !QDir::isAbsolutePath(expanded))
        return refuse(QStringLiteral("it is not an absolute path"));
    const QString clean = QDir::cleanPath(expanded);
    if (clean.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return refuse(QStringLiteral("it climbs out of its folder with \"..\""));

    QStringList homes;
    appendForms(homes, stringByExpandingTildeInPath(QStringLiteral("~")));
    const QStringList forbidden = forbiddenFolders(homes.isEmpty() ? QString() : homes.first());
    QStringList temporaryFolders;
    for (const QString &folder :
         QStringList{QStringLiteral("/tmp"), QStringLiteral("/var/tmp"), QDir::tempPath()})
        appendForms(temporaryFolders, folder);

    const std::optional<QString> resolved = resolvedPath(clean);
    if (!resolved)
        return refuse(QStringLiteral("a symbolic link on the way leads nowhere"));
    QString why = refusalFor(clean, homes, forbidden, temporaryFolders);
    if (why.isEmpty() && *resolved != clean) {
        why = refusalFor(*resolved, homes, forbidden, temporaryFolders);
        if (!why.isEmpty())
            why = QStringLiteral("a symbolic link leads there: ") + why;
    }
    if (!why.isEmpty())
        return refuse(why);
    return true;
}

} // namespace ZRExtensions
