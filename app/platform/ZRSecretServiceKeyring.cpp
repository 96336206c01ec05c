// Credentials in the Secret Service through libsecret's synchronous calls.
#include "app/platform/ZRSecretServiceKeyring.h"

#include "core/foundation/ZRLog.h"

#include <libsecret/secret.h>

#include <QString>

#include <dlfcn.h>

#include <mutex>

namespace {

// libsecret (and with it GIO and GObject) is loaded on the first question to the keyring: most
// runs never meet a server that asks for a password.
struct Secret {
    bool isLoaded = false;
    decltype(&secret_password_clearv_sync) password_clearv_sync = nullptr;
    decltype(&secret_password_storev_sync) password_storev_sync = nullptr;
    decltype(&secret_service_get_sync) service_get_sync = nullptr;
    decltype(&secret_service_search_sync) service_search_sync = nullptr;
    decltype(&secret_item_get_attributes) item_get_attributes = nullptr;
    decltype(&secret_item_get_secret) item_get_secret = nullptr;
    decltype(&secret_value_get_text) value_get_text = nullptr;
    decltype(&secret_value_unref) value_unref = nullptr;
    decltype(&g_object_unref) object_unref = nullptr;
    decltype(&g_io_error_quark) io_error_quark = nullptr;
    decltype(&g_dbus_error_quark) dbus_error_quark = nullptr;
};

const Secret &secret()
{
    static Secret loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        void *library = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
        void *gio = library ? ::dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_LOCAL) : nullptr;
        void *objects = gio ? ::dlopen("libgobject-2.0.so.0", RTLD_NOW | RTLD_LOCAL) : nullptr;
        if (!objects) {
            ZRLog(QStringLiteral("cannot load libsecret (%1): passwords are not stored, only kept while the program runs")
                      .arg(QString::fromLocal8Bit(::dlerror())));
            return;
        }
        Secret s;
        bool complete = true;
        const auto resolve = [&](void *from, auto &function, const char *name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(from, name));
            complete = complete && function;
        };
        resolve(library, s.password_clearv_sync, "secret_password_clearv_sync");
        resolve(library, s.password_storev_sync, "secret_password_storev_sync");
        resolve(library, s.service_get_sync, "secret_service_get_sync");
        resolve(library, s.service_search_sync, "secret_service_search_sync");
        resolve(library, s.item_get_attributes, "secret_item_get_attributes");
        resolve(library, s.item_get_secret, "secret_item_get_secret");
        resolve(library, s.value_get_text, "secret_value_get_text");
        resolve(library, s.value_unref, "secret_value_unref");
        resolve(objects, s.object_unref, "g_object_unref");
        resolve(gio, s.io_error_quark, "g_io_error_quark");
        resolve(gio, s.dbus_error_quark, "g_dbus_error_quark");
        if (!complete) {
            ZRLog(QStringLiteral("cannot use libsecret: a function is missing; passwords are not stored"));
            return;
        }
        s.isLoaded = true;
        loaded = s;
    });
    return loaded;
}

