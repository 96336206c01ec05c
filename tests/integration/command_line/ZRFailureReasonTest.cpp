// Every download that stops says why: the quorvel executable against loopback servers that fail in
// one way each prints the reason beside the status (live and in the summary), logs it once, exits
// non-zero, and a restarted quorvel still shows it from the "Last Error" of the queue archive.
#include "ZRCommandLineFixture.h"
#include "core/foundation/ZRPropertyList.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ZRTestSupport;

namespace
{

const QString dash = QStringLiteral(" \u2014 ");

// A loopback port that nothing listens on.
quint16 closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// A private mount namespace (root only) lets a run see its own name service, trusted
// certificates and a tiny disk without touching the machine's.
bool canUseMountNamespace()
{
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("--mount"), QStringLiteral("--propagation"),
                                            QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"),
                                            QStringLiteral("mount -t tmpfs -o size=16k tmpfs /mnt")});
    return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
}

class FailureReasons : public ZRCommandLineFixture
{
protected:
    enum class World {
        Plain,        // the machine as it is
        Isolated,     // names from a hosts file of the test's, no name server but loopback
        TrustingTest, // isolated, and the test server's certificate is the only trusted one
        TinyDisk,     // isolated, and the download folder is a 64 KiB file system
    };

    // "quorvel --headless ARGUMENTS" in the given world.
    std::unique_ptr<QProcess> quorvelIn(World world, const QStringList &arguments)
    {
        if (world == World::Plain)
            return quorvel(arguments);
        QString script = QStringLiteral("set -e; mount --bind '%1/hosts' /etc/hosts; "
                                        "mount --bind '%1/resolv.conf' /etc/resolv.conf; ")
                             .arg(root);
        if (world == World::TrustingTest)
            script += QStringLiteral("mount --bind '%1' /etc/ssl/certs/ca-certificates.crt; ").arg(nginx.certificatePath());
        if (world == World::TinyDisk)
            script += QStringLiteral("mount -t tmpfs -o size=64k tmpfs '%1'; ").arg(tinyDisk());
        script += QStringLiteral("exec \"$@\"");
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setProgram(QStringLiteral("unshare"));
        process->setArguments(QStringList{QStringLiteral("--mount"), QStringLiteral("--propagation"),
                                          QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"),
                                          script, QStringLiteral("sh"), QStringLiteral(QUORVEL_EXECUTABLE),
                                          QStringLiteral("--headless")}
                              + arguments);
        process->start();
        return process;
    }

    QString tinyDisk() const { return root + QStringLiteral("/tiny"); }

    ZRTestNginx nginx;
    ZRTestScriptedServer server;
};

