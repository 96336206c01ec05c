// The process-wide cookie store: libcurl's cookie engine on a share handle, so every request
// reads and writes the same RFC 6265 jar.
#pragma once

#include <curl/curl.h>

#include <mutex>
#include <string>
#include <vector>

class ZRHTTPCookieStore {
public:
    // Thread-safe.
    static ZRHTTPCookieStore &sharedStore();

    // Request thread: lets the easy handle send the store's cookies for its URL and keep the ones
    // its responses set.
    void attachToHandle(CURL *handle);

    // Thread-safe: adds a cookie as a "Set-Cookie" line would for the URL's host ("Set-Cookie: a=b"
    // or a Netscape cookie-file line); returns whether the store took it.
    bool setCookieLine(const std::string &line);
    // Thread-safe: every cookie as a Netscape cookie-file line.
    std::vector<std::string> allCookieLines();
    // Thread-safe: forgets every cookie.
    void removeAllCookies();

    ZRHTTPCookieStore(const ZRHTTPCookieStore &) = delete;
    ZRHTTPCookieStore &operator=(const ZRHTTPCookieStore &) = delete;

private:
    ZRHTTPCookieStore();
    ~ZRHTTPCookieStore();

    static void lock(CURL *handle, curl_lock_data data, curl_lock_access access, void *store);
    static void unlock(CURL *handle, curl_lock_data data, void *store);

    CURLSH *_share = nullptr;
    std::mutex _locks[CURL_LOCK_DATA_LAST];
};
