// The quorvel executable steering its queue: a cut download continued by --resume or by its address
// given again, --pause, --remove, --clear and --list on the archived queue (and a running Quorvel
// left alone), and arguments that cannot be downloaded refused with their reason.
#include "ZRCommandLineFixture.h"
#include "core/foundation/ZRPropertyList.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include <unistd.h>

using namespace ZRTestSupport;

namespace
{

struct Outcome {
    int exitCode = -1;
    QString output;
    QString errors;
};

class QueueCommands : public ZRCommandLineFixture
{
protected:
    void SetUp() override { startIn(QStringLiteral("/queue-commands")); }

    Outcome run(const QStringList &arguments, int timeout = 30000)
    {
        auto process = quorvel(arguments);
        Outcome outcome;
        if (!process->waitForFinished(timeout)) {
            finish(*process);
            ADD_FAILURE() << "did not end: " << arguments.join(u' ').toStdString();
        }
        outcome.exitCode = process->exitCode();
        outcome.output = QString::fromLocal8Bit(process->readAllStandardOutput());
        outcome.errors = QString::fromLocal8Bit(process->readAllStandardError());
        return outcome;
    }

    QVariantList archive() const
    {
        const std::optional<QVariant> root = ZRPropertyList::propertyListWithContentsOfFile(archivePath());
        return root ? root->toList() : QVariantList();
    }

    static QString trace(const Outcome &outcome)
    {
        return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(outcome.exitCode).arg(outcome.output, outcome.errors);
    }
};

TEST_F(QueueCommands, ACutDownloadIsContinuedFromItsKeptBytesByResumeOrByItsAddress)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    constexpr qint64 size = 300000;
    constexpr qint64 cut = 120000;
    const QStringList continuations[] = {
        {QStringLiteral("--resume")},
        {QStringLiteral("--resume"), QStringLiteral("1")},
        {}, // the address again
    };
    int number = 0;
    for (const QStringList &continuation : continuations) {
        SCOPED_TRACE(continuation.join(u' ').toStdString());
        startIn(QStringLiteral("/queue-commands-cut-%1").arg(++number));
        const QString key = QStringLiteral("cut-%1").arg(number);
        const QString address =
            server.url(QStringLiteral("/faulty/cut.bin?size=%1&cut=%2&key=%3").arg(size).arg(cut).arg(key));
        const QString target = root + QStringLiteral("/out");

        Outcome outcome = run({QStringLiteral("--to"), target + u'/', address});
        EXPECT_EQ(outcome.exitCode, 1) << trace(outcome).toStdString();
        EXPECT_TRUE(outcome.output.contains(QStringLiteral("not finished, kept in the queue: Interrupted")))
            << trace(outcome).toStdString();

        outcome = run({QStringLiteral("--list")});
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_TRUE(outcome.output.startsWith(QStringLiteral("1. cut.bin \u2014 Interrupted \u2014 ")))
            << trace(outcome).toStdString();
        EXPECT_TRUE(outcome.output.contains(QStringLiteral(" \u2014 40% (120 of 300 KB) \u2014 ") + address))
            << trace(outcome).toStdString();

        outcome = run(continuation.isEmpty() ? QStringList{address} : continuation);
        EXPECT_EQ(outcome.exitCode, 0) << trace(outcome).toStdString();
        EXPECT_TRUE(outcome.output.contains(QStringLiteral("1 of 1 downloads complete:"))) << trace(outcome).toStdString();
        EXPECT_EQ(readFile(target + QStringLiteral("/cut.bin")), ZRTestScriptedServer::patternBytes(0, size));
        // The whole body once, then the rest from where the cut left it.
        EXPECT_EQ(server.get(QStringLiteral("/ranges?key=") + key), QStringLiteral("-\nbytes=%1-\n").arg(cut).toUtf8());
        EXPECT_TRUE(archive().isEmpty());
    }
}

