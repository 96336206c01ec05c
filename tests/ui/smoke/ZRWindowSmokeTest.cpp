// The real program with its window on an X server of its own (Xvfb): `quorvel URL` against a
// loopback nginx opens the window titled Quorvel, its row goes to "Complete", the file arrives whole,
// and screenshots are written on the way.
#include "core/foundation/ZRPropertyList.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <csignal>

using namespace ZRTestSupport;

namespace
{

const QString xvfbPath = QStringLiteral("/usr/bin/Xvfb");

// What a tool prints, or empty when it cannot run.
QString run(const QString &program, const QStringList &arguments, const QString &display)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(20000))
        return QString();
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

bool screenshot(const QString &display, const QString &name)
{
    QDir().mkpath(QStringLiteral(QUORVEL_SCREENSHOT_DIR));
    const QString path = QStringLiteral(QUORVEL_SCREENSHOT_DIR "/") + name;
    QFile::remove(path);
    run(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), path}, display);
    if (!QFileInfo(path).isFile() || QFileInfo(path).size() == 0)
        return false;
    if (qEnvironmentVariableIntValue("QUORVEL_UPDATE_SCREENSHOTS") == 1) {
        QDir().mkpath(QStringLiteral(QUORVEL_DOCS_DIR "/screenshots"));
        QFile::remove(QStringLiteral(QUORVEL_DOCS_DIR "/screenshots/") + name);
        QFile::copy(path, QStringLiteral(QUORVEL_DOCS_DIR "/screenshots/") + name);
    }
    return true;
}

} // namespace

TEST(WindowSmoke, DownloadsAnAddressInTheWindowUnderXvfb)
{
    if (!QFileInfo(xvfbPath).isExecutable())
        GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb x11-utils imagemagick)";
    // A display number nobody uses.
    int number = 90;
    while (number < 200 && (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) ||
                            QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))))
        ++number;
    const QString display = QStringLiteral(":%1").arg(number);
    QProcess xvfb;
    xvfb.start(xvfbPath, {display, QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("900x560x24"),
                          QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    ASSERT_TRUE(xvfb.waitForStarted(5000));
    struct Stop {
        QProcess &process;
        ~Stop()
        {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
        }
    } stopXvfb{xvfb};
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)); }, 10000));

    // Slow enough that the row shows its progress for a few seconds.
    ZRTestNginx::Options options;
    options.limitRateBytesPerSecond = 1536 * 1024;
    options.https = false;
    ZRTestNginx server(options);
    ZR_START_NGINX_OR_SKIP(server);
    const qint64 size = 6 * 1024 * 1024;
    ASSERT_TRUE(server.addPatternFile(QStringLiteral("Quorvel-smoke.bin"), size));

    const QString root = sandboxRoot() + QStringLiteral("/smoke");
    QProcessEnvironment environment = isolatedProcessEnvironment(root);
    environment.insert(QStringLiteral("DISPLAY"), display);
    // Each row's status goes to the debug log, which the program also writes to stderr.
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(QVariantMap{{QStringLiteral("ZRDebugLog"), true}},
                                                        (QDir().mkpath(root + QStringLiteral("/config/Quorvel")),
                                                         root + QStringLiteral("/config/Quorvel/Preferences.plist"))));
    QProcess quorvel;
    quorvel.setProcessEnvironment(environment);
    quorvel.start(QStringLiteral(QUORVEL_EXECUTABLE), {server.httpURL(QStringLiteral("/limited/Quorvel-smoke.bin"))});
    ASSERT_TRUE(quorvel.waitForStarted(10000));
    QString errors;
    const auto sawInLog = [&](const QString &text, int milliseconds) {
        return waitUntil(
            [&] {
                errors += QString::fromLocal8Bit(quorvel.readAllStandardError());
                return errors.contains(text);
            },
            milliseconds);
    };

    ASSERT_TRUE(sawInLog(QStringLiteral("row <Quorvel-smoke.bin>: Downloading"), 20000)) << errors.toStdString();
    EXPECT_TRUE(run(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")}, display)
                    .contains(QStringLiteral("\"Quorvel\"")));
    processEventsFor(1500);
    EXPECT_TRUE(screenshot(display, QStringLiteral("window-downloading.png")));
    ASSERT_TRUE(sawInLog(QStringLiteral("row <Quorvel-smoke.bin>: Complete"), 30000)) << errors.toStdString();
    processEventsFor(300);
    EXPECT_TRUE(screenshot(display, QStringLiteral("window-complete.png")));

    const QByteArray downloaded = readFile(root + QStringLiteral("/home/Downloads/Quorvel-smoke.bin"));
    ASSERT_EQ(downloaded.size(), size);
    EXPECT_EQ(downloaded, readFile(server.documentRoot() + QStringLiteral("/Quorvel-smoke.bin")));

    ::kill(pid_t(quorvel.processId()), SIGTERM);
    ASSERT_TRUE(quorvel.waitForFinished(10000));
    EXPECT_EQ(quorvel.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(quorvel.exitCode(), 0) << errors.toStdString();
}
