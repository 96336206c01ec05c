// A download that posts form data, from the command-line arguments to what the server receives:
// the body and its length go out on the first request and on a redirect that keeps the method,
// and a posted download is never split over several connections.
#include "HTTPTestSupport.h"

#include "app/control/ZRMainController.h"
#include "app/control/ZRScriptArgumentKeys.h"
#include "core/download/ZRDownload.h"
#include "core/download/ZRDownloadKeys.h"
#include "tests/support/ZRTestDownloadFixture.h"

#include <QDir>
#include <QFile>

namespace {

class PostDownloadTest : public ZRDownloadTestFixture<testing::Test> {
protected:
    void SetUp() override
    {
        ZRDownloadTestFixture::SetUp();
        installQtCallbackExecutor();
        server = sharedScriptedServer();
        if (!server)
            GTEST_SKIP() << "the scripted server cannot run here (python3 missing?)";
        set(QStringLiteral("Throttle: Supported"), true);
    }

    // The download of the address with the request that "--post DATA" makes, run to its end.
    ZRDownloadPtr post(const std::string &path)
    {
        const auto request = ZRMainController::requestDictionaryFromAppleScriptArguments(
            {{ZRScriptArgumentKey::ByPostingData, QStringLiteral("a=1&b=two")}}, nullptr);
        EXPECT_TRUE(request);
        ZRDownloadPtr download = manager.enqueue(server->url(QString::fromStdString(path)));
        download->userSettings().insert(ZRDownloadKeys::Request, request.value_or(QVariantMap()));
        EXPECT_TRUE(ZRTestSupport::waitUntil([&] { return isFinished(download); }, 15000));
        return download;
    }

    // The one file in the download folder, removed after reading.
    QByteArray takeDownloadedFile()
    {
        const QStringList files = QDir(downloadsFolder.path()).entryList(QDir::Files);
        EXPECT_EQ(files.size(), 1) << files.join(u' ').toStdString();
        if (files.isEmpty())
            return {};
        const QByteArray bytes = ZRTestSupport::readFile(downloadsPath(files.first()));
        QFile::remove(downloadsPath(files.first()));
        return bytes;
    }

    // The body of a plain GET on the scripted server.
    std::string fetch(const std::string &path)
    {
        RecordingDelegate delegate;
        auto request = ZRHTTPRequest::requestWithURL(server->urlString(path));
        request->setDelegate(&delegate);
        request->startAsynchronous();
        EXPECT_TRUE(ZRTestSupport::waitUntil([&] { return delegate.done(); }, 10000));
        return delegate.body;
    }

    ZRTestScriptedServer *server = nullptr;
};

TEST_F(PostDownloadTest, theBodyGoesOutFirstAndAgainWhereTheMethodIsKept)
{
    struct Row {
        std::string path;
        bool posted; // what the last request was
    };
    const Row rows[] = {
        {"/echo", true},
        {"/redirect-to?status=307&url=/echo", true},
        {"/redirect-to?status=308&url=/echo", true},
        {"/redirect-to?status=303&url=/echo", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        const ZRDownloadPtr download = post(row.path);
        ASSERT_EQ(download->status(), ZRDownloadStatusComplete);
        const std::string sent = takeDownloadedFile().toStdString();
        ASSERT_GE(sent.size(), 13u);
        if (row.posted) {
            EXPECT_EQ(sent.rfind("POST /echo HTTP/1.1\r\n", 0), 0u) << sent;
            EXPECT_NE(sent.find("\r\nContent-Length: 9\r\n"), std::string::npos) << sent;
            EXPECT_NE(sent.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
            EXPECT_EQ(sent.substr(sent.size() - 13), "\r\n\r\na=1&b=two") << sent;
        } else {
            EXPECT_EQ(sent.rfind("GET /echo HTTP/1.1\r\n", 0), 0u) << sent;
            EXPECT_EQ(sent.find("a=1&b=two"), std::string::npos) << sent;
        }
    }
}

TEST_F(PostDownloadTest, aPostedDownloadIsNotSplit)
{
    set(QStringLiteral("Acceleration: Enabled"), true);
    set(QStringLiteral("Acceleration: Channels"), 4);
    fetch("/reset");
    const ZRDownloadPtr download = post("/range?size=2000000");
    ASSERT_EQ(download->status(), ZRDownloadStatusComplete);
    EXPECT_TRUE(takeDownloadedFile() == ZRTestScriptedServer::patternBytes(0, 2000000));
    // One request for the file, the posted one: no range requests for parts of it.
    const std::string log = fetch("/requests");
    std::size_t forTheFile = 0;
    for (std::size_t at = log.find("/range"); at != std::string::npos; at = log.find("/range", at + 1))
        ++forTheFile;
    EXPECT_EQ(forTheFile, 1u) << log;
    EXPECT_NE(log.find(" POST /range?size=2000000\n"), std::string::npos) << log;
    EXPECT_FALSE(download->userSettings().contains(ZRDownloadKeys::AccelerationWorkers));
}

} // namespace
