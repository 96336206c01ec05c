// Answering a server's (401) or a proxy's (407) challenge: the credential map, the authentication
// object made from a challenge, and the class-wide stores of credentials that worked.
//
// The object is ours. Basic is computed here; Digest, NTLM and Negotiate are computed by libcurl on
// the stream that carries the answer: the object names exactly one scheme and the user and password
// for that stream, so libcurl never picks a scheme on its own.
#pragma once

#include "core/http/ZRHTTPHeaders.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A user name, a password and, for NTLM, an account domain. Shared and never changed once made: a
// session entry is found again by the identity of its credentials.
struct ZRHTTPCredentials {
    std::string username;
    std::string password;
    std::string domain;

    bool operator==(const ZRHTTPCredentials &other) const = default;
};
using ZRHTTPCredentialsPtr = std::shared_ptr<const ZRHTTPCredentials>;

namespace ZRHTTPAuthenticationScheme {
inline constexpr const char *basic = "Basic";
inline constexpr const char *digest = "Digest";
inline constexpr const char *ntlm = "NTLM";
inline constexpr const char *negotiate = "Negotiate";
} // namespace ZRHTTPAuthenticationScheme

// Why an authentication object stopped being valid.
enum ZRHTTPAuthenticationInvalidReason : int {
    ZRHTTPAuthenticationValid = 0,
    ZRHTTPAuthenticationBadUserName = -1001,
    ZRHTTPAuthenticationBadPassword = -1002,
    ZRHTTPAuthenticationUnsupported = -1000,
};

// Request thread (each object belongs to one request, under its lock; session entries share them
// under the store's lock).
class ZRHTTPAuthentication {
public:
    // From the challenge fields of a response ("WWW-Authenticate", or "Proxy-Authenticate" for a
    // proxy): the strongest scheme offered that we can answer. None when no challenge is usable.
    static std::shared_ptr<ZRHTTPAuthentication> authenticationFromResponseHeaders(const ZRHTTPHeaders &headers,
        bool proxy);
    // One challenge value parsed: the scheme offered and its parameters (names lower-cased).
    struct Challenge {
        std::string scheme;
        std::vector<std::pair<std::string, std::string>> parameters;
        std::string parameter(const std::string &name) const;
    };
    static std::vector<Challenge> challengesFromHeaderValue(const std::string &value);

    const std::string &scheme() const { return _scheme; }
    // None ("") for NTLM, whose challenges name no realm.
    const std::string &realm() const { return _realm; }
    bool isProxy() const { return _proxy; }
    bool isValid(int *reason = nullptr) const;
    bool requiresUsernameAndPassword() const;
    bool requiresAccountDomain() const;

    // Another challenge came after credentials were applied through this object: a stale Digest
    // nonce asks for the same credentials again; anything else means they were rejected.
    void challengeAfterCredentials(const ZRHTTPHeaders &headers);

    // What the stream must carry. Basic: the header value; the other schemes: libcurl's scheme bit
    // with the user and password, on the stream that got the challenge (which holds its nonce).
    struct Application {
        std::string headerValue;
        long curlScheme = 0;
        std::string username;
        std::string password;
    };
    // False when these credentials cannot be applied (no user name for a scheme that needs one).
    std::optional<Application> applicationForCredentials(const ZRHTTPCredentials &credentials) const;
    static std::string basicHeaderValue(const std::string &username, const std::string &password);

private:
    ZRHTTPAuthentication() = default;

    std::string _scheme;
    std::string _realm;
    bool _proxy = false;
    int _invalidReason = ZRHTTPAuthenticationValid;
};
using ZRHTTPAuthenticationPtr = std::shared_ptr<ZRHTTPAuthentication>;

// The credentials kept outside the process (the desktop's keyring). Any thread; may block briefly.
class ZRHTTPCredentialStorage {
public:
    virtual ~ZRHTTPCredentialStorage() = default;
    virtual void saveCredentials(const ZRHTTPCredentials &credentials, const std::string &host, int port,
        const std::string &protocol, const std::string &realm) = 0;
    virtual std::optional<ZRHTTPCredentials> savedCredentials(const std::string &host, int port,
        const std::string &protocol, const std::string &realm) = 0;
    virtual void removeCredentials(const std::string &host, int port, const std::string &protocol,
        const std::string &realm) = 0;
};

// The session stores: credentials that were applied, for later requests to the same site or proxy.
// They live until the process ends. Thread-safe (credentialStoreLock).
struct ZRHTTPSessionCredentials {
    ZRHTTPAuthenticationPtr authentication;
    ZRHTTPCredentialsPtr credentials;
    // Server entries.
    std::string url;
    std::string authenticationScheme;
    std::optional<std::string> authenticationRealm;
    // Proxy entries.
    std::string host;
    int port = 0;
};

class ZRHTTPCredentialStore {
public:
    static ZRHTTPCredentialStore &shared();

    std::vector<ZRHTTPSessionCredentials> sessionCredentialsStore() const;
    std::vector<ZRHTTPSessionCredentials> sessionProxyCredentialsStore() const;
    // An entry holding the identical credentials goes first.
    void storeAuthenticationCredentials(const ZRHTTPSessionCredentials &entry);
    void storeProxyAuthenticationCredentials(const ZRHTTPSessionCredentials &entry);
    void removeAuthenticationCredentials(const ZRHTTPCredentialsPtr &credentials);
    void removeProxyAuthenticationCredentials(const ZRHTTPCredentialsPtr &credentials);

    // The server entry for a request: the one for this very URL, else the first one for the same
    // scheme, host and port; an entry for another realm, or with other credentials than the
    // request's own, does not count.
    std::optional<ZRHTTPSessionCredentials> sessionCredentialsForURL(const std::string &url,
        const std::optional<std::string> &realm, const std::optional<ZRHTTPCredentials> &requestCredentials) const;
    std::optional<ZRHTTPSessionCredentials> sessionProxyCredentials(const std::string &host, int port) const;

    // The keyring, when the application installed one.
    void setCredentialStorage(std::shared_ptr<ZRHTTPCredentialStorage> storage);
    std::shared_ptr<ZRHTTPCredentialStorage> credentialStorage() const;

    // Tests: forget every entry.
    void removeAllForTesting();

    // Held while a request looks for credentials until it has applied some or asked its delegate,
    // so that the first of several requests challenged at once serves the others.
    std::recursive_mutex &credentialPromptLock() { return _promptLock; }

private:
    mutable std::recursive_mutex _lock;
    std::recursive_mutex _promptLock;
    std::vector<ZRHTTPSessionCredentials> _server;
    std::vector<ZRHTTPSessionCredentials> _proxy;
    std::shared_ptr<ZRHTTPCredentialStorage> _storage;
};
