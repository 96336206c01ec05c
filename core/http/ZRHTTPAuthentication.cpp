// Challenges, the authentication object and the session credential stores.
#include "core/http/ZRHTTPAuthentication.h"

#include "core/http/ZRHTTPURL.h"

#include <curl/curl.h>

#include <algorithm>

namespace {

bool isTokenCharacter(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool curlHasFeature(int feature)
{
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    return info && (info->features & feature);
}

// Lower is preferred: the strongest scheme that takes a password, Negotiate only when alone, since
// without a Kerberos ticket it cannot succeed and would shut out a password the user has.
int schemeRank(const std::string &scheme)
{
    const std::string lower = ZRHTTPHeaderFields::lowercased(scheme);
    if (lower == "digest")
        return 0;
    if (lower == "ntlm" && curlHasFeature(CURL_VERSION_NTLM))
        return 1;
    if (lower == "basic")
        return 2;
    if (lower == "negotiate" && curlHasFeature(CURL_VERSION_SPNEGO))
        return 3;
    return -1;
}

std::string canonicalScheme(const std::string &scheme)
{
    const std::string lower = ZRHTTPHeaderFields::lowercased(scheme);
    if (lower == "digest")
        return ZRHTTPAuthenticationScheme::digest;
    if (lower == "ntlm")
        return ZRHTTPAuthenticationScheme::ntlm;
    if (lower == "negotiate")
        return ZRHTTPAuthenticationScheme::negotiate;
    return ZRHTTPAuthenticationScheme::basic;
}

std::string base64(const std::string &bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string result;
    result.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t index = 0;
    for (; index + 2 < bytes.size(); index += 3) {
        const unsigned value = (unsigned char)bytes[index] << 16 | (unsigned char)bytes[index + 1] << 8
            | (unsigned char)bytes[index + 2];
        for (int shift : {18, 12, 6, 0})
            result += alphabet[(value >> shift) & 63];
    }
    if (index + 1 == bytes.size()) {
        const unsigned value = (unsigned char)bytes[index] << 16;
        result += alphabet[(value >> 18) & 63];
        result += alphabet[(value >> 12) & 63];
        result += "==";
    } else if (index + 2 == bytes.size()) {
        const unsigned value = (unsigned char)bytes[index] << 16 | (unsigned char)bytes[index + 1] << 8;
        result += alphabet[(value >> 18) & 63];
        result += alphabet[(value >> 12) & 63];
        result += alphabet[(value >> 6) & 63];
        result += '=';
    }
    return result;
}

} // namespace

// MARK: - Challenges

std::string ZRHTTPAuthentication::Challenge::parameter(const std::string &name) const
{
    for (const auto &[key, value] : parameters) {
        if (key == name)
            return value;
    }
    return {};
}

std::vector<ZRHTTPAuthentication::Challenge> ZRHTTPAuthentication::challengesFromHeaderValue(const std::string &value)
{
    // challenge = scheme [ 1*SP ( token68 / #auth-param ) ], several joined by commas.
    std::vector<Challenge> challenges;
    std::size_t at = 0;
    const std::size_t size = value.size();
    auto skipBlanks = [&] {
        while (at < size && isBlank(value[at]))
            ++at;
    };
    auto readToken = [&] {
        const std::size_t start = at;
        while (at < size && isTokenCharacter(value[at]))
            ++at;
        return value.substr(start, at - start);
    };
    while (at < size) {
        skipBlanks();
        if (at < size && value[at] == ',') {
            ++at;
            continue;
        }
        const std::size_t itemStart = at;
        std::string token = readToken();
        if (token.empty()) {
            // Nothing we understand: skip to the next item.
            while (at < size && value[at] != ',')
                ++at;
            continue;
        }
        skipBlanks();
        if (at < size && value[at] == '=' && !challenges.empty()) {
            // An auth-param of the challenge before.
            ++at;
            skipBlanks();
            std::string parameterValue;
            if (at < size && value[at] == '"') {
                ++at;
                while (at < size && value[at] != '"') {
                    if (value[at] == '\\' && at + 1 < size)
                        ++at;
                    parameterValue += value[at++];
                }
                if (at < size)
                    ++at;
            } else {
                const std::size_t start = at;
                while (at < size && value[at] != ',' && !isBlank(value[at]))
                    ++at;
                parameterValue = value.substr(start, at - start);
            }
            challenges.back().parameters.emplace_back(ZRHTTPHeaderFields::lowercased(token), parameterValue);
            continue;
        }
        if (at < size && value[at] == '=') {
            // A parameter without a scheme before it.
            at = itemStart;
            while (at < size && value[at] != ',')
                ++at;
            continue;
        }
        challenges.push_back(Challenge{token, {}});
        // A token68 (NTLM and Negotiate tokens): kept as the parameter "".
        const std::size_t start = at;
        while (at < size && value[at] != ',' && !isBlank(value[at]) && value[at] != '=')
            ++at;
        while (at < size && value[at] == '=')
            ++at;
        if (at > start) {
            std::size_t after = at;
            while (after < size && isBlank(value[after]))
                ++after;
            if (after >= size || value[after] == ',') {
                challenges.back().parameters.emplace_back(std::string(), value.substr(start, at - start));
            } else {
                // It was the first parameter's name.
                at = start;
            }
        }
    }
    return challenges;
}

// MARK: - The authentication object

std::shared_ptr<ZRHTTPAuthentication> ZRHTTPAuthentication::authenticationFromResponseHeaders(
    const ZRHTTPHeaders &headers, bool proxy)
{
    const auto field = headers.find(proxy ? "Proxy-Authenticate" : "WWW-Authenticate");
    if (field == headers.end())
        return nullptr;
    const Challenge *best = nullptr;
    int bestRank = 0;
    const auto challenges = challengesFromHeaderValue(field->second);
    for (const Challenge &challenge : challenges) {
        const int rank = schemeRank(challenge.scheme);
        if (rank >= 0 && (!best || rank < bestRank)) {
            best = &challenge;
            bestRank = rank;
        }
    }
    if (!best)
        return nullptr;
    std::shared_ptr<ZRHTTPAuthentication> authentication(new ZRHTTPAuthentication());
    authentication->_scheme = canonicalScheme(best->scheme);
    authentication->_proxy = proxy;
    if (authentication->_scheme != ZRHTTPAuthenticationScheme::ntlm)
        authentication->_realm = best->parameter("realm");
    return authentication;
}

bool ZRHTTPAuthentication::isValid(int *reason) const
{
    if (reason)
        *reason = _invalidReason;
    return _invalidReason == ZRHTTPAuthenticationValid;
}

bool ZRHTTPAuthentication::requiresUsernameAndPassword() const
{
    return _scheme != ZRHTTPAuthenticationScheme::negotiate;
}

bool ZRHTTPAuthentication::requiresAccountDomain() const
{
    return _scheme == ZRHTTPAuthenticationScheme::ntlm;
}

void ZRHTTPAuthentication::challengeAfterCredentials(const ZRHTTPHeaders &headers)
{
    if (_scheme == ZRHTTPAuthenticationScheme::digest) {
        const auto field = headers.find(_proxy ? "Proxy-Authenticate" : "WWW-Authenticate");
        if (field != headers.end()) {
            for (const Challenge &challenge : challengesFromHeaderValue(field->second)) {
                if (ZRHTTPHeaderFields::lowercased(challenge.scheme) == "digest"
                    && ZRHTTPHeaderFields::lowercased(challenge.parameter("stale")) == "true")
                    return;
            }
        }
    }
    // Without a ticket that works there is nothing a user could type.
    _invalidReason = _scheme == ZRHTTPAuthenticationScheme::negotiate ? ZRHTTPAuthenticationUnsupported
                                                                      : ZRHTTPAuthenticationBadPassword;
}

std::string ZRHTTPAuthentication::basicHeaderValue(const std::string &username, const std::string &password)
{
    return "Basic " + base64(username + ":" + password);
}

std::optional<ZRHTTPAuthentication::Application> ZRHTTPAuthentication::applicationForCredentials(
    const ZRHTTPCredentials &credentials) const
{
    if (!isValid())
        return std::nullopt;
    Application application;
    if (_scheme == ZRHTTPAuthenticationScheme::negotiate) {
        // The ticket cache answers; libcurl needs a user name set, even an empty one.
        application.curlScheme = CURLAUTH_NEGOTIATE;
        return application;
    }
    if (credentials.username.empty())
        return std::nullopt;
    // A CR or LF would end the field early.
    for (const std::string *text : {&credentials.username, &credentials.password, &credentials.domain}) {
        if (text->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            return std::nullopt;
    }
    if (_scheme == ZRHTTPAuthenticationScheme::basic) {
        application.headerValue = basicHeaderValue(credentials.username, credentials.password);
        return application;
    }
    application.curlScheme = _scheme == ZRHTTPAuthenticationScheme::ntlm ? CURLAUTH_NTLM : CURLAUTH_DIGEST;
    application.username = credentials.domain.empty() || _scheme != ZRHTTPAuthenticationScheme::ntlm
        ? credentials.username
        : credentials.domain + "\\" + credentials.username;
    application.password = credentials.password;
    return application;
}

// MARK: - Session stores

ZRHTTPCredentialStore &ZRHTTPCredentialStore::shared()
{
    static ZRHTTPCredentialStore store;
    return store;
}

std::vector<ZRHTTPSessionCredentials> ZRHTTPCredentialStore::sessionCredentialsStore() const
{
    std::lock_guard lock(_lock);
    return _server;
}

std::vector<ZRHTTPSessionCredentials> ZRHTTPCredentialStore::sessionProxyCredentialsStore() const
{
    std::lock_guard lock(_lock);
    return _proxy;
}

namespace {

void removeHolding(std::vector<ZRHTTPSessionCredentials> &entries, const ZRHTTPCredentialsPtr &credentials)
{
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                      [&](const ZRHTTPSessionCredentials &entry) { return entry.credentials == credentials; }),
        entries.end());
}

} // namespace

