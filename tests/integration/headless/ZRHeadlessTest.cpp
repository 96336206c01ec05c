// The terminal front end: its answers to alerts, its list lines, and the quorvel executable started
// on a queue archive and stopped with signals.
#include "app/headless/ZRHeadlessRun.h"
#include "app/headless/ZRHeadlessUserInterface.h"
#include "core/download/ZRDownload.h"
#include "core/download/ZRDownloadKeys.h"
#include "core/foundation/ZRPropertyList.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestSilentServer.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <QTime>

#include <cstdio>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ZRTestSupport;

namespace
{


// A terminal user interface whose input is the given text and whose output is kept.
struct ScriptedTerminal {
    explicit ScriptedTerminal(const QByteArray &typed, bool interactive = true, bool liveRows = false)
        : input(typed), in(fmemopen(input.data(), size_t(std::max<qsizetype>(input.size(), 1)), "r")),
          out(open_memstream(&outputBuffer, &outputSize)), userInterface(in, out, interactive, liveRows)
    {
        if (typed.isEmpty())
            std::fgetc(in); // an empty script is at its end at once
    }
    ~ScriptedTerminal()
    {
        std::fclose(in);
        std::fclose(out);
        std::free(outputBuffer);
    }
    QString output()
    {
        std::fflush(out);
        return QString::fromLocal8Bit(outputBuffer, qsizetype(outputSize));
    }

    QByteArray input;
    std::FILE *in;
    char *outputBuffer = nullptr;
    size_t outputSize = 0;
    std::FILE *out;
    ZRHeadlessUserInterface userInterface;
};

const ZRAlert quitAlert{QStringLiteral("Wait!"),
                        QStringLiteral("Really?"),
                        {QStringLiteral("Quit"), QStringLiteral("Cancel")},
                        ZRAlert::Style::Warning};

TEST(HeadlessUserInterface, AnswersAlertsFromTheTerminalOrWithTheDefaultButton)
{
    struct Row {
        const char *typed;
        bool interactive;
        int answer;
    };
    const Row rows[] = {
        {"", false, ZRAlertFirstButton},
        {"2\n", false, ZRAlertFirstButton},
        {"\n", true, ZRAlertFirstButton},
        {"2\n", true, ZRAlertSecondButton},
        {"cancel\n", true, ZRAlertSecondButton},
        {"x\n7\n2\n", true, ZRAlertSecondButton}, // asked again until the answer is one of the buttons
        {"", true, ZRAlertFirstButton},           // end of input
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.typed);
        ScriptedTerminal terminal(row.typed, row.interactive);
        EXPECT_EQ(terminal.userInterface.runModalAlert(quitAlert), row.answer);
        const QString output = terminal.output();
        EXPECT_TRUE(output.contains(QStringLiteral("Wait!\nReally?\n")));
        EXPECT_EQ(output.contains(QStringLiteral("(answered \"Quit\": no terminal to ask)")),
                  !row.interactive);
    }

    ScriptedTerminal quiet("", false);
    EXPECT_EQ(quiet.userInterface.runFolderPanel({}), std::nullopt) << "no terminal, no panel";
    ScriptedTerminal typed("/tmp/x\n");
    EXPECT_EQ(typed.userInterface.runFolderPanel({}), std::optional<QString>(QStringLiteral("/tmp/x")));
}

