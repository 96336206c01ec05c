// Engine callbacks for tests, as the application arranges them. Header-only: only tests that link
// the HTTP engine include it.
#pragma once

#include "core/http/ZRHTTPRequest.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <functional>

namespace ZRTestSupport {

// Every engine callback is queued onto the main loop, in order.
inline void queueEngineCallbacksOnMainLoop()
{
    ZRHTTPRequest::setCallbackExecutor([](std::function<void()> callback) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(callback), Qt::QueuedConnection);
    });
}

} // namespace ZRTestSupport