void ZRHTTPCredentialStore::storeAuthenticationCredentials(const ZRHTTPSessionCredentials &entry)
{
    std::lock_guard lock(_lock);
    removeHolding(_server, entry.credentials);
    _server.push_back(entry);
}

void ZRHTTPCredentialStore::storeProxyAuthenticationCredentials(const ZRHTTPSessionCredentials &entry)
{
    std::lock_guard lock(_lock);
    removeHolding(_proxy, entry.credentials);
    _proxy.push_back(entry);
}

void ZRHTTPCredentialStore::removeAuthenticationCredentials(const ZRHTTPCredentialsPtr &credentials)
{
    std::lock_guard lock(_lock);
    removeHolding(_server, credentials);
}

void ZRHTTPCredentialStore::removeProxyAuthenticationCredentials(const ZRHTTPCredentialsPtr &credentials)
{
    std::lock_guard lock(_lock);
    removeHolding(_proxy, credentials);
}

std::optional<ZRHTTPSessionCredentials> ZRHTTPCredentialStore::sessionCredentialsForURL(const std::string &url,
    const std::optional<std::string> &realm, const std::optional<ZRHTTPCredentials> &requestCredentials) const
{
    const auto parts = ZRHTTPURL::partsOfURL(url);
    std::lock_guard lock(_lock);
    auto acceptable = [&](const ZRHTTPSessionCredentials &entry) {
        if (realm && !realm->empty() && entry.authenticationRealm.value_or(std::string()) != *realm)
            return false;
        if (requestCredentials && entry.credentials
            && (entry.credentials->username != requestCredentials->username
                || entry.credentials->password != requestCredentials->password))
            return false;
        return true;
    };
    const ZRHTTPSessionCredentials *candidate = nullptr;
    for (const ZRHTTPSessionCredentials &entry : _server) {
        if (!acceptable(entry))
            continue;
        const std::string entryURL = ZRHTTPURL::urlWithoutCredentials(entry.url);
        if (entryURL == ZRHTTPURL::urlWithoutCredentials(url))
            return entry;
        if (candidate || !parts)
            continue;
        const auto entryParts = ZRHTTPURL::partsOfURL(entryURL);
        if (entryParts && entryParts->scheme == parts->scheme && entryParts->port == parts->port
            && ZRHTTPHeaderFields::lowercased(entryParts->host) == ZRHTTPHeaderFields::lowercased(parts->host))
            candidate = &entry;
    }
    if (candidate)
        return *candidate;
    return std::nullopt;
}

std::optional<ZRHTTPSessionCredentials> ZRHTTPCredentialStore::sessionProxyCredentials(const std::string &host,
    int port) const
{
    std::lock_guard lock(_lock);
    for (const ZRHTTPSessionCredentials &entry : _proxy) {
        if (entry.host == host && entry.port == port)
            return entry;
    }
    return std::nullopt;
}

void ZRHTTPCredentialStore::setCredentialStorage(std::shared_ptr<ZRHTTPCredentialStorage> storage)
{
    std::lock_guard lock(_lock);
    _storage = std::move(storage);
}

std::shared_ptr<ZRHTTPCredentialStorage> ZRHTTPCredentialStore::credentialStorage() const
{
    std::lock_guard lock(_lock);
    return _storage;
}

void ZRHTTPCredentialStore::removeAllForTesting()
{
    std::lock_guard lock(_lock);
    _server.clear();
    _proxy.clear();
}