TEST(HeadlessUserInterface, ShowsOneLinePerDownloadAndOnlyChangedRowsAfterwards)
{
    ScriptedTerminal terminal("", false);
    ZRDownloadPtr first =
        ZRDownload::downloadWithURLString(QStringLiteral("http://127.0.0.1/a/first.zip"), false);
    ZRDownloadPtr second =
        ZRDownload::downloadWithURLString(QStringLiteral("http://127.0.0.1/b/second.iso"), false);
    ASSERT_TRUE(first && second);
    terminal.userInterface.showDownloads({first, second});
    const QString shown = terminal.output();
    EXPECT_TRUE(shown.contains(QStringLiteral("2 downloads:\n")));
    EXPECT_TRUE(shown.contains(ZRHeadlessUserInterface::lineForDownload(*first) + QLatin1Char('\n')));
    EXPECT_TRUE(shown.contains(ZRHeadlessUserInterface::lineForDownload(*second) + QLatin1Char('\n')));
    EXPECT_TRUE(ZRHeadlessUserInterface::lineForDownload(*first).startsWith(first->displayName()));
    EXPECT_TRUE(ZRHeadlessUserInterface::lineForDownload(*first).endsWith(
        first->statusDescriptionWithLiveDetails(true)));

    second->setStatus(ZRDownloadStatusAborted);
    terminal.userInterface.redrawDownload(second.get());
    terminal.userInterface.redrawDownload(second.get());
    ASSERT_TRUE(waitUntil([&] { return terminal.output().size() > shown.size(); }, 3000));
    processEventsFor(50);
    EXPECT_EQ(terminal.output().mid(shown.size()),
              QStringLiteral("  ") + ZRHeadlessUserInterface::lineForDownload(*second) + QLatin1Char('\n'));
}

TEST(HeadlessUserInterface, OnATerminalTransferringDownloadsKeepOneLineEachAtTheBottom)
{
    ScriptedTerminal terminal("", false, true);
    ZRDownloadPtr running =
        ZRDownload::downloadWithURLString(QStringLiteral("http://127.0.0.1/a/running.zip"), false);
    ZRDownloadPtr waiting =
        ZRDownload::downloadWithURLString(QStringLiteral("http://127.0.0.1/b/waiting.iso"), false);
    ASSERT_TRUE(running && waiting);
    running->setStatus(ZRDownloadStatusDownloading);
    terminal.userInterface.showDownloads({running, waiting});
    const QString runningLine = QStringLiteral("  ") + ZRHeadlessUserInterface::lineForDownload(*running) + u'\n';
    const QString erase = QStringLiteral("\x1b[1F\x1b[J");

    const QString waitingLine = QStringLiteral("  ") + ZRHeadlessUserInterface::lineForDownload(*waiting) + u'\n';

    // The list, then the running download's line below it.
    ASSERT_TRUE(waitUntil([&] { return terminal.output().endsWith(waitingLine + runningLine); }, 3000))
        << terminal.output().toStdString();
    qsizetype mark = terminal.output().size();

    // A redraw replaces that line in place instead of adding one.
    terminal.userInterface.redrawDownload(running.get());
    ASSERT_TRUE(waitUntil([&] { return terminal.output().size() > mark; }, 3000));
    EXPECT_EQ(terminal.output().mid(mark), erase + runningLine);
    mark = terminal.output().size();

    // Other text goes above the live line, which comes back below it.
    terminal.userInterface.showStatusText(QStringLiteral("2 downloads"));
    ASSERT_TRUE(waitUntil([&] { return terminal.output().endsWith(runningLine); }, 3000));
    EXPECT_EQ(terminal.output().mid(mark), erase + QStringLiteral("2 downloads\n") + runningLine);
    mark = terminal.output().size();

    // A finished download leaves the bottom and its last state stays printed.
    running->setStatus(ZRDownloadStatusAborted);
    terminal.userInterface.redrawDownload(running.get());
    const QString finishedLine = QStringLiteral("  ") + ZRHeadlessUserInterface::lineForDownload(*running) + u'\n';
    ASSERT_TRUE(waitUntil([&] { return terminal.output().endsWith(finishedLine); }, 3000));
    processEventsFor(50);
    EXPECT_EQ(terminal.output().mid(mark), erase + finishedLine);

    // Taken away for good before a summary.
    running->setStatus(ZRDownloadStatusDownloading);
    terminal.userInterface.redrawDownload(running.get());
    ASSERT_TRUE(waitUntil([&] { return terminal.output().endsWith(runningLine); }, 3000));
    terminal.userInterface.clearLiveRows();
    EXPECT_TRUE(terminal.output().endsWith(runningLine + erase));
    mark = terminal.output().size();
    terminal.userInterface.redrawDownload(running.get());
    processEventsFor(400);
    EXPECT_FALSE(terminal.output().mid(mark).contains(u'\x1b')) << "nothing is redrawn in place any more";
}

