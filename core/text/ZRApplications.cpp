#include "core/text/ZRApplications.h"

#include "core/foundation/ZRLog.h"

#include <QHash>
#include <QMutex>

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <dlfcn.h>

#include <memory>
#include <mutex>

namespace
{

// GIO and GObject are loaded on first use: most runs never ask for an application, and the two
// bring three more libraries along (about a megabyte of pages, and their start-up relocations).
struct Gio {
    bool isLoaded = false;
    decltype(&g_content_type_guess) content_type_guess = nullptr;
    decltype(&g_desktop_app_info_new_from_filename) desktop_app_info_new_from_filename = nullptr;
    decltype(&g_desktop_app_info_new) desktop_app_info_new = nullptr;
    decltype(&g_desktop_app_info_get_filename) desktop_app_info_get_filename = nullptr;
    decltype(&g_desktop_app_info_get_type) desktop_app_info_get_type = nullptr;
    decltype(&g_app_info_get_id) app_info_get_id = nullptr;
    decltype(&g_app_info_get_display_name) app_info_get_display_name = nullptr;
    decltype(&g_app_info_get_icon) app_info_get_icon = nullptr;
    decltype(&g_app_info_get_all_for_type) app_info_get_all_for_type = nullptr;
    decltype(&g_app_info_get_default_for_type) app_info_get_default_for_type = nullptr;
    decltype(&g_app_info_launch_default_for_uri) app_info_launch_default_for_uri = nullptr;
    decltype(&g_app_info_launch_uris) app_info_launch_uris = nullptr;
    decltype(&g_themed_icon_get_type) themed_icon_get_type = nullptr;
    decltype(&g_themed_icon_get_names) themed_icon_get_names = nullptr;
    decltype(&g_file_icon_get_type) file_icon_get_type = nullptr;
    decltype(&g_file_icon_get_file) file_icon_get_file = nullptr;
    decltype(&g_file_get_path) file_get_path = nullptr;
    decltype(&g_object_unref) object_unref = nullptr;
    decltype(&g_type_check_instance_is_a) type_check_instance_is_a = nullptr;

    bool isA(gpointer object, GType type) const
    {
        return object && type_check_instance_is_a(static_cast<GTypeInstance *>(object), type);
    }
};

const Gio &gio()
{
    static Gio loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        void *library = ::dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
        void *objects = library ? ::dlopen("libgobject-2.0.so.0", RTLD_NOW | RTLD_LOCAL) : nullptr;
        if (!objects) {
            ZRLog(QStringLiteral("cannot load GIO (%1): applications cannot be listed or launched")
                      .arg(QString::fromLocal8Bit(::dlerror())));
            return;
        }
        bool complete = true;
        const auto resolve = [&](void *from, auto &function, const char *name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(from, name));
            complete = complete && function;
        };
        Gio g;
        resolve(library, g.content_type_guess, "g_content_type_guess");
        resolve(library, g.desktop_app_info_new_from_filename, "g_desktop_app_info_new_from_filename");
        resolve(library, g.desktop_app_info_new, "g_desktop_app_info_new");
        resolve(library, g.desktop_app_info_get_filename, "g_desktop_app_info_get_filename");
        resolve(library, g.desktop_app_info_get_type, "g_desktop_app_info_get_type");
        resolve(library, g.app_info_get_id, "g_app_info_get_id");
        resolve(library, g.app_info_get_display_name, "g_app_info_get_display_name");
        resolve(library, g.app_info_get_icon, "g_app_info_get_icon");
        resolve(library, g.app_info_get_all_for_type, "g_app_info_get_all_for_type");
        resolve(library, g.app_info_get_default_for_type, "g_app_info_get_default_for_type");
        resolve(library, g.app_info_launch_default_for_uri, "g_app_info_launch_default_for_uri");
        resolve(library, g.app_info_launch_uris, "g_app_info_launch_uris");
        resolve(library, g.themed_icon_get_type, "g_themed_icon_get_type");
        resolve(library, g.themed_icon_get_names, "g_themed_icon_get_names");
        resolve(library, g.file_icon_get_type, "g_file_icon_get_type");
        resolve(library, g.file_icon_get_file, "g_file_icon_get_file");
        resolve(library, g.file_get_path, "g_file_get_path");
        resolve(objects, g.object_unref, "g_object_unref");
        resolve(objects, g.type_check_instance_is_a, "g_type_check_instance_is_a");
        if (!complete) {
            ZRLog(QStringLiteral("cannot use GIO: a function is missing; applications cannot be listed or launched"));
            return;
        }
        g.isLoaded = true;
        loaded = g;
    });
    return loaded;
}

