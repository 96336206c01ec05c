// Engine callbacks for tests, as the application arranges them. Header-only: only tests that link
// the HTTP engine include it.
#pragma once

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRMainLoopCallbacks.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/http/ZRHTTPRequest.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMetaObject>

#include <functional>

namespace ZRTestSupport {

// Every engine callback is queued onto the main loop, in order, as the application queues them.
inline void queueEngineCallbacksOnMainLoop()
{
    ZRHTTPRequest::setCallbackExecutor(ZRMainLoopCallbacks::post);
}

// Arranges it before the first test of a program; with ZR_TEST_LOG set, the debug log goes to the
// standard error as well. Register with testing::AddGlobalTestEnvironment.
class QueuedEngineCallbacks : public testing::Environment {
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsSet("ZR_TEST_LOG")) {
            ZRLogSetEchoToStandardError(true);
            ZRUserDefaults::standardUserDefaults().setBool(true, QLatin1String(ZRDebugLogKey));
        }
        queueEngineCallbacksOnMainLoop();
    }
};

} // namespace ZRTestSupport