TEST_F(QueueCommands, PauseRemoveClearAndListWorkTheArchiveAndLeaveARunningQuorvelAlone)
{
    // Nothing listens on port 9 of loopback, and nothing runs: every command ends at once.
    const QString waiting = QStringLiteral("http://127.0.0.1:9/waiting.bin");
    const QString paused = QStringLiteral("http://127.0.0.1:9/paused.bin");
    ASSERT_TRUE(writeFile(archivePath(), R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><array>
<dict><key>URL</key><string>http://127.0.0.1:9/waiting.bin</string><key>Paused</key><false/></dict>
<dict><key>URL</key><string>http://127.0.0.1:9/paused.bin</string><key>Paused</key><true/></dict>
<dict><key>URL</key><string>ftp://127.0.0.1/never.bin</string><key>Paused</key><false/></dict>
<dict><key>URL</key><string>http://127.0.0.1:9/more.bin</string><key>Paused</key><false/></dict>
</array></plist>
)"));
    const auto pausedFlags = [&] {
        QList<bool> flags;
        for (const QVariant &element : archive())
            flags.append(element.toMap().value(QStringLiteral("Paused")).toBool());
        return flags;
    };

    Outcome outcome = run({QStringLiteral("--list")});
    EXPECT_EQ(outcome.exitCode, 0);
    // An entry that can never be fetched is shown as aborted with its reason, not as waiting.
    const auto line = [](const QStringList &fields) -> QString { return fields.join(QStringLiteral(" \u2014 ")) + u'\n'; };
    const QString zero = QStringLiteral("0%");
    EXPECT_EQ(outcome.output.toStdString(),
              QString(line({QStringLiteral("1. waiting.bin"), QStringLiteral("Waiting"), zero, waiting})
               + line({QStringLiteral("2. paused.bin"), QStringLiteral("Pending"), zero, paused})
               + line({QStringLiteral("3. never.bin"), QStringLiteral("Aborted"),
                       QStringLiteral("\"ftp:\" addresses cannot be downloaded (only http, https and file)"), zero,
                       QStringLiteral("ftp://127.0.0.1/never.bin")})
               + line({QStringLiteral("4. more.bin"), QStringLiteral("Waiting"), zero,
                       QStringLiteral("http://127.0.0.1:9/more.bin")}))
                  .toStdString())
        << trace(outcome).toStdString();

    outcome = run({QStringLiteral("--pause"), QStringLiteral("1"), QStringLiteral("more.bin")});
    EXPECT_EQ(outcome.exitCode, 0) << trace(outcome).toStdString();
    EXPECT_EQ(outcome.output, QStringLiteral("paused: waiting.bin\npaused: more.bin\n"));
    EXPECT_EQ(pausedFlags(), QList<bool>({true, true, true, true}));

    outcome = run({QStringLiteral("--remove"), QStringLiteral("HTTP://127.0.0.1:9/%70aused.bin"), QStringLiteral("7")});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.output, QStringLiteral("removed: paused.bin\n"));
    EXPECT_TRUE(outcome.errors.contains(QStringLiteral("no download in the queue is \"7\""))) << trace(outcome).toStdString();
    outcome = run({QStringLiteral("--clear")});
    EXPECT_EQ(outcome.output, QStringLiteral("cleared: never.bin\n"));
    ASSERT_EQ(archive().size(), 2);
    EXPECT_EQ(archive().at(1).toMap().value(QStringLiteral("URL")).toString(), QStringLiteral("http://127.0.0.1:9/more.bin"));

    // While another Quorvel works the queue, only the listing is given, from the file as it stands.
    auto running = quorvel({});
    QString runningOutput;
    ASSERT_TRUE(waitUntil(
        [&] {
            runningOutput += QString::fromLocal8Bit(running->readAllStandardOutput());
            return runningOutput.contains(QStringLiteral("2 downloads:"));
        },
        10000));
    const QByteArray before = readFile(archivePath());
    for (const char *command : {"--pause", "--resume", "--remove", "--clear", "--retry"}) {
        SCOPED_TRACE(command);
        outcome = run({QString::fromLatin1(command)});
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_TRUE(outcome.errors.contains(QStringLiteral("cannot be reached over the session bus")))
            << trace(outcome).toStdString();
        EXPECT_EQ(readFile(archivePath()), before);
    }
    outcome = run({QStringLiteral("--list"), QStringLiteral("2")});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.output.toStdString(),
              line({QStringLiteral("2. more.bin"), QStringLiteral("Pending"), zero,
                    QStringLiteral("http://127.0.0.1:9/more.bin")})
                  .toStdString());
    EXPECT_TRUE(outcome.errors.contains(QStringLiteral("this is its queue as it last saved it")));
    finish(*running);
    EXPECT_EQ(running->exitCode(), 0);
}