TEST(HeadlessRun, EndsOnTheTurnAfterTheLastDownloadSettles)
{
    char *buffer = nullptr;
    size_t size = 0;
    std::FILE *output = open_memstream(&buffer, &size);
    int quits = 0;
    int summariesAnnounced = 0;
    {
        ZRHeadlessRun run(output, [&] { ++quits; });
        run.setWillPrintSummary([&] { ++summariesAnnounced; });
        ZRDownloadPtr download =
            ZRDownload::downloadWithURLString(QStringLiteral("http://127.0.0.1/c/one.bin"), false);
        ASSERT_TRUE(download);
        download->setStatus(ZRDownloadStatusDownloading);
        run.watch({download});
        QCoreApplication::processEvents();
        EXPECT_FALSE(run.isFinished());

        download->setStatus(ZRDownloadStatusComplete);
        run.checkSoon();
        run.checkSoon();
        EXPECT_FALSE(run.isFinished()) << "not inside the change that reported it";
        QCoreApplication::processEvents();
        EXPECT_TRUE(run.isFinished()) << "without waiting for the next tick";
        run.checkSoon();
        processEventsFor(50);
        EXPECT_EQ(quits, 1);
        EXPECT_EQ(summariesAnnounced, 1);
        EXPECT_EQ(run.exitStatus(), 0);
    }
    std::fclose(output);
    EXPECT_TRUE(QString::fromLocal8Bit(buffer, qsizetype(size)).startsWith(QStringLiteral("1 of 1 downloads complete:")));
    std::free(buffer);
}

class QuorvelExecutable : public testing::Test
{
protected:
    void SetUp() override
    {
        root = sandboxRoot() + QStringLiteral("/executable");
        environment = isolatedProcessEnvironment(root);
        process.setProcessEnvironment(environment);
        process.setProgram(QStringLiteral(QUORVEL_EXECUTABLE));
    }
    void TearDown() override
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QString supportFolder() const { return root + QStringLiteral("/data/Quorvel"); }
    QString archivePath() const { return supportFolder() + QStringLiteral("/Queue.plist"); }
    // Collects standard output while waiting for a text to appear in it.
    bool waitForOutput(const QString &text, int milliseconds = 10000)
    {
        return waitUntil(
            [&] {
                output += QString::fromLocal8Bit(process.readAllStandardOutput());
                return output.contains(text);
            },
            milliseconds);
    }

    QString root;
    QString output;
    QProcessEnvironment environment;
    QProcess process;
    ZRTestSilentServer server;
};

TEST_F(QuorvelExecutable, HelpTellsTheOptions)
{
    process.setArguments({QStringLiteral("--help")});
    process.start();
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(process.readAllStandardOutput());
    EXPECT_TRUE(help.contains(QStringLiteral("--headless")));
    EXPECT_TRUE(help.contains(QStringLiteral("Queue.plist")));
    EXPECT_TRUE(help.contains(QStringLiteral("--history")));
}

