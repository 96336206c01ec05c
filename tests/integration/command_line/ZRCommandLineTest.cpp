// The quorvel executable given addresses: it downloads them, reports where each one ended, exits
// with their outcome, refuses to run beside another quorvel on the same queue, and continues what
// a killed run left.
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

const QByteArray acceleratingPreferences = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Acceleration: Enabled</key><true/>
  <key>Acceleration: Channels</key><integer>4</integer>
</dict>
</plist>
)";

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
    EXPECT_TRUE(QString::fromLocal8Bit(process->readAllStandardError()).contains(QStringLiteral("\"--cookies\"")));
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

// Killed without a chance to tidy up, at moments that leave different records of the data on
// disk: the next run ends with the same bytes, leaves no bundle beside the file, and continues
// every fraction where it stopped whenever a record says what the data is.
TEST_F(CommandLine, AKilledRunIsContinuedByTheNextOneWhereverItStopped)
{
    if (!ZRTestNginx::isAvailable())
        GTEST_SKIP() << "nginx is not installed";
    ZRTestNginx::Options options;
    options.limitRateBytesPerSecond = 1024 * 1024;
    options.https = false;
    ZRTestNginx server(options);
    ASSERT_TRUE(server.start()) << server.errorString().toStdString();
    constexpr qint64 singleSize = 3 * 1024 * 1024;
    constexpr qint64 splitSize = 16 * 1024 * 1024;
    constexpr qint64 fraction = splitSize / 4;
    ASSERT_TRUE(server.addPatternFile(QStringLiteral("single.bin"), singleSize));
    ASSERT_TRUE(server.addPatternFile(QStringLiteral("split.bin"), splitSize));

    enum class Moment { FirstBytes, Described, Recorded };
    struct Row {
        const char *name;
        bool accelerated;
        Moment moment;
        bool continues;
    };
    const Row rows[] = {
        {"first bytes on disk, recorded nowhere", false, Moment::FirstBytes, false},
        {"described in the bundle, not in the queue", false, Moment::Described, true},
        {"recorded in the queue", false, Moment::Recorded, true},
        {"fractions described in the bundle, not in the queue", true, Moment::Described, true},
        {"fractions recorded in the queue", true, Moment::Recorded, true},
    };
    int number = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        startIn(QStringLiteral("/killed-run-%1").arg(++number));
        if (row.accelerated) {
            ASSERT_TRUE(writeFile(root + QStringLiteral("/config/Quorvel/Preferences.plist"), acceleratingPreferences));
        }
        const QString name = row.accelerated ? QStringLiteral("split.bin") : QStringLiteral("single.bin");
        const qint64 size = row.accelerated ? splitSize : singleSize;
        const QString target = root + QStringLiteral("/out");
        const QString bundle = target + u'/' + name + QStringLiteral(".quorvel");
        const auto fileHolds = [](const QString &path, const char *text) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) && file.readAll().contains(text);
        };
        const auto dataFiles = [&] {
            return QDir(bundle).entryInfoList({name + u'*'}, QDir::Files | QDir::Hidden);
        };
        const auto moment = [&] {
            const QFileInfoList data = dataFiles();
            if (data.size() != (row.accelerated ? 4 : 1)
                || !std::all_of(data.cbegin(), data.cend(), [](const QFileInfo &file) { return file.size() > 0; }))
                return false;
            const QString metadata = bundle + QStringLiteral("/Archive.quorvelinfo");
            const char *described = row.accelerated ? "Acceleration Workers" : "Response URL";
            switch (row.moment) {
            case Moment::FirstBytes:
                return !QFileInfo::exists(metadata);
            case Moment::Described:
                return fileHolds(metadata, described) && !fileHolds(archivePath(), "Response URL");
            case Moment::Recorded:
                return fileHolds(archivePath(), described);
            }
            return false;
        };

        const qsizetype requestsBefore = server.rangeLog().split(u'\n', Qt::SkipEmptyParts).size();
        auto first = quorvel({QStringLiteral("--to"), target + u'/', server.limitedURL(u'/' + name)});
        ASSERT_TRUE(waitUntil(moment, 20000))
            << first->readAllStandardOutput().toStdString() << first->readAllStandardError().toStdString();
        ::kill(pid_t(first->processId()), SIGKILL);
        ASSERT_TRUE(first->waitForFinished(10000));
        ASSERT_TRUE(moment()) << "the run went past the moment before it was killed";
        qint64 held = 0;
        for (const QFileInfo &file : dataFiles())
            held += file.size();
        ASSERT_LT(held, size - 1024 * 1024) << "nearly done before the kill";
        // The killed connections are logged once the server has seen them close.
        const int connections = row.accelerated ? 4 : 1;
        ASSERT_TRUE(waitUntil([&] {
            return server.rangeLog().split(u'\n', Qt::SkipEmptyParts).size() >= requestsBefore + connections;
        }, 10000));
        const qsizetype requestsOfFirstRun = server.rangeLog().split(u'\n', Qt::SkipEmptyParts).size();

        // Started again without arguments, it works the restored queue until told to quit.
        auto second = quorvel({});
        const QString finished = target + u'/' + name;
        EXPECT_TRUE(waitUntil([&] { return QFileInfo(finished).size() == size; }, 30000))
            << second->readAllStandardError().toStdString();
        finish(*second);
        EXPECT_EQ(second->exitCode(), 0);
        EXPECT_TRUE(readFile(finished) == ZRTestScriptedServer::patternBytes(0, size));
        const QStringList bundles = QDir(target).entryList({QStringLiteral("*.quorvel")}, QDir::Dirs | QDir::Hidden);
        EXPECT_TRUE(bundles.isEmpty()) << "no bundle stays beside the finished file: " << bundles.join(u',').toStdString();

        const QStringList later = server.rangeLog().split(u'\n', Qt::SkipEmptyParts).mid(requestsOfFirstRun);
        ASSERT_FALSE(later.isEmpty());
        if (!row.continues)
            continue;
        // Every request of the second run goes on from what the killed run left: none asks for the
        // whole file or starts at a fraction's first byte.
        for (const QString &line : later) {
            const QString range = line.section(u' ', 1, 1);
            ASSERT_TRUE(range.startsWith(QStringLiteral("bytes="))) << line.toStdString();
            const qint64 from = range.mid(6).section(u'-', 0, 0).toLongLong();
            EXPECT_NE(from % (row.accelerated ? fraction : size), 0) << line.toStdString();
        }
    }
}

} // namespace
