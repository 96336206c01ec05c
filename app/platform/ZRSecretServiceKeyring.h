// The keyring: credentials kept by the desktop's Secret Service (GNOME Keyring, KWallet...),
// found again by host, port, protocol and realm. Without a Secret Service nothing is stored, and
// the log says so once.
#pragma once

#include "core/http/ZRHTTPAuthentication.h"

#include <mutex>

// Thread-safe: the engine calls it on its request thread.
class ZRSecretServiceKeyring final : public ZRHTTPCredentialStorage {
public:
    ZRSecretServiceKeyring();
    ~ZRSecretServiceKeyring() override;

    void saveCredentials(const ZRHTTPCredentials &credentials, const std::string &host, int port,
        const std::string &protocol, const std::string &realm) override;
    std::optional<ZRHTTPCredentials> savedCredentials(const std::string &host, int port, const std::string &protocol,
        const std::string &realm) override;
    void removeCredentials(const std::string &host, int port, const std::string &protocol,
        const std::string &realm) override;

    // False once a call found no Secret Service.
    bool isAvailable() const;

private:
    // Logs the first failure; a missing service is not asked again.
    void noteFailure(const char *what, int domainIsDBus, int code, const char *message);

    mutable std::mutex _mutex;
    bool _available = true;
    bool _loggedFailure = false;
};