const SecretSchema *credentialSchema()
{
    static const SecretSchema schema = {"com.tessaline.Quorvel.Credentials",
        SECRET_SCHEMA_NONE,
        {
            {"host", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"port", SECRET_SCHEMA_ATTRIBUTE_INTEGER},
            {"protocol", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"realm", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"domain", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}

// The attributes that name a protection space.
GHashTable *spaceAttributes(const std::string &host, int port, const std::string &protocol, const std::string &realm)
{
    GHashTable *attributes = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free);
    g_hash_table_insert(attributes, const_cast<char *>("host"), g_strdup(host.c_str()));
    g_hash_table_insert(attributes, const_cast<char *>("port"), g_strdup_printf("%d", port));
    g_hash_table_insert(attributes, const_cast<char *>("protocol"), g_strdup(protocol.c_str()));
    g_hash_table_insert(attributes, const_cast<char *>("realm"), g_strdup(realm.c_str()));
    return attributes;
}

// No bus, or nobody on it who keeps secrets: asking again would not help.
bool isMissingService(const GError *error)
{
    if (error->domain == secret().io_error_quark())
        return true;
    return error->domain == secret().dbus_error_quark()
        && (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN || error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER
            || error->code == G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND || error->code == G_DBUS_ERROR_SPAWN_EXEC_FAILED
            || error->code == G_DBUS_ERROR_NO_SERVER || error->code == G_DBUS_ERROR_FILE_NOT_FOUND);
}

} // namespace

ZRSecretServiceKeyring::ZRSecretServiceKeyring() = default;
ZRSecretServiceKeyring::~ZRSecretServiceKeyring() = default;

bool ZRSecretServiceKeyring::isAvailable() const
{
    std::lock_guard lock(_mutex);
    return _available;
}

void ZRSecretServiceKeyring::noteFailure(const char *what, int missingService, int code, const char *message)
{
    if (missingService)
        _available = false;
    if (_loggedFailure)
        return;
    _loggedFailure = true;
    if (missingService)
        ZRLog(QStringLiteral("cannot reach the keyring (Secret Service): passwords are not stored, only kept while the program runs (%1)")
                  .arg(QString::fromUtf8(message)));
    else
        ZRLog(QStringLiteral("cannot %1 the keyring: %2 (%3)").arg(QLatin1String(what), QString::fromUtf8(message)).arg(code));
}

void ZRSecretServiceKeyring::saveCredentials(const ZRHTTPCredentials &credentials, const std::string &host, int port,
    const std::string &protocol, const std::string &realm)
{
    std::lock_guard lock(_mutex);
    if (!_available || !secret().isLoaded)
        return;
    GHashTable *attributes = spaceAttributes(host, port, protocol, realm);
    g_hash_table_insert(attributes, const_cast<char *>("user"), g_strdup(credentials.username.c_str()));
    g_hash_table_insert(attributes, const_cast<char *>("domain"), g_strdup(credentials.domain.c_str()));
    // One entry per protection space: the new credentials replace the old ones.
    GHashTable *space = spaceAttributes(host, port, protocol, realm);
    GError *error = nullptr;
    secret().password_clearv_sync(credentialSchema(), space, nullptr, &error);
    g_hash_table_unref(space);
    if (error) {
        noteFailure("write to", isMissingService(error), error->code, error->message);
        g_error_free(error);
        g_hash_table_unref(attributes);
        return;
    }
    const std::string label = "Quorvel: " + credentials.username + " at " + host + (realm.empty() ? "" : " (" + realm + ")");
    secret().password_storev_sync(credentialSchema(), attributes, SECRET_COLLECTION_DEFAULT, label.c_str(),
        credentials.password.c_str(), nullptr, &error);
    g_hash_table_unref(attributes);
    if (error) {
        noteFailure("write to", isMissingService(error), error->code, error->message);
        g_error_free(error);
    }
}

std::optional<ZRHTTPCredentials> ZRSecretServiceKeyring::savedCredentials(const std::string &host, int port,
    const std::string &protocol, const std::string &realm)
{
    std::lock_guard lock(_mutex);
    if (!_available || !secret().isLoaded)
        return std::nullopt;
    GError *error = nullptr;
    SecretService *service = secret().service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (!service) {
        noteFailure("read", true, error ? error->code : 0, error ? error->message : "no service");
        if (error)
            g_error_free(error);
        return std::nullopt;
    }
    GHashTable *space = spaceAttributes(host, port, protocol, realm);
    GList *items = secret().service_search_sync(service, credentialSchema(), space,
        SecretSearchFlags(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS), nullptr, &error);
    g_hash_table_unref(space);
    std::optional<ZRHTTPCredentials> found;
    if (error) {
        noteFailure("read", isMissingService(error), error->code, error->message);
        g_error_free(error);
    } else if (items) {
        auto *item = static_cast<SecretItem *>(items->data);
        GHashTable *attributes = secret().item_get_attributes(item);
        SecretValue *value = secret().item_get_secret(item);
        const char *user = attributes ? static_cast<const char *>(g_hash_table_lookup(attributes, "user")) : nullptr;
        const char *domain = attributes ? static_cast<const char *>(g_hash_table_lookup(attributes, "domain")) : nullptr;
        const char *password = value ? secret().value_get_text(value) : nullptr;
        if (user && password)
            found = ZRHTTPCredentials{user, password, domain ? domain : ""};
        if (value)
            secret().value_unref(value);
        if (attributes)
            g_hash_table_unref(attributes);
    }
    g_list_free_full(items, secret().object_unref);
    secret().object_unref(service);
    return found;
}

void ZRSecretServiceKeyring::removeCredentials(const std::string &host, int port, const std::string &protocol,
    const std::string &realm)
{
    std::lock_guard lock(_mutex);
    if (!_available || !secret().isLoaded)
        return;
    GHashTable *space = spaceAttributes(host, port, protocol, realm);
    GError *error = nullptr;
    secret().password_clearv_sync(credentialSchema(), space, nullptr, &error);
    g_hash_table_unref(space);
    if (error) {
        noteFailure("remove from", isMissingService(error), error->code, error->message);
        g_error_free(error);
    }
}
