// The process-wide cookie store on a curl share handle.
#include "core/http/ZRHTTPCookieStore.h"

#include <memory>

namespace {

struct EasyHandleDeleter {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};

} // namespace

ZRHTTPCookieStore &ZRHTTPCookieStore::sharedStore()
{
    // Never destroyed: easy handles may still point at the share handle while the process exits.
    static ZRHTTPCookieStore *store = new ZRHTTPCookieStore();
    return *store;
}

ZRHTTPCookieStore::ZRHTTPCookieStore()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    _share = curl_share_init();
    curl_share_setopt(_share, CURLSHOPT_LOCKFUNC, &ZRHTTPCookieStore::lock);
    curl_share_setopt(_share, CURLSHOPT_UNLOCKFUNC, &ZRHTTPCookieStore::unlock);
    curl_share_setopt(_share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
}

ZRHTTPCookieStore::~ZRHTTPCookieStore()
{
    curl_share_cleanup(_share);
}

void ZRHTTPCookieStore::lock(CURL *, curl_lock_data data, curl_lock_access, void *store)
{
    static_cast<ZRHTTPCookieStore *>(store)->_locks[data].lock();
}

void ZRHTTPCookieStore::unlock(CURL *, curl_lock_data data, void *store)
{
    static_cast<ZRHTTPCookieStore *>(store)->_locks[data].unlock();
}

void ZRHTTPCookieStore::attachToHandle(CURL *handle)
{
    curl_easy_setopt(handle, CURLOPT_SHARE, _share);
    // An empty file name switches the cookie engine on without reading any file.
    curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "");
}

bool ZRHTTPCookieStore::setCookieLine(const std::string &line)
{
    std::unique_ptr<CURL, EasyHandleDeleter> handle(curl_easy_init());
    if (!handle)
        return false;
    attachToHandle(handle.get());
    return curl_easy_setopt(handle.get(), CURLOPT_COOKIELIST, line.c_str()) == CURLE_OK;
}

std::vector<std::string> ZRHTTPCookieStore::allCookieLines()
{
    std::vector<std::string> lines;
    std::unique_ptr<CURL, EasyHandleDeleter> handle(curl_easy_init());
    if (!handle)
        return lines;
    attachToHandle(handle.get());
    curl_slist *list = nullptr;
    if (curl_easy_getinfo(handle.get(), CURLINFO_COOKIELIST, &list) == CURLE_OK) {
        for (curl_slist *item = list; item; item = item->next)
            lines.emplace_back(item->data);
        curl_slist_free_all(list);
    }
    return lines;
}

void ZRHTTPCookieStore::removeAllCookies()
{
    std::unique_ptr<CURL, EasyHandleDeleter> handle(curl_easy_init());
    if (!handle)
        return;
    attachToHandle(handle.get());
    curl_easy_setopt(handle.get(), CURLOPT_COOKIELIST, "ALL");
}