// Each refused argument is named on one line with its reason, the run ends without downloading
// and the queue gains nothing.
TEST_F(QueueCommands, ArgumentsThatCannotBeDownloadedAreRefusedWithTheirReason)
{
    const QString unreadable = root + QStringLiteral("/unreadable.bin");
    ASSERT_TRUE(writeFile(unreadable, "x"));
    ASSERT_TRUE(QFile::setPermissions(unreadable, QFileDevice::WriteOwner));
    const QString latin1List = root + QStringLiteral("/latin1.txt");
    ASSERT_TRUE(writeFile(latin1List, "http://127.0.0.1:9/caf\xe9.bin\n"));
    struct Row {
        QStringList arguments;
        QString message; // on stderr after "quorvel: "
        int exitCode;
    };
    const auto refused = [](const QString &argument, const QString &reason) {
        return QStringLiteral("cannot download \"%1\": %2").arg(argument, reason);
    };
    const QString ports = QStringLiteral("the port is not valid (1 to 65535)");
    const QString noHost = QStringLiteral("the address has no host");
    QList<Row> rows = {
        {{QStringLiteral("http://host:99999/x")}, refused(QStringLiteral("http://host:99999/x"), ports), 2},
        {{QStringLiteral("http://host:0/x")}, refused(QStringLiteral("http://host:0/x"), ports), 2},
        {{QStringLiteral("http://[::1/x")}, refused(QStringLiteral("http://[::1/x"), QStringLiteral("the host is not valid")), 2},
        {{QStringLiteral("http://")}, refused(QStringLiteral("http://"), noHost), 2},
        {{QStringLiteral("http://u:p@/x")}, refused(QStringLiteral("http://u:p@/x"), noHost), 2},
        {{QStringLiteral("javascript:alert(1)")},
         refused(QStringLiteral("javascript:alert(1)"),
                 QStringLiteral("\"javascript:\" addresses cannot be downloaded (only http, https and file)")), 2},
        {{QStringLiteral("ftp://127.0.0.1/x")},
         refused(QStringLiteral("ftp://127.0.0.1/x"), QStringLiteral("\"ftp:\" addresses cannot be downloaded (only http, https and file)")), 2},
        // The program's own scheme stands for http.
        {{QStringLiteral("quorvel://127.0.0.1:99999/x")}, refused(QStringLiteral("http://127.0.0.1:99999/x"), ports), 2},
        {{QString()}, refused(QString(), QStringLiteral("the argument is empty")), 2},
        {{QStringLiteral("missing.txt")}, refused(QStringLiteral("missing.txt"), QStringLiteral("neither an address nor an existing file")), 2},
        {{QStringLiteral("just words")}, refused(QStringLiteral("just words"), QStringLiteral("neither an address nor an existing file")), 2},
        {{QStringLiteral("file:///nowhere/x.bin")}, refused(QStringLiteral("file:///nowhere/x.bin"), QStringLiteral("no such file")), 2},
        {{latin1List}, refused(latin1List, QStringLiteral("the address list is not UTF-8 text")), 2},
        {{QStringLiteral("--referrer"), QStringLiteral("a\r\nX-Injected: 1"), QStringLiteral("http://127.0.0.1:9/x")},
         QStringLiteral("The value of \"--referrer\" holds a line break"), 2},
        {{QStringLiteral("--list"), QStringLiteral("--pause")}, QStringLiteral("--list and --pause cannot be given together"), 2},
    };
    // The superuser reads whatever the permissions say.
    if (::geteuid() != 0)
        rows.append({{unreadable}, refused(unreadable, QStringLiteral("Permission denied")), 2});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        const Outcome outcome = run(row.arguments, 10000);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << trace(outcome).toStdString();
        EXPECT_TRUE(outcome.errors.contains(QStringLiteral("quorvel: ") + row.message)) << trace(outcome).toStdString();
        EXPECT_FALSE(QFileInfo::exists(archivePath())) << trace(outcome).toStdString();
    }

    // Bytes that are not UTF-8 are refused, not turned into U+FFFD; what can be had still is.
    const QString copied = root + QStringLiteral("/source.bin");
    ASSERT_TRUE(writeFile(copied, "local"));
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->start(QStringLiteral("sh"), {QStringLiteral("-c"),
                                          QStringLiteral("exec \"$0\" --headless --to \"$1\" \"$(printf 'http://127.0.0.1:9/caf\\351')\" \"$2\""),
                                          QStringLiteral(QUORVEL_EXECUTABLE), root + QStringLiteral("/out/"), copied});
    ASSERT_TRUE(process->waitForFinished(20000));
    const QString errors = QString::fromLocal8Bit(process->readAllStandardError());
    EXPECT_EQ(process->exitCode(), 1) << errors.toStdString();
    EXPECT_TRUE(errors.contains(QStringLiteral("quorvel: cannot download \"http://127.0.0.1:9/caf\\xE9\": not valid UTF-8 text")))
        << errors.toStdString();
    EXPECT_EQ(readFile(root + QStringLiteral("/out/source.bin")), QByteArray("local"));
    EXPECT_TRUE(archive().isEmpty());
}

} // namespace
