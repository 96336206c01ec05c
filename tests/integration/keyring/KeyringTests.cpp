// The keyring against a real Secret Service: a session bus and gnome-keyring-daemon of the test's
// own (unlocked, in the test's temporary home). Credentials that a server accepted are saved and
// found again by a later run without asking; refused ones are not saved; without a service nothing
// is stored.
#include "app/platform/ZRSecretServiceKeyring.h"
#include "core/http/ZRHTTPAuthentication.h"
#include "core/http/ZRHTTPRequest.h"
#include "core/http/ZRHTTPRequestDelegate.h"
#include "core/http/ZRHTTPRequestQueue.h"
#include "tests/support/ZRTestEngineCallbacks.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>

namespace {

[[maybe_unused]] testing::Environment *const engineCallbacks =
    testing::AddGlobalTestEnvironment(new ZRTestSupport::QueuedEngineCallbacks);

// A session bus with an unlocked keyring on it, for the life of the test.
class SecretService {
public:
    static QString missingTool()
    {
        for (const char *tool : {"dbus-daemon", "gnome-keyring-daemon"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                return QLatin1String(tool);
        }
        return {};
    }
    bool start(QString *error)
    {
        const QString root = ZRTestSupport::sandboxRoot() + QStringLiteral("/keyring");
        QDir(root).removeRecursively();
        QDir().mkpath(root + QStringLiteral("/data"));
        QDir().mkpath(root + QStringLiteral("/runtime"));
        QFile::setPermissions(root + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString address = QStringLiteral("unix:path=") + root + QStringLiteral("/bus");
        _bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        _bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                      QStringLiteral("--address=") + address});
        if (!_bus.waitForStarted(5000) || !ZRTestSupport::waitUntil([&] { return QFile::exists(root + QStringLiteral("/bus")); }, 5000)) {
            *error = QStringLiteral("dbus-daemon did not start");
            return false;
        }
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.toLocal8Bit().constData(), 1);
        ::setenv("XDG_RUNTIME_DIR", (root + QStringLiteral("/runtime")).toLocal8Bit().constData(), 1);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
        _keyring.setProcessEnvironment(environment);
        _keyring.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        _keyring.start(QStringLiteral("gnome-keyring-daemon"),
            {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
        if (!_keyring.waitForStarted(5000)) {
            *error = QStringLiteral("gnome-keyring-daemon did not start");
            return false;
        }
        // The password of the new login keyring, which becomes the default one.
        _keyring.write("quorvel-test\n");
        _keyring.closeWriteChannel();
        QProcess probe;
        const bool owned = ZRTestSupport::waitUntil([&] {
            probe.start(QStringLiteral("dbus-send"), {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus.NameHasOwner"), QStringLiteral("string:org.freedesktop.secrets")});
            return probe.waitForFinished(3000) && probe.readAllStandardOutput().contains("true");
        }, 10000);
        if (!owned) {
            *error = QStringLiteral("gnome-keyring-daemon did not take org.freedesktop.secrets: ")
                + QString::fromLocal8Bit(_keyring.readAll());
            return false;
        }
        return true;
    }
    ~SecretService()
    {
        for (QProcess *process : {&_keyring, &_bus}) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(2000);
        }
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

private:
    QProcess _bus;
    QProcess _keyring;
};

class Delegate : public ZRHTTPRequestDelegate {
public:
    // Given in turn; then "cancel".
    std::vector<std::string> passwords;
    std::size_t asked = 0;
    bool done = false;
    void authenticationNeededForRequest(ZRHTTPRequest &request) override
    {
        if (asked >= passwords.size()) {
            ++asked;
            request.cancelAuthentication();
            return;
        }
        request.setUsername("user");
        request.setPassword(passwords[asked++]);
        request.retryUsingSuppliedCredentials();
    }
    bool respondsToAuthenticationNeeded() const override { return true; }
    void requestFinished(ZRHTTPRequest &) override { done = true; }
    void requestFailed(ZRHTTPRequest &) override { done = true; }
};

class KeyringTest : public testing::Test {
protected:
    void TearDown() override
    {
        ZRHTTPRequest::setCredentialStorage(nullptr);
        ZRHTTPCredentialStore::shared().removeAllForTesting();
    }
    // One run of the program: a new keyring connection and an empty session.
    std::shared_ptr<ZRHTTPRequest> download(const std::string &url, Delegate &delegate)
    {
        ZRHTTPCredentialStore::shared().removeAllForTesting();
        auto keyring = std::make_shared<ZRSecretServiceKeyring>();
        ZRHTTPRequest::setCredentialStorage(keyring);
        auto request = ZRHTTPRequest::requestWithURL(url);
        request->setUseKeychainPersistence(true);
        request->setDelegate(&delegate);
        request->startAsynchronous();
        EXPECT_TRUE(ZRTestSupport::waitUntil([&] { return delegate.done; }, 15000));
        return request;
    }
};

TEST_F(KeyringTest, acceptedCredentialsAreFoundByTheNextRunWithoutAQuestion)
{
    if (const QString tool = SecretService::missingTool(); !tool.isEmpty())
        GTEST_SKIP() << tool.toStdString() << " is not installed (scripts/deps.sh --test installs gnome-keyring)";
    ZRTestNginx nginx(ZRTestNginx::Options{20 * 1024 * 1024, false});
    ZR_START_NGINX_OR_SKIP(nginx);
    ASSERT_TRUE(nginx.addFile(QStringLiteral("private/kept.txt"), "kept"));
    SecretService service;
    QString error;
    ASSERT_TRUE(service.start(&error)) << error.toStdString();
    const std::string url = nginx.httpURLString("/private/kept.txt");

    // A refused password is not kept.
    Delegate wrong;
    wrong.passwords = {"wrong"};
    auto refused = download(url, wrong);
    ASSERT_TRUE(refused->error());
    EXPECT_EQ(refused->error()->code, 3);
    ZRSecretServiceKeyring reader;
    const std::string host = "127.0.0.1";
    EXPECT_FALSE(reader.savedCredentials(host, nginx.httpPort(), "http", "quorvel-private").has_value());

    Delegate first;
    first.passwords = {"secret"};
    auto accepted = download(url, first);
    ASSERT_FALSE(accepted->error()) << accepted->error()->localizedDescription;
    EXPECT_EQ(first.asked, 1u);
    const auto saved = reader.savedCredentials(host, nginx.httpPort(), "http", "quorvel-private");
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->username, "user");
    EXPECT_EQ(saved->password, "secret");

    // The next run: nobody is asked.
    Delegate second;
    auto again = download(url, second);
    EXPECT_FALSE(again->error());
    EXPECT_EQ(second.asked, 0u);
    EXPECT_TRUE(ZRTestSupport::waitUntil([] { return ZRHTTPRequest::sharedQueue().operationCount() == 0; }, 5000));
}

TEST_F(KeyringTest, withoutASecretServiceNothingIsStored)
{
    // A bus address that leads nowhere.
    const QString root = ZRTestSupport::sandboxRoot();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", (QStringLiteral("unix:path=") + root + QStringLiteral("/no-bus")).toLocal8Bit().constData(), 1);
    ZRSecretServiceKeyring keyring;
    keyring.saveCredentials(ZRHTTPCredentials{"user", "secret", ""}, "127.0.0.1", 80, "http", "r");
    EXPECT_FALSE(keyring.isAvailable());
    EXPECT_FALSE(keyring.savedCredentials("127.0.0.1", 80, "http", "r").has_value());
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

} // namespace
