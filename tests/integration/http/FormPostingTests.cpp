// The synchronous page fetch: redirects followed with the final address handed back, bodies
// decoded and bounded, failures logged; and the multipart form it posts.
#include "HTTPTestSupport.h"

#include "core/http/ZRHTTPFormPosting.h"
#include "tests/support/ZRTestScriptedServer.h"

using namespace ZRHTTPFormPosting;

namespace
{

class FormPostingTest : public ScriptedServerTest
{
};

TEST_F(FormPostingTest, FetchesFollowingRedirectsAndTellsTheFinalAddress)
{
    struct Row {
        std::string path;
        std::optional<std::string> body; // none: the fetch fails
        std::string finalPath;
        std::size_t limit = DefaultMaximumBodySize;
    };
    const std::string gzipText = ZRTestScriptedServer::gzipPlainText(3000).toStdString();
    const std::string pattern = ZRTestScriptedServer::patternBytes(0, 2000).toStdString();
    const Row rows[] = {
        {"/redirect/3", std::string("done"), "/redirect/0"},
        {"/redirect-to?url=/status/404%3Fbody%3Dmissing", std::string("missing"), "/status/404?body=missing"},
        {"/gzip?size=3000&bytewise=0", gzipText, "/gzip?size=3000&bytewise=0"},
        {"/bytes?size=2000", pattern, "/bytes?size=2000"},
        {"/bytes?size=2000", std::nullopt, "", 1000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        std::vector<std::string> lines;
        std::string finalURL = "unset";
        const std::optional<std::string> body = dataByPostingForm(
            url(row.path), nullptr, &finalURL, [&](const std::string &line) { lines.push_back(line); },
            row.limit);
        EXPECT_EQ(body, row.body);
        if (row.body) {
            EXPECT_EQ(finalURL, url(row.finalPath));
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].rfind("cannot load data from: " + url(row.path) + "\nerror: ", 0), 0u)
                << lines[0];
        }
    }
}

TEST_F(FormPostingTest, AnUnreachableHostGivesNothingAndALogLine)
{
    std::vector<std::string> lines;
    EXPECT_FALSE(dataByPostingForm("http://127.0.0.1:9/page", nullptr, nullptr,
                                   [&](const std::string &line) { lines.push_back(line); }));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\nresponse: (none)"), std::string::npos) << lines[0];
    // Only web addresses are fetched.
    EXPECT_FALSE(dataByPostingForm("file:///etc/hostname", nullptr));
}

TEST_F(FormPostingTest, AFormIsPostedAsMultipartData)
{
    const Form form{{"name", "Ann"}, {"note", "a\r\nb"}};
    const URLRequest request = URLRequestForPostingForm("http://h/", &form);
    ASSERT_EQ(request.method, "POST");
    ASSERT_EQ(request.headerFields.size(), 1u);
    const std::string contentType = request.headerFields[0].second;
    ASSERT_EQ(contentType.rfind("multipart/form-data; boundary=", 0), 0u);
    const std::string boundary = contentType.substr(contentType.find('=') + 1);
    EXPECT_EQ(request.body,
              "--" + boundary + "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nAnn\r\n--" +
                  boundary + "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\na\r\nb\r\n--" +
                  boundary + "--\r\n");
    EXPECT_EQ(request.timeOutSeconds, 60);
    const Form empty;
    EXPECT_EQ(URLRequestForPostingForm("http://h/", &empty).method, "GET");
    EXPECT_TRUE(URLRequestForPostingForm("http://h/", nullptr).body.empty());

    // The server sees the POST and its type.
    const std::optional<std::string> echoed = dataBySynchronouslyPostingToURL(form, url("/echo"));
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->rfind("POST /echo HTTP/1.1\r\n", 0), 0u) << *echoed;
    EXPECT_NE(echoed->find("multipart/form-data; boundary="), std::string::npos);
    EXPECT_EQ(stringBySynchronouslyPostingToURL({}, url("/bytes?size=300")), std::nullopt); // not UTF-8
}

} // namespace