// One queue for all rows: each run adds its download to what the earlier runs left, and a last run
// without addresses is the restart that shows them all again.
TEST_F(FailureReasons, EachCauseIsNamedBesideTheStatusLoggedAndKeptAcrossARestart)
{
    ZR_START_NGINX_OR_SKIP(nginx);
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("self-signed.bin"), 1000));
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("wrong-name.bin"), 1000));
    ASSERT_TRUE(nginx.addPatternFile(QStringLiteral("full.bin"), 1024 * 1024));
    startIn(QStringLiteral("/failure-reasons"));
    ASSERT_TRUE(writeFile(root + QStringLiteral("/hosts"), "127.0.0.1 localhost\n127.0.0.1 wrong-name.test\n"));
    ASSERT_TRUE(writeFile(root + QStringLiteral("/resolv.conf"), "nameserver 127.0.0.1\n"));
    ASSERT_TRUE(QDir().mkpath(tinyDisk()));
    // A stall gives up after a second instead of a minute.
    ASSERT_TRUE(writeFile(root + QStringLiteral("/config/Quorvel/Preferences.plist"), R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Request Timeout Interval</key><integer>1</integer></dict></plist>
)"));
    const bool isolatable = canUseMountNamespace();
    const quint16 refusedPort = closedPort();
    ASSERT_NE(refusedPort, 0);

    const QString request = QStringLiteral("ZRHTTPRequestErrorDomain");
    const QString transport = QStringLiteral("ZRHTTPTransportErrorDomain");
    const QString worker = QStringLiteral("com.tessaline.Quorvel.ZRDownloadWorker");
    const QString posix = QStringLiteral("ZRPOSIXErrorDomain");
    struct Row {
        World world;
        QString address;
        QString status; // as the summary shows it
        QString reason;
        QString remedy;
        QString domain;
        qint64 code;
        QString underlyingDomain; // empty: no error under it
        qint64 underlyingCode;
    };
    const QString untrusted = QStringLiteral("retry with a trusted certificate; system CAs are used");
    const Row rows[] = {
        {World::Plain, nginx.httpsURL(QStringLiteral("/self-signed.bin")), QStringLiteral("Pending"),
         QStringLiteral("SSL certificate problem: self-signed certificate"), untrusted, request, 1, transport, 60},
        {World::TrustingTest,
         QStringLiteral("https://wrong-name.test:%1/wrong-name.bin").arg(nginx.httpsPort()), QStringLiteral("Pending"),
         QStringLiteral("SSL: no alternative certificate subject name matches target host name 'wrong-name.test'"),
         QString(), request, 1, transport, 60},
        {World::Plain, QStringLiteral("http://127.0.0.1:%1/refused.bin").arg(refusedPort), QStringLiteral("Pending"),
         QStringLiteral("Failed to connect to 127.0.0.1 port %1 after").arg(refusedPort), QString(), request, 1,
         transport, 7},
        {World::Isolated, QStringLiteral("http://files.invalid/unknown.bin"), QStringLiteral("Pending"),
         QStringLiteral("Could not resolve host: files.invalid"), QStringLiteral("check the host name in the address"),
         request, 1, transport, 6},
        {World::Plain, server.url(QStringLiteral("/stall?size=100000&after=100&seconds=5")),
         QStringLiteral("Interrupted"), QStringLiteral("The request timed out"), QString(), request, 2, QString(), 0},
        {World::Plain, server.url(QStringLiteral("/loop")), QStringLiteral("Interrupted"),
         QStringLiteral("The request failed because it redirected too many times"), QString(), request, 9, QString(), 0},
        {World::Plain, server.url(QStringLiteral("/redirect-to?url=ftp://127.0.0.1/file.bin")),
         QStringLiteral("Interrupted"), QStringLiteral("Protocol \"ftp\" not supported"), QString(), request, 1,
         transport, 1},
        {World::Plain, server.url(QStringLiteral("/big-header")), QStringLiteral("Aborted"),
         QStringLiteral("response header too large"), QString(), request, 12, QString(), 0},
        {World::Plain, server.url(QStringLiteral("/status/404")), QStringLiteral("Aborted — 404"),
         QStringLiteral("Not Found"), QString(), worker, 4, QString(), 0},
        {World::Plain, server.url(QStringLiteral("/status/500")), QStringLiteral("Aborted — 500"),
         QStringLiteral("Internal Server Error"), QString(), worker, 4, QString(), 0},
        {World::TinyDisk, nginx.httpURL(QStringLiteral("/full.bin")), QStringLiteral("Interrupted"),
         QStringLiteral("cannot write to intermediate file: No space left on device"),
         QStringLiteral("free some space on the disk that holds the download"), worker, 1, posix, 28},
        {World::Plain, server.url(QStringLiteral("/status/401")).replace(QStringLiteral("://"), QStringLiteral("://user:wrong@")),
         QStringLiteral("Interrupted"), QStringLiteral("Authentication needed"),
         QStringLiteral("put a valid user name and password in the address: user:password@host"), request, 3,
         QString(), 0},
    };

    QStringList notRun;
    QList<const Row *> run;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.address.toStdString());
        if (row.world != World::Plain && !isolatable) {
            notRun.append(row.address);
            continue;
        }
        run.append(&row);
        const QString target = row.world == World::TinyDisk ? tinyDisk() : root + QStringLiteral("/out");
        auto process = quorvelIn(row.world, {QStringLiteral("--to"), target + u'/', row.address});
        ASSERT_TRUE(process->waitForFinished(30000));
        const QString output = QString::fromLocal8Bit(process->readAllStandardOutput());
        const QString log = QString::fromLocal8Bit(process->readAllStandardError());
        EXPECT_EQ(process->exitCode(), 1) << output.toStdString();

        const QString said = row.status + dash + row.reason;
        const QString outcome = row.status.startsWith(QLatin1String("Aborted"))
                                    ? QStringLiteral("failed: ")
                                    : QStringLiteral("not finished, kept in the queue: ");
        const QString summary = output.section(QStringLiteral("0 of 1 downloads complete:\n"), 1).trimmed();
        EXPECT_TRUE(summary.contains(dash + outcome + said)) << output.toStdString();
        EXPECT_EQ(summary.endsWith(QLatin1Char(')')), !row.remedy.isEmpty()) << summary.toStdString();
        if (!row.remedy.isEmpty()) {
            EXPECT_TRUE(summary.endsWith(QStringLiteral(" (") + row.remedy + u')')) << summary.toStdString();
        }
        // One log line per failure, never with the credentials of the address.
        EXPECT_EQ(log.count(QStringLiteral("cannot download <")), 1) << log.toStdString();
        EXPECT_TRUE(log.contains(QStringLiteral(">: ") + row.reason)) << log.toStdString();
        EXPECT_FALSE(log.contains(QLatin1String("wrong@")));
    }

    // The restart lists every download (its live line) with its reason, and writes it back to the queue.
    auto restart = quorvelIn(isolatable ? World::Isolated : World::Plain, {});
    QString listing;
    ASSERT_TRUE(waitUntil(
        [&] {
            listing += QString::fromLocal8Bit(restart->readAllStandardOutput());
            return listing.contains(QStringLiteral("%1 downloads:").arg(run.size()));
        },
        10000))
        << listing.toStdString();
    processEventsFor(200);
    listing += QString::fromLocal8Bit(restart->readAllStandardOutput());
    finish(*restart);
    EXPECT_EQ(restart->exitCode(), 0);
    const std::optional<QVariant> archive = ZRPropertyList::propertyListWithContentsOfFile(archivePath());
    ASSERT_TRUE(archive.has_value());
    const QVariantList elements = archive->toList();
    ASSERT_EQ(elements.size(), run.size());
    for (qsizetype index = 0; index < run.size(); ++index) {
        const Row &row = *run[index];
        SCOPED_TRACE(row.address.toStdString());
        EXPECT_TRUE(listing.contains(dash + row.reason)) << listing.toStdString();
        if (!row.remedy.isEmpty()) {
            EXPECT_TRUE(listing.contains(QStringLiteral(" (") + row.remedy + u')'));
        }
        const QVariantMap error = elements[index].toMap().value(QStringLiteral("Last Error")).toMap();
        EXPECT_EQ(error.value(QStringLiteral("Domain")).toString(), row.domain);
        EXPECT_EQ(error.value(QStringLiteral("Code")).toLongLong(), row.code);
        EXPECT_TRUE(error.value(QStringLiteral("Message")).toString().size() > 0);
        const QVariantMap underlying = error.value(QStringLiteral("Underlying Error")).toMap();
        EXPECT_EQ(underlying.value(QStringLiteral("Domain")).toString(), row.underlyingDomain);
        if (!row.underlyingDomain.isEmpty()) {
            EXPECT_EQ(underlying.value(QStringLiteral("Code")).toLongLong(), row.underlyingCode);
        }
    }
    if (!notRun.isEmpty())
        GTEST_SKIP() << "not run without a private mount namespace (root and unshare): "
                     << notRun.join(QStringLiteral(", ")).toStdString();
}

} // namespace