TEST_F(QuorvelExecutable, TerminationPausesActiveDownloadsAndRewritesTheArchive)
{
    const QString waitingURL = server.url(QStringLiteral("waiting.iso"));
    const QString pausedURL = server.url(QStringLiteral("paused.zip"));
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(
        QVariantList{
            QVariantMap{{ZRDownloadKeys::URL, waitingURL}, {ZRDownloadKeys::Paused, false}},
            QVariantMap{{ZRDownloadKeys::Name, QStringLiteral("no address")}},
            QVariantMap{{ZRDownloadKeys::URL, pausedURL}, {ZRDownloadKeys::Paused, true}},
        },
        (QDir().mkpath(supportFolder()), archivePath())));

    // --headless keeps a run with a display in the terminal.
    environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":99"));
    process.setProcessEnvironment(environment);
    process.setArguments({QStringLiteral("--headless")});
    process.start();
    ASSERT_TRUE(process.waitForStarted(10000));
    // The last row printed is the paused download's.
    ASSERT_TRUE(waitForOutput(QStringLiteral("paused.zip"))) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("2 downloads:\n")));
    EXPECT_TRUE(output.contains(QStringLiteral("waiting.iso")));

    ::kill(pid_t(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    output += QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << errors.toStdString();
    // Standard input is no terminal: the quit alert takes its default button.
    EXPECT_TRUE(
        output.contains(QStringLiteral("Wait! You seem to have forgotten something on the stove...")));
    EXPECT_TRUE(output.contains(QStringLiteral("(answered \"Quit\": no terminal to ask)")));

    const std::optional<QVariant> archive = ZRPropertyList::propertyListWithContentsOfFile(archivePath());
    ASSERT_TRUE(archive);
    const QVariantList elements = archive->toList();
    ASSERT_EQ(elements.size(), 2);
    EXPECT_EQ(elements[0].toMap().value(ZRDownloadKeys::URL).toString(), waitingURL);
    EXPECT_FALSE(elements[0].toMap().value(ZRDownloadKeys::Paused).toBool()) << "comes back to the queue";
    EXPECT_EQ(elements[1].toMap().value(ZRDownloadKeys::URL).toString(), pausedURL);
    EXPECT_TRUE(elements[1].toMap().value(ZRDownloadKeys::Paused).toBool());
    // Written aside and renamed: nothing else is left in the folder.
    EXPECT_EQ(QDir(supportFolder()).entryList(QDir::Files), QStringList{QStringLiteral("Queue.plist")});
}

// The first byte sequence in the output that a terminal would act on, or an empty one.
QByteArray firstTerminalControl(const QByteArray &bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes.at(i));
        const auto next = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes.at(i + 1)) : 0;
        const auto third = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes.at(i + 2)) : 0;
        if ((byte < 0x20 && byte != '\n') || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F) ||
            (byte == 0xE2 && next == 0x80 && third >= 0xAA && third <= 0xAE) ||
            (byte == 0xE2 && next == 0x81 && third >= 0xA6 && third <= 0xA9))
            return bytes.mid(std::max<qsizetype>(0, i - 20), 40);
    }
    return {};
}

TEST_F(QuorvelExecutable, NamesFromServersReachTheTerminalWithTheirControlCharactersEscaped)
{
    ZRTestScriptedServer scripted;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(scripted);
    // The server names the file with a colour, a window title, a C1 CSI that clears the screen and
    // a right-to-left override, as raw bytes and as percent escapes.
    const QString address = scripted.url(QStringLiteral(
        "/bytes?size=100&name=%1B%5B31mred%1B%5D0%3Bowned%07%C2%9B2J%E2%80%AEgpj.exe%251B%5B1mbold"));
    process.setArguments(
        {QStringLiteral("--headless"), QStringLiteral("--to"), root + QStringLiteral("/out/"), address});
    process.start();
    ASSERT_TRUE(process.waitForFinished(30000));
    const QByteArray standardOutput = process.readAllStandardOutput();
    const QByteArray standardError = process.readAllStandardError();
    EXPECT_EQ(process.exitCode(), 0) << standardOutput.toStdString() << standardError.toStdString();

    EXPECT_TRUE(standardOutput.contains("1 of 1 downloads complete:")) << standardOutput.toStdString();
    // Shown, but as text.
    EXPECT_TRUE(standardOutput.contains(R"(\x1B[31mred\x1B]0;owned\x07\x9B2J\u202Egpj.exe\x1B[1mbold)"))
        << standardOutput.toStdString();
    EXPECT_EQ(firstTerminalControl(standardOutput), QByteArray()) << standardOutput.toStdString();
    EXPECT_EQ(firstTerminalControl(standardError), QByteArray()) << standardError.toStdString();
    EXPECT_EQ(QDir(root + QStringLiteral("/out")).entryList(QDir::Files).size(), 1);
}

