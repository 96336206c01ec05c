// Downloads that a server challenges, end to end: the worker hands the request to the manager, the
// manager asks one question at a time through its prompter (here a script of answers), and the
// answer resumes every waiting download of the same site.
#include "core/download/ZRDownload.h"
#include "core/download/ZRHTTPAuthenticationManager.h"
#include "core/http/ZRHTTPAuthentication.h"
#include "tests/support/ZRTestDownloadFixture.h"
#include "tests/support/ZRTestEngineCallbacks.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QUrl>

#include <deque>

using ZRTestSupport::waitUntil;

namespace {

// Every string of a stored record, for looking for what must not be in it.
QString flattened(const QVariant &value)
{
    QString text;
    if (value.typeId() == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            text += it.key() + QLatin1Char('=') + flattened(it.value()) + QLatin1Char('\n');
    } else if (value.typeId() == QMetaType::QVariantList || value.typeId() == QMetaType::QStringList) {
        for (const QVariant &each : value.toList())
            text += flattened(each) + QLatin1Char('\n');
    } else {
        text = value.toString();
    }
    return text;
}

[[maybe_unused]] testing::Environment *const engineCallbacks =
    testing::AddGlobalTestEnvironment(new ZRTestSupport::QueuedEngineCallbacks);

class AuthenticationManagerTest : public ZRDownloadTestFixture<testing::Test> {
protected:
    void SetUp() override
    {
        ZRDownloadTestFixture::SetUp();
        ZR_START_NGINX_OR_SKIP(nginx);
        ASSERT_TRUE(nginx.addFile(QStringLiteral("private/a.txt"), "first file"));
        ASSERT_TRUE(nginx.addFile(QStringLiteral("private/b.txt"), "second file"));
        ZRHTTPCredentialStore::shared().removeAllForTesting();
        ZRHTTPAuthenticationManager::defaultManager().resetForTesting();
        // No keyring in these tests: nothing is stored beyond the session.
        set(ZRAuthenticationDefaultsKeys::StorePasswordsInKeychain, false);
        ZRHTTPAuthenticationManager::defaultManager().setPrompter([this](const ZRAuthenticationQuestion &question)
                                                                      -> std::optional<ZRAuthenticationAnswer> {
            questions.push_back(question);
            if (answers.empty())
                return std::nullopt;
            auto answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }
    void TearDown() override
    {
        ZRDownloadTestFixture::TearDown();
        ZRHTTPAuthenticationManager::defaultManager().setPrompter(nullptr);
        ZRHTTPAuthenticationManager::defaultManager().resetForTesting();
        ZRHTTPCredentialStore::shared().removeAllForTesting();
    }
    static std::optional<ZRAuthenticationAnswer> login(const char *password)
    {
        return ZRAuthenticationAnswer{QString(), QStringLiteral("user"), QString::fromUtf8(password), false};
    }
    QString privateURL(const char *name, const char *userInfo = nullptr) const
    {
        QUrl url(nginx.httpURL(QStringLiteral("/private/") + QLatin1String(name)));
        if (userInfo)
            url.setUserInfo(QLatin1String(userInfo));
        return url.toString();
    }
    bool finishes(const ZRDownloadPtr &download) const
    {
        return waitUntil([&] { return isFinished(download) || (download->status() == ZRDownloadStatusPaused
                                                                  && !download->isAutoResumeScheduled()); },
            15000);
    }

    ZRTestNginx nginx;
    std::vector<ZRAuthenticationQuestion> questions;
    std::deque<std::optional<ZRAuthenticationAnswer>> answers;
};

TEST_F(AuthenticationManagerTest, theAnswersDecideHowChallengedDownloadsEnd)
{
    struct Row {
        const char *name;
        const char *userInfo;
        std::vector<std::optional<ZRAuthenticationAnswer>> answers;
        std::size_t questions;
        bool completes;
    };
    const Row rows[] = {
        // Credentials in the address: nobody is asked.
        {"address", "user:secret", {}, 0, true},
        {"right", nullptr, {login("secret")}, 1, true},
        // A wrong password brings the question back.
        {"wrong then right", nullptr, {login("wrong"), login("secret")}, 2, true},
        // Cancel: "Authentication needed".
        {"cancel", nullptr, {std::nullopt}, 1, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        // Each row starts as a new run would: nothing learnt yet.
        ZRHTTPCredentialStore::shared().removeAllForTesting();
        ZRHTTPAuthenticationManager::defaultManager().resetForTesting();
        questions.clear();
        answers.assign(row.answers.begin(), row.answers.end());
        ZRDownloadPtr download = manager.enqueue(privateURL("a.txt", row.userInfo));
        ASSERT_TRUE(finishes(download)) << download->statusDescriptionWithFailureReason(false).toStdString();
        EXPECT_EQ(questions.size(), row.questions);
        if (row.completes) {
            EXPECT_EQ(download->status(), ZRDownloadStatusComplete)
                << download->statusDescriptionWithFailureReason(false).toStdString();
            EXPECT_EQ(ZRTestSupport::readFile(download->path()), QByteArray("first file"));
        } else {
            EXPECT_NE(download->status(), ZRDownloadStatusComplete);
            EXPECT_TRUE(download->statusDescriptionWithFailureReason(false).contains(QStringLiteral("Authentication needed")))
                << download->statusDescriptionWithFailureReason(false).toStdString();
        }
        for (const ZRAuthenticationQuestion &question : questions) {
            EXPECT_EQ(question.host, QStringLiteral("127.0.0.1"));
            EXPECT_EQ(question.realm, QStringLiteral("quorvel-private"));
            EXPECT_EQ(question.explanation,
                QStringLiteral("You need to log in before downloading \"a.txt\" from \"quorvel-private\"."));
            EXPECT_EQ(question.securityInfo, QStringLiteral("Your password will be submitted as plain text."));
            EXPECT_FALSE(question.showsDomain);
        }
        manager.downloads.clear();
    }
}

TEST_F(AuthenticationManagerTest, twoDownloadsFromTheSameSiteShareOneQuestion)
{
    answers.push_back(login("secret"));
    ZRDownloadPtr first = manager.enqueue(privateURL("a.txt"));
    ZRDownloadPtr second = manager.enqueue(privateURL("b.txt"));
    ASSERT_TRUE(finishes(first));
    ASSERT_TRUE(finishes(second));
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_EQ(first->status(), ZRDownloadStatusComplete);
    EXPECT_EQ(second->status(), ZRDownloadStatusComplete);
    EXPECT_EQ(ZRTestSupport::readFile(second->path()), QByteArray("second file"));
    // What the user typed is not written anywhere: not in the downloads' stored settings.
    for (const ZRDownloadPtr &download : {first, second})
        EXPECT_FALSE(flattened(download->userSettingsArchiveWithPausedStatus(false, false)).contains(QStringLiteral("secret")));
}

} // namespace
