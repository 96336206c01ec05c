// An accelerated download of the quorvel executable killed mid-way: the next run resumes every
// fraction where it stopped.
#include "ZRCommandLineFixture.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>

using namespace ZRTestSupport;

namespace {

const char *const AcceleratingPreferences = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Acceleration: Enabled</key><true/>
  <key>Acceleration: Channels</key><integer>4</integer>
</dict>
</plist>
)";

class AcceleratedCommandLine : public ZRCommandLineFixture {
protected:
    void SetUp() override
    {
        startIn(QStringLiteral("/command-line-acceleration"));
        ASSERT_TRUE(writeFile(root + QStringLiteral("/config/Quorvel/Preferences.plist"), AcceleratingPreferences));
    }

    // The sizes of the fraction files of the download, by name.
    QMap<QString, qint64> fractionFiles(const QString &name) const
    {
        QMap<QString, qint64> sizes;
        QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            if (info.path().endsWith(name + QStringLiteral(".quorvel")) && info.fileName().startsWith(name))
                sizes.insert(info.fileName(), info.size());
        }
        return sizes;
    }

};

} // namespace

TEST_F(AcceleratedCommandLine, AKilledRunResumesEveryFractionAndEndsWithTheSameBytes)
{
    if (!ZRTestNginx::isAvailable())
        GTEST_SKIP() << "nginx is not installed";
    ZRTestNginx::Options options;
    options.limitRateBytesPerSecond = 1024 * 1024;
    options.https = false;
    ZRTestNginx server(options);
    ASSERT_TRUE(server.start()) << server.errorString().toStdString();
    constexpr qint64 size = 12 * 1024 * 1024;
    constexpr qint64 fraction = size / 4;
    ASSERT_TRUE(server.addPatternFile(QStringLiteral("split.bin"), size));
    const QString target = root + QStringLiteral("/out");
    const QString archive = archivePath();

    auto first = quorvel({QStringLiteral("--to"), target + QLatin1Char('/'), server.limitedURL(QStringLiteral("/split.bin"))});
    // Killed once the queue archive knows the fractions and each holds part of its bytes.
    ASSERT_TRUE(waitUntil(
        [&] {
            QFile file(archive);
            if (!file.open(QIODevice::ReadOnly) || !file.readAll().contains("Acceleration Workers"))
                return false;
            const QMap<QString, qint64> sizes = fractionFiles(QStringLiteral("split.bin"));
            return sizes.size() == 4 && std::all_of(sizes.begin(), sizes.end(), [](qint64 s) { return s > 0; });
        },
        20000))
        << first->readAllStandardOutput().toStdString() << first->readAllStandardError().toStdString();
    ::kill(pid_t(first->processId()), SIGKILL);
    ASSERT_TRUE(first->waitForFinished(10000));
    const QMap<QString, qint64> held = fractionFiles(QStringLiteral("split.bin"));
    for (const qint64 bytes : held)
        ASSERT_LT(bytes, fraction + 1024 * 1024) << "the fractions were nearly done before the kill";
    // The killed connections are logged once the server has seen them close.
    ASSERT_TRUE(waitUntil([&] { return server.rangeLog().count(QStringLiteral("/split.bin")) >= 4; }, 10000));
    const qsizetype requestsBefore = server.rangeLog().split(u'\n', Qt::SkipEmptyParts).size();

    // Started again without arguments, it works the restored queue until told to quit.
    auto second = quorvel({});
    const QString finished = target + QStringLiteral("/split.bin");
    EXPECT_TRUE(waitUntil([&] { return QFileInfo(finished).size() == size; }, 60000));
    second->terminate();
    EXPECT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(readFile(finished) == ZRTestScriptedServer::patternBytes(0, size));

    // Every fraction went on from what it held: no request of the second run starts at a
    // fraction's first byte.
    const QStringList later = server.rangeLog().split(u'\n', Qt::SkipEmptyParts).mid(requestsBefore);
    ASSERT_FALSE(later.isEmpty());
    for (const QString &line : later) {
        const QString range = line.section(u' ', 1, 1);
        ASSERT_TRUE(range.startsWith(QStringLiteral("bytes="))) << line.toStdString();
        const qint64 from = range.mid(6).section(u'-', 0, 0).toLongLong();
        EXPECT_NE(from % fraction, 0) << line.toStdString();
    }
}