TEST_F(QuorvelExecutable, InterruptWithNothingLeftRemovesTheArchive)
{
    QDir().mkpath(supportFolder() + QStringLiteral("/Downloads/old.quorvel"));
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(QVariantList{}, archivePath()));
    process.setArguments({QStringLiteral("--headless")});
    process.start();
    ASSERT_TRUE(waitForOutput(QStringLiteral("no downloads\n"))) << output.toStdString();
    ::kill(pid_t(process.processId()), SIGINT);
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_FALSE(QFileInfo::exists(archivePath()));
    EXPECT_FALSE(QFileInfo::exists(supportFolder() + QStringLiteral("/Downloads")));
}

} // namespace

TEST_F(QuorvelExecutable, ScheduledQueuingStartsPausedDownloadsAndTheHistoryKeepsTheLastThree)
{
    ZRTestScriptedServer scripted;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(scripted);
    const QString out = root + QStringLiteral("/out");
    QVariantList elements;
    for (int index = 1; index <= 4; ++index)
        elements.append(QVariantMap{
            {ZRDownloadKeys::URL, scripted.url(QStringLiteral("/bytes?size=100&name=f%1.bin").arg(index))},
            {ZRDownloadKeys::Paused, true},
            {ZRDownloadKeys::DownloadFolder, out}});
    ASSERT_TRUE(
        ZRPropertyList::writePropertyListToFile(elements, (QDir().mkpath(supportFolder()), archivePath())));
    // Not across midnight, where the time would come round only tomorrow.
    while (QTime::currentTime() > QTime(23, 59, 50))
        QThread::msleep(100);
    // Whole seconds, as the time of day is stored. The program must have armed the schedule before
    // then (a time already past is tomorrow's): a start that a busy machine slows down has seconds.
    const QTime soon = QTime::currentTime().addSecs(7);
    const QTime at(soon.hour(), soon.minute(), soon.second());
    const auto timeOfDay = [](const QTime &time) {
        return QVariantMap{{QStringLiteral("Hour"), qint64(time.hour())},
                           {QStringLiteral("Minute"), qint64(time.minute())},
                           {QStringLiteral("Second"), qint64(time.second())}};
    };
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(
        QVariantMap{{QStringLiteral("Schedule: Queue"), true},
                    {QStringLiteral("Schedule: Queue: Time"), timeOfDay(at)},
                    {QStringLiteral("Number Of History Items"), qint64(3)}},
        (QDir().mkpath(root + QStringLiteral("/config/Quorvel")),
         root + QStringLiteral("/config/Quorvel/Preferences.plist"))));

    process.start();
    ASSERT_TRUE(waitForOutput(QStringLiteral("4 downloads:\n"))) << output.toStdString();
    processEventsFor(1000);
    EXPECT_TRUE(QDir(out).entryList(QDir::Files).isEmpty()) << "not before the time";
    EXPECT_TRUE(waitUntil([&] { return QDir(out).entryList(QDir::Files).size() == 4; }, 15000));
    EXPECT_GE(QTime::currentTime().msecsSinceStartOfDay() + 500, at.msecsSinceStartOfDay());
    ::kill(pid_t(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
    EXPECT_TRUE(errors.contains(QStringLiteral("a schedule is on"))) << errors.toStdString();

    // Saved at quit at the latest; the oldest of the four is gone.
    const std::optional<QVariant> history =
        ZRPropertyList::propertyListWithContentsOfFile(supportFolder() + QStringLiteral("/History.plist"));
    ASSERT_TRUE(history);
    const QVariantList items = history->toList();
    ASSERT_EQ(items.size(), 3);
    for (const QString &key : {QStringLiteral("Name"), QStringLiteral("Original URL"), QStringLiteral("Path"),
                               QStringLiteral("Date")})
        EXPECT_TRUE(items.last().toMap().contains(key)) << key.toStdString();

    // The listing, newest first, searchable; the history file is only read.
    QProcess listing;
    listing.setProcessEnvironment(environment);
    listing.start(QStringLiteral(QUORVEL_EXECUTABLE), {QStringLiteral("--history")});
    ASSERT_TRUE(listing.waitForFinished(10000));
    const QStringList lines =
        QString::fromLocal8Bit(listing.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0].section(QStringLiteral(" \u2014 "), 2, 2),
              out + QLatin1Char('/') + items.last().toMap().value(QStringLiteral("Name")).toString());
    QFile::remove(out + QStringLiteral("/") + items.first().toMap().value(QStringLiteral("Name")).toString());
    listing.start(
        QStringLiteral(QUORVEL_EXECUTABLE),
        {QStringLiteral("--history"), items.first().toMap().value(QStringLiteral("Name")).toString()});
    ASSERT_TRUE(listing.waitForFinished(10000));
    EXPECT_TRUE(QString::fromLocal8Bit(listing.readAllStandardOutput())
                    .contains(QStringLiteral(" \u2014 missing \u2014 ")));
    listing.start(QStringLiteral(QUORVEL_EXECUTABLE),
                  {QStringLiteral("--history"), QStringLiteral("nothing-like-it")});
    ASSERT_TRUE(listing.waitForFinished(10000));
    EXPECT_EQ(listing.exitCode(), 1);
    EXPECT_EQ(QString::fromLocal8Bit(listing.readAllStandardError()), QStringLiteral("No Matches\n"));
}

