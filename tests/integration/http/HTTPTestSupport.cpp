// Shared pieces of the engine's integration tests.
#include "HTTPTestSupport.h"

#include "core/http/ZRHTTPConnectionPool.h"
#include "tests/support/ZRTestEngineCallbacks.h"
#include "tests/support/ZRTestScriptedServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

namespace {

class ScriptedServerEnvironment : public testing::Environment {
public:
    void TearDown() override
    {
        delete server;
        server = nullptr;
    }
    ZRTestScriptedServer *server = nullptr;
    bool tried = false;
};

ScriptedServerEnvironment *const scriptedServerEnvironment = [] {
    auto *environment = new ScriptedServerEnvironment;
    testing::AddGlobalTestEnvironment(environment);
    return environment;
}();

} // namespace

ZRTestScriptedServer *sharedScriptedServer()
{
    if (!scriptedServerEnvironment->tried) {
        scriptedServerEnvironment->tried = true;
        auto *server = new ZRTestScriptedServer;
        if (!ZRTestScriptedServer::pythonPath().isEmpty() && server->start())
            scriptedServerEnvironment->server = server;
        else
            delete server;
    }
    return scriptedServerEnvironment->server;
}

void ScriptedServerTest::SetUp()
{
    HTTPEngineTest::SetUp();
    server = sharedScriptedServer();
    if (!server)
        GTEST_SKIP() << "the scripted server cannot run here (python3 missing?)";
}

void installQtCallbackExecutor()
{
    ZRTestSupport::queueEngineCallbacksOnMainLoop();
}

void HTTPEngineTest::SetUp()
{
    installQtCallbackExecutor();
    ZRHTTPRequest::setMaxBandwidthPerSecond(0);
    ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(4);
}

void HTTPEngineTest::TearDown()
{
    // Nothing of one test may still run in the next.
    EXPECT_TRUE(ZRTestSupport::waitUntil([] { return ZRHTTPRequest::sharedQueue().operationCount() == 0; }, 10000))
        << "requests still in the queue after the test";
    ZRTestSupport::processEventsFor(20);
}

bool HTTPEngineTest::runToEnd(const std::shared_ptr<ZRHTTPRequest> &request, RecordingDelegate &delegate,
    int timeoutMilliseconds)
{
    request->setDelegate(&delegate);
    request->startAsynchronous();
    return ZRTestSupport::waitUntil([&] { return delegate.done(); }, timeoutMilliseconds);
}

std::string HTTPEngineTest::errorMessage(const std::shared_ptr<ZRHTTPRequest> &request)
{
    const auto error = request->error();
    return error ? error->localizedDescription : std::string();
}

int HTTPEngineTest::errorCode(const std::shared_ptr<ZRHTTPRequest> &request)
{
    const auto error = request->error();
    return error ? error->code : 0;
}

HelperServer::HelperServer(const QString &mode) : _mode(mode) {}

HelperServer::~HelperServer()
{
    if (_process && _process->state() != QProcess::NotRunning) {
        _process->closeWriteChannel();
        if (!_process->waitForFinished(2000)) {
            _process->kill();
            _process->waitForFinished(5000);
        }
    }
}

bool HelperServer::start()
{
    _process = std::make_unique<QProcess>();
    _process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    _process->start(ZRTestScriptedServer::pythonPath(),
        {QStringLiteral("-u"), QStringLiteral(ZR_HTTP_TEST_DIR "/helper_servers.py"), _mode,
            _folder.filePath(QStringLiteral("log"))});
    if (!_process->waitForStarted(10000)) {
        _errorString = QStringLiteral("cannot start the helper server: ") + _process->errorString();
        return false;
    }
    QByteArray line;
    QDeadlineTimer deadline(10000);
    while (!line.contains('\n') && !deadline.hasExpired()) {
        if (!_process->waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            break;
        line += _process->readAll();
    }
    if (!line.startsWith("PORT ")) {
        _errorString = QStringLiteral("cannot read the helper server's port");
        return false;
    }
    _port = quint16(line.mid(5, line.indexOf('\n') - 5).trimmed().toUInt());
    return _port != 0;
}

QStringList HelperServer::logLines() const
{
    QFile file(_folder.filePath(QStringLiteral("log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
