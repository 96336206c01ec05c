// What a request tells its delegate. Every call arrives on the caller's thread, through the
// callback executor, in the order the request queued them.
#pragma once

#include "core/http/ZRHTTPHeaders.h"

#include <memory>
#include <string>

class ZRHTTPRequest;

// Caller's thread (the main thread in the application), except the respondsTo...() questions: the
// request thread asks them while it holds the request's lock, so they must return constants.
// Call clearDelegatesAndCancel() on a request before its delegate goes away.
class ZRHTTPRequestDelegate {
public:
    virtual ~ZRHTTPRequestDelegate() = default;

    // A connection is being started (also for every redirect and retry).
    virtual void requestStarted(ZRHTTPRequest &) {}
    // The header of a response is complete, redirect and 401/407 responses included.
    virtual void requestDidReceiveResponseHeaders(ZRHTTPRequest &, const ZRHTTPHeaders &) {}
    // A redirect response has been recognised.
    virtual void requestRedirected(ZRHTTPRequest &) {}
    // Body bytes as read, before any inflation, when respondsToDidReceiveData(); the engine then
    // neither keeps the body in memory nor writes it to a file.
    virtual void requestDidReceiveData(ZRHTTPRequest &, const std::string &) {}
    // The same bytes, shared, as the engine delivers them: a delegate that keeps them a while takes
    // a reference instead of a copy. By default they go to requestDidReceiveData().
    virtual void requestDidReceiveSharedData(ZRHTTPRequest &request, const std::shared_ptr<const std::string> &data)
    {
        requestDidReceiveData(request, *data);
    }
    virtual bool respondsToDidReceiveData() const { return false; }
    // When respondsToWillRedirect(): the redirect response is over and the request waits until the
    // delegate calls redirectToURL() or cancels it.
    virtual void requestWillRedirectToURL(ZRHTTPRequest &, const std::string &) {}
    virtual bool respondsToWillRedirect() const { return false; }
    // When respondsToAuthenticationNeeded(): the server (401) or the proxy (407) asks for credentials;
    // the request waits until it is given them or cancelled. Otherwise it fails with code 3.
    virtual void authenticationNeededForRequest(ZRHTTPRequest &) {}
    virtual void proxyAuthenticationNeededForRequest(ZRHTTPRequest &) {}
    virtual bool respondsToAuthenticationNeeded() const { return false; }
    virtual void requestFinished(ZRHTTPRequest &) {}
    // The request's error() holds the reason.
    virtual void requestFailed(ZRHTTPRequest &) {}
};
