// Request-body streams: reads held to the upload allowance, bytes counted as sent, files and curl glue.
#include "core/http/ZRHTTPInputStream.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <vector>

using namespace std::chrono_literals;

namespace {

class InputStreamTest : public ::testing::Test
{
protected:
    InputStreamTest()
        : bandwidth([this] { return now; })
    {
    }

    ZRHTTPInputStream::ThrottlingStep countingStep()
    {
        return [this] { ++throttlingSteps; };
    }

    ZRHTTPBandwidth::TimePoint start = ZRHTTPBandwidth::TimePoint(500s);
    ZRHTTPBandwidth::TimePoint now = start;
    ZRHTTPBandwidth bandwidth;
    int throttlingSteps = 0;
};

TEST_F(InputStreamTest, UnthrottledReadsTakeWhatIsAskedAndCountItAsSent)
{
    const std::string body(100000, 'b');
    auto stream = ZRHTTPInputStream::inputStreamWithData(body, countingStep(), bandwidth);
    ASSERT_TRUE(stream->open());
    std::vector<char> buffer(65536);
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 65536);
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 100000 - 65536);
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 0);
    EXPECT_EQ(stream->streamStatus(), ZRHTTPInputStream::Status::atEnd);
    EXPECT_EQ(bandwidth.bytesInCurrentWindow(), 100000u);
    EXPECT_EQ(throttlingSteps, 0) << "the throttling step only runs while throttled";
}

TEST_F(InputStreamTest, ThrottledReadsShrinkToTheAllowanceAndRunTheRequestsThrottlingStep)
{
    bandwidth.setMaxBandwidthPerSecond(100000);
    bandwidth.measureBandwidthUsage();
    const std::string body(300000, 'u');
    auto stream = ZRHTTPInputStream::inputStreamWithData(body, countingStep(), bandwidth);
    ASSERT_TRUE(stream->open());
    std::vector<char> buffer(65536);

    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 25000);
    EXPECT_EQ(stream->read(buffer.data(), 1000), 1000) << "a smaller request than the allowance stays";
    EXPECT_EQ(throttlingSteps, 2);
    bandwidth.incrementBandwidthUsedInLastSecond(64000); // 90000 in the window now
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 10000);
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 1) << "the window is used up: one byte at a time";
    EXPECT_EQ(bandwidth.throttleResumeTime(), start + 1s);

    // Nothing allowed and no room in the caller's buffer: never write past it.
    char guard[2] = {'g', 'g'};
    EXPECT_EQ(stream->read(guard, 0), 0);
    EXPECT_EQ(guard[0], 'g');

    // The next window gives a fresh allowance.
    now += 1s;
    bandwidth.measureBandwidthUsage();
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 25000);
    EXPECT_EQ(stream->offset(), 25000u + 1000 + 10000 + 1 + 25000);
}

TEST_F(InputStreamTest, FileBodiesReadSeekAndReportErrors)
{
    const QString path = ZRTestSupport::sandboxRoot() + QStringLiteral("/body.bin");
    ASSERT_TRUE(ZRTestSupport::writeFile(path, ZRTestScriptedServer::patternBytes(0, 5000)));
    auto stream = ZRHTTPInputStream::inputStreamWithFileAtPath(path.toStdString(), nullptr, bandwidth);
    EXPECT_EQ(stream->length(), 5000u);
    ASSERT_TRUE(stream->open());
    std::string bytes(5000, '\0');
    EXPECT_EQ(stream->read(bytes.data(), 3000), 3000);
    ASSERT_TRUE(stream->seekToOffset(1000)) << "a body is sent again from the start after a redirect";
    EXPECT_EQ(stream->read(bytes.data(), bytes.size()), 4000);
    EXPECT_EQ(bytes.substr(0, 4000), ZRTestScriptedServer::patternBytes(1000, 4000).toStdString());
    EXPECT_FALSE(stream->hasBytesAvailable());
    EXPECT_FALSE(stream->seekToOffset(5001));

    auto missing = ZRHTTPInputStream::inputStreamWithFileAtPath("/nonexistent/body", nullptr, bandwidth);
    EXPECT_FALSE(missing->open());
    EXPECT_EQ(missing->streamStatus(), ZRHTTPInputStream::Status::error);
    ASSERT_TRUE(missing->streamError());
    EXPECT_EQ(missing->streamError()->code, ENOENT);
    char byte = 0;
    EXPECT_EQ(missing->read(&byte, 1), -1);
}

size_t collect(char *data, size_t size, size_t count, void *target)
{
    static_cast<std::string *>(target)->append(data, size * count);
    return size * count;
}

TEST_F(InputStreamTest, CurlSendsTheWholeBodyThroughTheCallbacksAgainAfterA307)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    const std::string body = ZRTestScriptedServer::patternBytes(0, 200000).toStdString();
    auto stream = ZRHTTPInputStream::inputStreamWithData(body, countingStep(), bandwidth);

    CURL *curl = curl_easy_init();
    std::string answer;
    // A 307 makes curl rewind the body through the seek callback and send it again.
    const std::string url = server.urlString("/redirect-to?status=307&url=/echo");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ZRHTTPInputStream::curlReadCallback);
    curl_easy_setopt(curl, CURLOPT_READDATA, stream.get());
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, ZRHTTPInputStream::curlSeekCallback);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, stream.get());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
    curl_easy_cleanup(curl);
    ASSERT_GE(answer.size(), body.size());
    EXPECT_EQ(answer.rfind("POST /echo HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(answer.substr(answer.size() - body.size()), body);
    EXPECT_GE(bandwidth.bytesInCurrentWindow(), body.size());
}

} // namespace