namespace
{

TEST(HeadlessAuthenticationPanel, theTerminalAsksForNameAndPasswordOrCancels)
{
    struct Row {
        const char *name;
        QByteArray typed;
        bool interactive;
        bool ntlm;
        std::optional<ZRAuthenticationAnswer> expected;
    };
    const Row rows[] = {
        {"name and password", "user\n secret with blanks \n\n", true, false,
         ZRAuthenticationAnswer{QString(), QStringLiteral("user"), QStringLiteral(" secret with blanks "), true}},
        {"no keyring", "user\nsecret\nn\n", true, false,
         ZRAuthenticationAnswer{QString(), QStringLiteral("user"), QStringLiteral("secret"), false}},
        {"domain for NTLM", "CORP\nuser\nsecret\ny\n", true, true,
         ZRAuthenticationAnswer{QStringLiteral("CORP"), QStringLiteral("user"), QStringLiteral("secret"), true}},
        {"empty name cancels", "\n", true, false, std::nullopt},
        {"end of input cancels", "user\n", true, false, std::nullopt},
        {"no terminal cancels", "user\nsecret\n\n", false, false, std::nullopt},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedTerminal terminal(row.typed, row.interactive);
        ZRAuthenticationQuestion question;
        question.host = QStringLiteral("files.example");
        question.scheme = row.ntlm ? QStringLiteral("NTLM") : QStringLiteral("Basic");
        question.showsDomain = row.ntlm;
        question.explanation = QStringLiteral("You need to log in before downloading \"a.bin\" from \"r\".");
        question.securityInfo = QStringLiteral("Your password will be submitted as plain text.");
        const auto answer = terminal.userInterface.runAuthenticationPanel(question);
        ASSERT_EQ(answer.has_value(), row.expected.has_value());
        if (row.interactive) {
            EXPECT_TRUE(terminal.output().contains(question.explanation)) << terminal.output().toStdString();
        }
        if (!answer)
            continue;
        EXPECT_EQ(answer->domain, row.expected->domain);
        EXPECT_EQ(answer->username, row.expected->username);
        EXPECT_EQ(answer->password, row.expected->password);
        EXPECT_EQ(answer->storeInKeychain, row.expected->storeInKeychain);
    }
}

} // namespace
