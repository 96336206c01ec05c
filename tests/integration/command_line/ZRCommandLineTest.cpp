// The quorvel executable given addresses: it downloads them, reports where each one ended, exits
// with their outcome, and refuses to run beside another quorvel on the same queue.
#include "ZRCommandLineFixture.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <csignal>

using namespace ZRTestSupport;

namespace
{

class CommandLine : public ZRCommandLineFixture
{
protected:
    void SetUp() override { startIn(QStringLiteral("/command-line")); }
};

TEST_F(CommandLine, DownloadsTheAddressesReportsThemAndExitsWithTheirOutcome)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    const QString target = root + QStringLiteral("/out");

    auto process = quorvel({QStringLiteral("--to"), target + QLatin1Char('/'),
                            server.url(QStringLiteral("/bytes?size=70000&n={1-2}"))});
    ASSERT_TRUE(process->waitForFinished(30000));
    const QString output = QString::fromLocal8Bit(process->readAllStandardOutput());
    EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process->exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("2 of 2 downloads complete:"))) << output.toStdString();

    const QStringList files = QDir(target).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(files.size(), 2) << files.join(QLatin1Char(' ')).toStdString();
    for (const QString &file : files) {
        EXPECT_EQ(readFile(target + QLatin1Char('/') + file), ZRTestScriptedServer::patternBytes(0, 70000));
        EXPECT_TRUE(output.contains(QStringLiteral("complete: ") + target + QLatin1Char('/') + file));
    }

    // A failure makes the run fail.
    process = quorvel({QStringLiteral("--to"), target, server.url(QStringLiteral("/status/404"))});
    ASSERT_TRUE(process->waitForFinished(30000));
    EXPECT_EQ(process->exitCode(), 1);
    EXPECT_TRUE(QString::fromLocal8Bit(process->readAllStandardOutput()).contains(QStringLiteral("0 of 1 downloads complete:")));
}

TEST_F(CommandLine, HeaderValuesWithLineBreaksAreRefusedBeforeAnythingIsAdded)
{
    auto process = quorvel({QStringLiteral("--cookies"), QStringLiteral("a=1\r\nX-Injected: yes"),
                            QStringLiteral("http://127.0.0.1:9/never")});
    ASSERT_TRUE(process->waitForFinished(10000));
    EXPECT_EQ(process->exitCode(), 2);
    EXPECT_TRUE(QString::fromLocal8Bit(process->readAllStandardError()).contains(QStringLiteral("usingCookies")));
    EXPECT_FALSE(QFileInfo::exists(archivePath()));
}

TEST_F(CommandLine, ASecondQuorvelOnTheSameQueueIsRefused)
{
    // The first one works a restored queue and stays until it is told to quit.
    auto first = quorvel({});
    QString firstOutput;
    ASSERT_TRUE(waitUntil(
        [&] {
            firstOutput += QString::fromLocal8Bit(first->readAllStandardOutput());
            return firstOutput.contains(QStringLiteral("no downloads"));
        },
        10000));

    auto second = quorvel({QStringLiteral("http://127.0.0.1:9/never")});
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitCode(), 1);
    const QString error = QString::fromLocal8Bit(second->readAllStandardError());
    EXPECT_TRUE(error.contains(QStringLiteral("already running (process %1)").arg(first->processId())))
        << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(archivePath()));

    finish(*first);
    EXPECT_EQ(first->exitCode(), 0);

    // Once the first is gone the queue is free again.
    auto third = quorvel({QStringLiteral("--help")});
    ASSERT_TRUE(third->waitForFinished(10000));
    EXPECT_EQ(third->exitCode(), 0);
}

TEST_F(CommandLine, AKilledRunResumesFromTheQueueAndEndsWithTheSameBytes)
{
    if (!ZRTestNginx::isAvailable())
        GTEST_SKIP() << "nginx is not installed";
    ZRTestNginx::Options options;
    options.limitRateBytesPerSecond = 1024 * 1024;
    options.https = false;
    ZRTestNginx server(options);
    ASSERT_TRUE(server.start()) << server.errorString().toStdString();
    const qint64 size = 6 * 1024 * 1024;
    ASSERT_TRUE(server.addPatternFile(QStringLiteral("big.bin"), size));
    const QString address = server.limitedURL(QStringLiteral("/big.bin"));
    const QString target = root + QStringLiteral("/out");

    auto first = quorvel({QStringLiteral("--to"), target + QLatin1Char('/'), address});
    // Killed without a chance to tidy up, part of the file on disk.
    const auto partialBytes = [&] {
        qint64 largest = 0;
        QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            if (info.filePath().contains(QStringLiteral("big.bin")) && !info.fileName().endsWith(QStringLiteral("info")))
                largest = std::max(largest, info.size());
        }
        return largest;
    };
    ASSERT_TRUE(waitUntil([&] { return partialBytes() > 512 * 1024; }, 15000))
        << first->readAllStandardOutput().toStdString() << first->readAllStandardError().toStdString();
    // The queue archive learns of the data on disk within a second of the first bytes.
    ASSERT_TRUE(waitUntil([&] {
        QFile file(archivePath());
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("Response URL");
    }, 10000));
    ::kill(pid_t(first->processId()), SIGKILL);
    ASSERT_TRUE(first->waitForFinished(10000));
    ASSERT_TRUE(waitUntil([&] { return server.rangeLog().count(QStringLiteral("/big.bin")) >= 1; }, 10000));
    const qsizetype requestsBefore = server.rangeLog().split(u'\n', Qt::SkipEmptyParts).size();

    // Started again without arguments, it works the restored queue until told to quit.
    auto second = quorvel({});
    const QString finished = target + QStringLiteral("/big.bin");
    EXPECT_TRUE(waitUntil([&] { return QFileInfo(finished).size() == size; }, 20000));
    finish(*second);
    EXPECT_EQ(readFile(finished), ZRTestScriptedServer::patternBytes(0, size));
    // It went on from what the killed run left, not from the first byte.
    const QStringList later = server.rangeLog().split(u'\n', Qt::SkipEmptyParts).mid(requestsBefore);
    ASSERT_EQ(later.size(), 1) << later.join(u'\n').toStdString();
    EXPECT_TRUE(later.first().section(u' ', 1, 1).startsWith(QStringLiteral("bytes="))) << later.first().toStdString();
}

} // namespace
