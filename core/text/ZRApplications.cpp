#include "core/text/ZRApplications.h"

#include "core/foundation/ZRLog.h"

#include <QHash>
#include <QMutex>

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <memory>

namespace
{

struct GObjectRelease {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using GObjectPointer = std::unique_ptr<T, GObjectRelease>;

QString fromUtf8(const char *text)
{
    return text ? QString::fromUtf8(text) : QString();
}

QString takeString(gchar *text)
{
    const QString result = fromUtf8(text);
    g_free(text);
    return result;
}

QString takeError(GError *error)
{
    if (!error)
        return QStringLiteral("unknown error");
    const QString message = fromUtf8(error->message);
    g_error_free(error);
    return message;
}

QString normalizedExtension(const QString &extension)
{
    QString normalized = extension.trimmed().toLower();
    while (normalized.startsWith(QLatin1Char('.')))
        normalized.remove(0, 1);
    return normalized;
}

// The content type (a MIME type on Linux) that GIO gives files with the extension.
QString contentTypeForExtension(const QString &extension)
{
    const QByteArray name = QByteArrayLiteral("com.tessaline.Quorvel.ExtensionTest.") + extension.toUtf8();
    gboolean uncertain = false;
    return takeString(g_content_type_guess(name.constData(), nullptr, 0, &uncertain));
}

GObjectPointer<GDesktopAppInfo> applicationWithPath(const QString &applicationPath)
{
    if (applicationPath.isEmpty())
        return {};
    return GObjectPointer<GDesktopAppInfo>(
        g_desktop_app_info_new_from_filename(applicationPath.toLocal8Bit().constData()));
}

QString pathOfApplication(GAppInfo *application)
{
    if (!application || !G_IS_DESKTOP_APP_INFO(application))
        return {};
    return QString::fromLocal8Bit(g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(application)));
}

QByteArray uriOf(const QUrl &url)
{
    return url.toString(QUrl::FullyEncoded).toUtf8();
}

} // namespace

namespace ZRExtensions
{

QString applicationPathFromBundleID(const QString &bundleID)
{
    if (bundleID.isEmpty())
        return {};
    GObjectPointer<GDesktopAppInfo> application(g_desktop_app_info_new(bundleID.toUtf8().constData()));
    if (!application)
        return {};
    return pathOfApplication(G_APP_INFO(application.get()));
}

QString applicationBundleIDFromPath(const QString &applicationPath)
{
    const auto application = applicationWithPath(applicationPath);
    return application ? fromUtf8(g_app_info_get_id(G_APP_INFO(application.get()))) : QString();
}

QString applicationDisplayNameFromPath(const QString &applicationPath)
{
    const auto application = applicationWithPath(applicationPath);
    return application ? fromUtf8(g_app_info_get_display_name(G_APP_INFO(application.get()))) : QString();
}

QString applicationIconNameFromPath(const QString &applicationPath)
{
    const auto application = applicationWithPath(applicationPath);
    GIcon *icon = application ? g_app_info_get_icon(G_APP_INFO(application.get())) : nullptr;
    if (!icon)
        return {};
    if (G_IS_THEMED_ICON(icon)) {
        const gchar *const *names = g_themed_icon_get_names(G_THEMED_ICON(icon));
        return names && names[0] ? fromUtf8(names[0]) : QString();
    }
    if (G_IS_FILE_ICON(icon))
        return takeString(g_file_get_path(g_file_icon_get_file(G_FILE_ICON(icon))));
    return {};
}

QList<QUrl> applicationURLsForExtension(const QString &extension)
{
    const QString key = normalizedExtension(extension);
    if (key.isEmpty())
        return {};
    static QMutex lock;
    static QHash<QString, QList<QUrl>> cache;
    // Held while asking, so that concurrent first uses see one complete list.
    QMutexLocker locker(&lock);
    const auto cached = cache.constFind(key);
    if (cached != cache.constEnd())
        return *cached;
    QList<QUrl> urls;
    const QString type = contentTypeForExtension(key);
    GList *applications = type.isEmpty() ? nullptr : g_app_info_get_all_for_type(type.toUtf8().constData());
    for (GList *item = applications; item; item = item->next) {
        const QString path = pathOfApplication(G_APP_INFO(item->data));
        const QUrl url = QUrl::fromLocalFile(path);
        if (!path.isEmpty() && !urls.contains(url))
            urls << url;
    }
    g_list_free_full(applications, g_object_unref);
    cache.insert(key, urls);
    return urls;
}

QUrl defaultApplicationURLForExtension(const QString &extension)
{
    const QString key = normalizedExtension(extension);
    if (key.isEmpty())
        return {};
    const QString type = contentTypeForExtension(key);
    GObjectPointer<GAppInfo> application(g_app_info_get_default_for_type(type.toUtf8().constData(), false));
    const QString path = pathOfApplication(application.get());
    return path.isEmpty() ? QUrl() : QUrl::fromLocalFile(path);
}

QString defaultApplicationBundleIDForExtension(const QString &extension)
{
    const QString key = normalizedExtension(extension);
    if (key.isEmpty())
        return {};
    const QString type = contentTypeForExtension(key);
    GObjectPointer<GAppInfo> application(g_app_info_get_default_for_type(type.toUtf8().constData(), false));
    return application ? fromUtf8(g_app_info_get_id(application.get())) : QString();
}

bool openViaWorkspace(const QUrl &url)
{
    if (url.isEmpty() || !url.isValid())
        return false;
    GError *error = nullptr;
    if (g_app_info_launch_default_for_uri(uriOf(url).constData(), nullptr, &error))
        return true;
    ZRLog(QStringLiteral("cannot open <%1>: %2").arg(url.toDisplayString(), takeError(error)));
    return false;
}

bool openWithApplicationBundleID(const QUrl &url, const QString &bundleID)
{
    const QString path = applicationPathFromBundleID(bundleID);
    if (path.isEmpty())
        return false;
    return openWithApplicationFSRef(url, path);
}

bool openWithApplicationFSRef(const QUrl &url, const QString &applicationPath)
{
    return openURLsWithApplicationFSRef({url}, applicationPath);
}

bool openURLsWithApplicationFSRef(const QList<QUrl> &urls, const QString &applicationPath)
{
    const auto application = applicationWithPath(applicationPath);
    if (!application) {
        ZRLog(QStringLiteral("cannot open addresses with <%1>: not an application").arg(applicationPath));
        return false;
    }
    QList<QByteArray> uris;
    for (const QUrl &url : urls) {
        if (url.isValid() && !url.isEmpty())
            uris << uriOf(url);
    }
    if (uris.isEmpty())
        return false;
    GList *list = nullptr;
    for (const QByteArray &uri : std::as_const(uris))
        list = g_list_append(list, const_cast<char *>(uri.constData()));
    GError *error = nullptr;
    const bool launched = g_app_info_launch_uris(G_APP_INFO(application.get()), list, nullptr, &error);
    g_list_free(list);
    if (!launched)
        ZRLog(QStringLiteral("cannot open addresses with <%1>: %2").arg(applicationPath, takeError(error)));
    return launched;
}

} // namespace ZRExtensions
