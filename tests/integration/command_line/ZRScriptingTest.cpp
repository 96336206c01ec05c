// A running Quorvel on a session bus of the test's own: scripts hand it addresses and read its queue,
// a second quorvel hands it its command line (addresses, relative paths, the program's own URLs,
// queue commands) and exits.
#include "ZRCommandLineFixture.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestSessionBus.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>
#include <QUrl>

using namespace ZRTestSupport;

namespace
{

const QString service = QStringLiteral("com.tessaline.Quorvel");
const QString path = QStringLiteral("/com/tessaline/Quorvel");

struct Outcome {
    int exitCode = -1;
    QString output;
    QString errors;
};

class SignalCounter : public QObject
{
    Q_OBJECT
public:
    QStringList added;
    QStringList ended;
public Q_SLOTS:
    void downloadAdded(const QVariantMap &download) { added.append(download.value(QStringLiteral("Name")).toString()); }
    void downloadEnded(const QVariantMap &download) { ended.append(download.value(QStringLiteral("Name")).toString()); }
};

class Scripting : public ZRCommandLineFixture
{
protected:
    void SetUp() override
    {
        startIn(QStringLiteral("/scripting"));
        ZR_START_SESSION_BUS_OR_SKIP(_sessionBus, root);
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), _sessionBus.address());
        bus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(_sessionBus.address(), QStringLiteral("scripting-test")));
        ASSERT_TRUE(bus->isConnected());
        qDBusRegisterMetaType<QList<QVariantMap>>();
    }

    void TearDown() override
    {
        if (_first)
            finish(*_first);
        bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("scripting-test"));
    }

    // The first Quorvel: no addresses, so it stays until told to quit.
    void startFirst()
    {
        _first = quorvel({});
        ASSERT_TRUE(waitUntil([&] { return bus->interface()->isServiceRegistered(service).value(); }, 10000))
            << QString::fromLocal8Bit(_first->readAllStandardError()).toStdString();
    }

    Outcome second(const QStringList &arguments, const QString &workingFolder = QString(), bool headless = true)
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        if (!workingFolder.isEmpty())
            process.setWorkingDirectory(workingFolder);
        process.start(QStringLiteral(QUORVEL_EXECUTABLE),
                      headless ? QStringList{QStringLiteral("--headless")} + arguments : arguments);
        // The first one answers while this process waits: let it run (it is another process).
        EXPECT_TRUE(process.waitForFinished(30000)) << arguments.join(u' ').toStdString();
        return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }

    QDBusMessage call(const QString &method, const QVariantList &arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, service, method);
        message.setArguments(arguments);
        return bus->call(message, QDBus::Block, 30000);
    }

    QList<QVariantMap> downloads()
    {
        const QDBusMessage reply = call(QStringLiteral("Downloads"));
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return qdbus_cast<QList<QVariantMap>>(reply.arguments().first().value<QDBusArgument>());
    }

    // The status of the download whose address holds the text.
    QString statusOf(const QString &addressPart)
    {
        for (const QVariantMap &download : downloads()) {
            if (download.value(QStringLiteral("Address")).toString().contains(addressPart))
                return download.value(QStringLiteral("Status")).toString();
        }
        return QString();
    }

    std::unique_ptr<QDBusConnection> bus;

private:
    ZRTestSessionBus _sessionBus;
    std::unique_ptr<QProcess> _first;
};