struct GObjectRelease {
    void operator()(gpointer object) const { gio().object_unref(object); }
};
template <typename T> using GObjectPointer = std::unique_ptr<T, GObjectRelease>;

GAppInfo *asAppInfo(gpointer object)
{
    // An interface of the same object: the pointer stands as it is.
    return static_cast<GAppInfo *>(object);
}

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
    return takeString(gio().content_type_guess(name.constData(), nullptr, 0, &uncertain));
}

GObjectPointer<GDesktopAppInfo> applicationWithPath(const QString &applicationPath)
{
    if (applicationPath.isEmpty() || !gio().isLoaded)
        return {};
    return GObjectPointer<GDesktopAppInfo>(
        gio().desktop_app_info_new_from_filename(applicationPath.toLocal8Bit().constData()));
}

QString pathOfApplication(GAppInfo *application)
{
    if (!gio().isA(application, gio().desktop_app_info_get_type()))
        return {};
    return QString::fromLocal8Bit(gio().desktop_app_info_get_filename(reinterpret_cast<GDesktopAppInfo *>(application)));
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
    if (bundleID.isEmpty() || !gio().isLoaded)
        return {};
    GObjectPointer<GDesktopAppInfo> application(gio().desktop_app_info_new(bundleID.toUtf8().constData()));
    if (!application)
        return {};
    return pathOfApplication(asAppInfo(application.get()));
}

QString applicationBundleIDFromPath(const QString &applicationPath)
{
    const auto application = applicationWithPath(applicationPath);
    return application ? fromUtf8(gio().app_info_get_id(asAppInfo(application.get()))) : QString();
}

QString applicationDisplayNameFromPath(const QString &applicationPath)
{
    const auto application = applicationWithPath(applicationPath);
    return application ? fromUtf8(gio().app_info_get_display_name(asAppInfo(application.get()))) : QString();
}

QString applicationIconNameFromPath(const QString &applicationPath)
{
    const auto application = applicationWithPath(applicationPath);
    GIcon *icon = application ? gio().app_info_get_icon(asAppInfo(application.get())) : nullptr;
    if (!icon)
        return {};
    if (gio().isA(icon, gio().themed_icon_get_type())) {
        const gchar *const *names = gio().themed_icon_get_names(reinterpret_cast<GThemedIcon *>(icon));
        return names && names[0] ? fromUtf8(names[0]) : QString();
    }
    if (gio().isA(icon, gio().file_icon_get_type()))
        return takeString(gio().file_get_path(gio().file_icon_get_file(reinterpret_cast<GFileIcon *>(icon))));
    return {};
}

QList<QUrl> applicationURLsForExtension(const QString &extension)
{
    const QString key = normalizedExtension(extension);
    if (key.isEmpty() || !gio().isLoaded)
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
    GList *applications = type.isEmpty() ? nullptr : gio().app_info_get_all_for_type(type.toUtf8().constData());
    for (GList *item = applications; item; item = item->next) {
        const QString path = pathOfApplication(asAppInfo(item->data));
        const QUrl url = QUrl::fromLocalFile(path);
        if (!path.isEmpty() && !urls.contains(url))
            urls << url;
    }
    g_list_free_full(applications, gio().object_unref);
    cache.insert(key, urls);
    return urls;
}

QUrl defaultApplicationURLForExtension(const QString &extension)
{
    const QString key = normalizedExtension(extension);
    if (key.isEmpty() || !gio().isLoaded)
        return {};
    const QString type = contentTypeForExtension(key);
    GObjectPointer<GAppInfo> application(gio().app_info_get_default_for_type(type.toUtf8().constData(), false));
    const QString path = pathOfApplication(application.get());
    return path.isEmpty() ? QUrl() : QUrl::fromLocalFile(path);
}

QString defaultApplicationBundleIDForExtension(const QString &extension)
{
    const QString key = normalizedExtension(extension);
    if (key.isEmpty() || !gio().isLoaded)
        return {};
    const QString type = contentTypeForExtension(key);
    GObjectPointer<GAppInfo> application(gio().app_info_get_default_for_type(type.toUtf8().constData(), false));
    return application ? fromUtf8(gio().app_info_get_id(application.get())) : QString();
}

bool openViaWorkspace(const QUrl &url)
{
    if (url.isEmpty() || !url.isValid() || !gio().isLoaded)
        return false;
    GError *error = nullptr;
    if (gio().app_info_launch_default_for_uri(uriOf(url).constData(), nullptr, &error))
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
    const bool launched = gio().app_info_launch_uris(asAppInfo(application.get()), list, nullptr, &error);
    g_list_free(list);
    if (!launched)
        ZRLog(QStringLiteral("cannot open addresses with <%1>: %2").arg(applicationPath, takeError(error)));
    return launched;
}

} // namespace ZRExtensions
