// Credentials in the Secret Service through libsecret's synchronous calls.
#include "app/platform/ZRSecretServiceKeyring.h"

#include "core/foundation/ZRLog.h"

#include <libsecret/secret.h>

#include <QString>

namespace {

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
    if (error->domain == G_IO_ERROR)
        return true;
    return error->domain == G_DBUS_ERROR
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
    if (!_available)
        return;
    GHashTable *attributes = spaceAttributes(host, port, protocol, realm);
    g_hash_table_insert(attributes, const_cast<char *>("user"), g_strdup(credentials.username.c_str()));
    g_hash_table_insert(attributes, const_cast<char *>("domain"), g_strdup(credentials.domain.c_str()));
    // One entry per protection space: the new credentials replace the old ones.
    GHashTable *space = spaceAttributes(host, port, protocol, realm);
    GError *error = nullptr;
    secret_password_clearv_sync(credentialSchema(), space, nullptr, &error);
    g_hash_table_unref(space);
    if (error) {
        noteFailure("write to", isMissingService(error), error->code, error->message);
        g_error_free(error);
        g_hash_table_unref(attributes);
        return;
    }
    const std::string label = "Quorvel: " + credentials.username + " at " + host + (realm.empty() ? "" : " (" + realm + ")");
    secret_password_storev_sync(credentialSchema(), attributes, SECRET_COLLECTION_DEFAULT, label.c_str(),
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
    if (!_available)
        return std::nullopt;
    GError *error = nullptr;
    SecretService *service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (!service) {
        noteFailure("read", true, error ? error->code : 0, error ? error->message : "no service");
        if (error)
            g_error_free(error);
        return std::nullopt;
    }
    GHashTable *space = spaceAttributes(host, port, protocol, realm);
    GList *items = secret_service_search_sync(service, credentialSchema(), space,
        SecretSearchFlags(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS), nullptr, &error);
    g_hash_table_unref(space);
    std::optional<ZRHTTPCredentials> found;
    if (error) {
        noteFailure("read", isMissingService(error), error->code, error->message);
        g_error_free(error);
    } else if (items) {
        auto *item = static_cast<SecretItem *>(items->data);
        GHashTable *attributes = secret_item_get_attributes(item);
        SecretValue *secret = secret_item_get_secret(item);
        const char *user = attributes ? static_cast<const char *>(g_hash_table_lookup(attributes, "user")) : nullptr;
        const char *domain = attributes ? static_cast<const char *>(g_hash_table_lookup(attributes, "domain")) : nullptr;
        const char *password = secret ? secret_value_get_text(secret) : nullptr;
        if (user && password)
            found = ZRHTTPCredentials{user, password, domain ? domain : ""};
        if (secret)
            secret_value_unref(secret);
        if (attributes)
            g_hash_table_unref(attributes);
    }
    g_list_free_full(items, g_object_unref);
    g_object_unref(service);
    return found;
}

void ZRSecretServiceKeyring::removeCredentials(const std::string &host, int port, const std::string &protocol,
    const std::string &realm)
{
    std::lock_guard lock(_mutex);
    if (!_available)
        return;
    GHashTable *space = spaceAttributes(host, port, protocol, realm);
    GError *error = nullptr;
    secret_password_clearv_sync(credentialSchema(), space, nullptr, &error);
    g_hash_table_unref(space);
    if (error) {
        noteFailure("remove from", isMissingService(error), error->code, error->message);
        g_error_free(error);
    }
}