TEST_F(Scripting, ScriptsAndASecondQuorvelHandTheirAddressesToTheOneThatRuns)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    startFirst();
    SignalCounter counter;
    ASSERT_TRUE(bus->connect(service, path, service, QStringLiteral("DownloadAdded"), &counter,
                             SLOT(downloadAdded(QVariantMap))));
    ASSERT_TRUE(bus->connect(service, path, service, QStringLiteral("DownloadEnded"), &counter,
                             SLOT(downloadEnded(QVariantMap))));
    const QString out = root + QStringLiteral("/out");

    // A script's Download, with a target folder.
    const QDBusMessage reply =
        call(QStringLiteral("Download"), {QStringList{server.url(QStringLiteral("/bytes?size=120000&name=a.bin"))},
                                          QVariantMap{{QStringLiteral("toPosixPath"), QString(out + u'/')}}});
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_TRUE(waitUntil([&] { return readFile(out + QStringLiteral("/a.bin")).size() == 120000; }, 15000));
    EXPECT_EQ(readFile(out + QStringLiteral("/a.bin")), ZRTestScriptedServer::patternBytes(0, 120000));
    // Arguments it does not know, and relative targets, are refused with the reason.
    EXPECT_EQ(call(QStringLiteral("Download"), {QStringList{QStringLiteral("http://127.0.0.1:9/x")},
                                                QVariantMap{{QStringLiteral("toPosixPath"), QStringLiteral("rel")}}})
                  .errorName(),
              QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));

    // A second quorvel in a folder of its own: its relative list file and --to are its own folder's.
    const QString cwd = root + QStringLiteral("/elsewhere");
    ASSERT_TRUE(writeFile(cwd + QStringLiteral("/list.txt"), server.url(QStringLiteral("/bytes?size=90000&name=b.bin")).toUtf8()));
    Outcome outcome = second({QStringLiteral("--to"), QStringLiteral("got/"), QStringLiteral("list.txt")}, cwd);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.errors.toStdString();
    EXPECT_TRUE(outcome.errors.contains(QStringLiteral("handed over to the Quorvel that runs"))) << outcome.errors.toStdString();
    EXPECT_TRUE(waitUntil([&] { return readFile(cwd + QStringLiteral("/got/b.bin")).size() == 90000; }, 15000));
    // list.txt is an address list: read, not deleted, not downloaded.
    EXPECT_TRUE(QFileInfo::exists(cwd + QStringLiteral("/list.txt")));

    // The program's own URL, as a browser hands it over: the web address it carries, nothing local.
    const QString encoded = QString::fromLatin1(
        QUrl::toPercentEncoding(server.url(QStringLiteral("/bytes?size=70000&name=c.bin"))));
    outcome = second({QStringLiteral("--to"), out + u'/', QStringLiteral("quorvel://encoded/") + encoded}, QString(), false);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.errors.toStdString();
    EXPECT_TRUE(waitUntil([&] { return readFile(out + QStringLiteral("/c.bin")).size() == 70000; }, 15000));
    outcome = second({QStringLiteral("quorvel://encoded/file%3A%2F%2F%2Fetc%2Fpasswd")});
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_TRUE(outcome.errors.contains(QStringLiteral("cannot download \"file:///etc/passwd\": only web addresses")))
        << outcome.errors.toStdString();

    // Scripts see the queue and its changes; --status prints it.
    EXPECT_TRUE(waitUntil([&] { return counter.ended.size() == 3; }, 10000));
    // Added under the address's name, ended under the one the server gave.
    EXPECT_EQ(counter.added.join(u' ').toStdString(), "bytes bytes bytes");
    EXPECT_EQ(counter.ended.join(u' ').toStdString(), "a.bin b.bin c.bin");
    EXPECT_EQ(statusOf(QStringLiteral("name=b.bin")), QStringLiteral("Complete"));
    outcome = second({QStringLiteral("--status")});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.output.contains(QStringLiteral("3 downloads"))) << outcome.output.toStdString();
    EXPECT_TRUE(outcome.output.contains(QStringLiteral("Complete     100%  c.bin"))) << outcome.output.toStdString();
}

TEST_F(Scripting, QueueCommandsSteerTheQuorvelThatRuns)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    startFirst();
    const QString out = root + QStringLiteral("/out/");
    constexpr qint64 size = 300000;
    const QString cut = server.url(QStringLiteral("/faulty/cut.bin?size=%1&cut=120000&key=run-cut").arg(size));
    const QString stalled = server.url(QStringLiteral("/stall?size=200000&after=1000&seconds=60"));
    for (const QString &address : {cut, stalled})
        call(QStringLiteral("Download"), {QStringList{address}, QVariantMap{{QStringLiteral("toPosixPath"), out}}});
    ASSERT_TRUE(waitUntil([&] { return statusOf(QStringLiteral("cut.bin")) == QStringLiteral("Paused"); }, 15000));
    ASSERT_TRUE(waitUntil([&] { return statusOf(QStringLiteral("/stall")) == QStringLiteral("Downloading"); }, 15000));

    Outcome outcome = second({QStringLiteral("--pause"), QStringLiteral("2")});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.errors.toStdString();
    EXPECT_EQ(outcome.output, QStringLiteral("paused: stall\n"));
    EXPECT_EQ(statusOf(QStringLiteral("/stall")), QStringLiteral("Paused"));

    // The cut one goes on from the bytes it kept.
    outcome = second({QStringLiteral("--resume"), QStringLiteral("cut.bin")});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.errors.toStdString();
    EXPECT_TRUE(waitUntil([&] { return statusOf(QStringLiteral("cut.bin")) == QStringLiteral("Complete"); }, 15000));
    EXPECT_EQ(readFile(out + QStringLiteral("cut.bin")), ZRTestScriptedServer::patternBytes(0, size));
    EXPECT_EQ(server.get(QStringLiteral("/ranges?key=run-cut")), QByteArray("-\nbytes=120000-\n"));

    outcome = second({QStringLiteral("--list")});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.output.contains(QStringLiteral("2. stall \u2014 Paused"))) << outcome.output.toStdString();
    outcome = second({QStringLiteral("--remove"), QStringLiteral("nothing-like-it")});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(downloads().size(), 2);
}

} // namespace

#include "ZRScriptingTest.moc"
