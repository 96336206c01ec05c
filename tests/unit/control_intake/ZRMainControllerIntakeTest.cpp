// Address intake: text and files to URLs, the per-URL pass, targets and requests from script
// arguments, and the lock that keeps one queue per user.
#include "app/control/ZRInstanceLock.h"
#include "app/control/ZRMainController.h"
#include "app/control/ZRPreferenceKeys.h"
#include "app/control/ZRScriptArgumentKeys.h"
#include "app/control/ZRScriptCommands.h"
#include "core/download/ZRDownload.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "tests/support/ZRTestSupport.h"
#include "tests/unit/control/ZRScriptedUserInterface.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace ZRTestSupport;

namespace
{

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

QString address(const QString &name)
{
    // Nothing is ever fetched: the queue's starter is replaced below.
    return QStringLiteral("http://127.0.0.1/") + name;
}

QStringList strings(const QList<QUrl> &urls)
{
    QStringList result;
    for (const QUrl &url : urls)
        result.append(url.isLocalFile() ? url.toLocalFile() : url.toString());
    return result;
}

class IntakeTest : public testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + sandboxRoot().toLocal8Bit() + "/no-system-bus");
        ZRUserDefaults::resetStandardInstancesForTesting();
        QDir(ZRApplicationSupportFolderPath()).removeRecursively();
        QFile::remove(ZRConfigurationFolderPath() + QStringLiteral("/Preferences.plist"));
        folder = sandboxRoot() + QStringLiteral("/intake");
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        controller = ZRMainController::mainController();
        controller->resetForTesting();
        controller->setUserInterface(&ui);
        ZRMainController::registerDefaults();
        ZRDownload::setQueuedDownloadStarterForTesting([](ZRDownload &) {});
        ZRLogSetHandler([this](const QString &line) { logLines.append(line); });
    }

    void TearDown() override
    {
        controller->resetForTesting();
        ZRLogSetHandler({});
        processEventsFor(1);
        ZRDownload::setQueuedDownloadStarterForTesting({});
    }

    QStringList listedAddresses() const
    {
        QStringList result;
        for (const ZRDownloadPtr &download : controller->downloads())
            result.append(download->URL().isLocalFile() ? download->URL().toLocalFile() : download->URLString());
        return result;
    }
    QVariantMap settings(qsizetype index) const { return controller->downloads().at(index)->userSettings(); }
    QString path(const QString &name) const { return folder + QLatin1Char('/') + name; }
    bool logged(const QString &text) const
    {
        return std::any_of(logLines.begin(), logLines.end(), [&](const QString &line) { return line.contains(text); });
    }

    ZRMainController *controller = nullptr;
    ZRScriptedUserInterface ui;
    QString folder;
    QStringList logLines;
};

TEST_F(IntakeTest, DuplicateCheckSkipsListedAddressesButKeepsRepeatsOfOneIntake)
{
    controller->openURLs({QUrl(address(QStringLiteral("a.zip")))});
    ASSERT_EQ(controller->downloads().size(), 1);

    const QString pasted = address(QStringLiteral("a.zip")) + QLatin1Char('\n') + address(QStringLiteral("b.zip")) +
                           QStringLiteral("\r\n  \n") + address(QStringLiteral("b.zip"));
    EXPECT_EQ(strings(controller->URLsFromString(pasted)),
              QStringList({address(QStringLiteral("b.zip")), address(QStringLiteral("b.zip"))}));
    controller->openURLs(controller->URLsFromString(pasted));
    EXPECT_EQ(listedAddresses(), QStringList({address(QStringLiteral("a.zip")), address(QStringLiteral("b.zip")),
                                              address(QStringLiteral("b.zip"))}));

    defaults().setObject(false, ZRPreferenceKey::InstantDuplicateCheck);
    EXPECT_EQ(controller->URLsFromString(address(QStringLiteral("a.zip"))).size(), 1);

    // Every kind of line break separates addresses; CR LF is one break, not an empty line between two.
    QString mixed;
    QStringList expected;
    const char16_t breaks[] = {u'\n', u'\v', u'\f', u'\r', 0x85, 0x2028, 0x2029};
    for (const char16_t lineBreak : breaks) {
        expected << address(QStringLiteral("m%1.zip").arg(int(lineBreak)));
        mixed += expected.last() + QChar(lineBreak);
    }
    expected << address(QStringLiteral("crlf.zip"));
    mixed += expected.last() + QStringLiteral("\r\n") + address(QStringLiteral("last.zip"));
    expected << address(QStringLiteral("last.zip"));
    EXPECT_EQ(strings(controller->URLsFromString(mixed)), expected);
}

TEST_F(IntakeTest, DuplicatesAreFoundInEverySpellingOfTheAddress)
{
    controller->openURLs(
        controller->URLsFromString(address(u"a.zip"_s) + u"\nhttp://bücher.example/é x.zip"_s));
    ASSERT_EQ(controller->downloads().size(), 2);
    const std::pair<QString, bool> rows[] = {
        {u"HTTP://127.0.0.1/a.zip"_s, false},
        {u"http://127.0.0.1:80/a.zip"_s, false},
        {u"http://127.0.0.1/%61.zip"_s, false},
        {u"http://bücher.example/é x.zip"_s, false},
        {u"http://xn--bcher-kva.example/%C3%A9%20x.zip"_s, false},
        {u"http://BÜCHER.example/%c3%a9 x.zip"_s, false},
        // Other addresses.
        {u"http://127.0.0.1/A.zip"_s, true},
        {u"https://127.0.0.1/a.zip"_s, true},
        {u"http://127.0.0.1:8080/a.zip"_s, true},
    };
    for (const auto &[text, added] : rows)
        EXPECT_EQ(controller->URLsFromString(text).size(), added ? 1 : 0) << text.toStdString();
}

TEST_F(IntakeTest, BraceRangesBeyondTheLimitSaySoInTheLogAndToTheUser)
{
    EXPECT_EQ(controller->URLsFromString(address(u"{1-3}"_s)).size(), 3);
    EXPECT_TRUE(ui.notifications.isEmpty());
    EXPECT_FALSE(logged(u"brace expansion stopped"_s));

    // The address's own escapes stay as they are in the messages.
    const QString text = address(u"a%2Fb{1-100001}"_s);
    EXPECT_EQ(controller->URLsFromString(text).size(), 100000);
    EXPECT_TRUE(
        logged(u"brace expansion stopped at 100000 addresses; the rest of <"_s + text + u"> was not added"_s))
        << logLines.join(u'\n').toStdString();
    ASSERT_EQ(ui.notifications.size(), 1);
    EXPECT_EQ(ui.notifications[0].title, u"Too Many Addresses"_s);
    EXPECT_EQ(ui.notifications[0].message,
              u"The brace ranges of \""_s + text +
                  u"\" stand for more than 100000 addresses; only the first 100000 were taken."_s);
}

TEST_F(IntakeTest, TextBecomesAddressesWithBraceRangesAndNothingElse)
{
    EXPECT_EQ(strings(controller->URLsFromString(address(QStringLiteral("part{1-3}.zip")))),
              QStringList({address(QStringLiteral("part1.zip")), address(QStringLiteral("part2.zip")),
                           address(QStringLiteral("part3.zip"))}));
    // Addresses inside quotes are found in surrounding text.
    EXPECT_EQ(strings(controller->URLsFromString(QStringLiteral("<a href=\"") + address(QStringLiteral("x.iso")) +
                                                 QStringLiteral("\">x</a>"))),
              QStringList({address(QStringLiteral("x.iso"))}));
    EXPECT_TRUE(controller->URLsFromString(QStringLiteral("  \n\t\n")).isEmpty());
    EXPECT_TRUE(controller->URLsFromString(QStringLiteral("just words")).isEmpty());

    controller->openURLs(controller->URLsFromString(address(QStringLiteral("part{1-3}.zip"))));
    EXPECT_EQ(controller->downloads().size(), 3);
    ASSERT_EQ(ui.notifications.size(), 1);
    EXPECT_EQ(ui.notifications[0].title, QStringLiteral("Added to Queue"));
    EXPECT_TRUE(ui.notifications[0].message.contains(QStringLiteral("part1.zip\npart2.zip\npart3.zip")));
    // The new downloads are in the queue archive at once.
    const std::optional<QVariant> archive = ZRPropertyList::propertyListWithContentsOfFile(controller->queueArchivePath());
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->toList().size(), 3);
}

TEST_F(IntakeTest, FoldersAreWalkedInNaturalOrderAndBundlesTakenWhole)
{
    for (const QString &name : {QStringLiteral("file10.bin"), QStringLiteral("File2.bin"), QStringLiteral("file1.bin"),
                                QStringLiteral(".hidden"), QStringLiteral("sub/inner.bin"),
                                QStringLiteral("x.quorvel/data.bin")})
        ASSERT_TRUE(writeFile(path(QStringLiteral("tree/") + name), "x"));
    // A link back up the tree is walked once, not forever.
    ASSERT_EQ(::symlink("..", QFile::encodeName(path(QStringLiteral("tree/sub/loop"))).constData()), 0);

    QList<QUrl> urls;
    EXPECT_TRUE(controller->getFileURLs(urls, {path(QStringLiteral("tree"))}, QString()));
    EXPECT_EQ(strings(urls),
              QStringList({path(QStringLiteral("tree/file1.bin")), path(QStringLiteral("tree/File2.bin")),
                           path(QStringLiteral("tree/file10.bin")), path(QStringLiteral("tree/sub/inner.bin")),
                           path(QStringLiteral("tree/x.quorvel"))}));
    EXPECT_TRUE(ui.alerts.isEmpty());

    // Without locally stored metadata a bundle is not a document.
    defaults().setObject(false, ZRPreferenceKey::StoreMetadataLocally);
    urls.clear();
    EXPECT_TRUE(controller->getFileURLs(urls, {path(QStringLiteral("tree/x.quorvel"))}, QString()));
    EXPECT_TRUE(urls.isEmpty());
}

TEST_F(IntakeTest, TheHundredAndFirstFileAsksAndEachFileAfterIt)
{
    for (int i = 1; i <= 103; ++i)
        ASSERT_TRUE(writeFile(path(QStringLiteral("many/%1.bin").arg(i)), "x"));

    QList<QUrl> urls;
    EXPECT_TRUE(controller->getFileURLs(urls, {path(QStringLiteral("many"))}, QString()));
    EXPECT_EQ(urls.size(), 103);
    ASSERT_EQ(ui.alerts.size(), 3);
    EXPECT_EQ(ui.alerts[0].title, QStringLiteral("100 files and counting..."));
    EXPECT_EQ(ui.alerts[0].buttons, QStringList({QStringLiteral("Continue"), QStringLiteral("Stop")}));

    // "Stop" at the second question: the 101st file is in, nothing after it.
    ui.alerts.clear();
    ui.alertAnswers = {ZRAlertFirstButton, ZRAlertSecondButton};
    urls.clear();
    EXPECT_FALSE(controller->getFileURLs(urls, {path(QStringLiteral("many"))}, QString()));
    EXPECT_EQ(urls.size(), 101);
    EXPECT_EQ(ui.alerts.size(), 2);
    EXPECT_EQ(urls.last().toLocalFile(), path(QStringLiteral("many/101.bin")));

    // Opening documents keeps what was collected before the stop.
    ui.alertAnswers = {ZRAlertSecondButton};
    EXPECT_TRUE(controller->openFiles({path(QStringLiteral("many"))}, false, false));
    EXPECT_EQ(controller->downloads().size(), 100);
}

TEST_F(IntakeTest, DownloadBundlesAreQueuedRestoredOrRefused)
{
    // A bundle of a download in the list only queues that download.
    const QString bundle = path(QStringLiteral("listed.zip.quorvel"));
    ASSERT_TRUE(writeFile(bundle + QStringLiteral("/listed.zip"), "part"));
    ZRDownloadPtr listed = ZRDownload::downloadWithURLString(address(QStringLiteral("listed.zip")), false);
    listed->setIntermediateDownloadTargetPath(bundle + QStringLiteral("/listed.zip"));
    controller->appendDownload(listed);
    ASSERT_EQ(listed->status(), ZRDownloadStatusPaused);

    controller->openURLs({QUrl::fromLocalFile(bundle + QLatin1Char('/'))});
    EXPECT_EQ(controller->downloads().size(), 1);
    EXPECT_EQ(listed->status(), ZRDownloadStatusQueued);
    EXPECT_TRUE(ui.notifications.isEmpty());

    // A bundle from elsewhere comes back from its metadata file.
    const QString moved = path(QStringLiteral("moved.iso.quorvel"));
    ASSERT_TRUE(writeFile(moved + QStringLiteral("/moved.iso"), "part"));
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(
        QVariantMap{{ZRDownloadKeys::URL, address(QStringLiteral("moved.iso"))}, {ZRDownloadKeys::Paused, true}},
        moved + QLatin1Char('/') + ZRDownloadKeys::BundleMetadataFileName));
    // Without one it is refused with a beep.
    const QString bare = path(QStringLiteral("bare.quorvel"));
    ASSERT_TRUE(QDir().mkpath(bare));

    controller->openURLs({QUrl::fromLocalFile(moved), QUrl::fromLocalFile(bare)});
    EXPECT_EQ(listedAddresses(),
              QStringList({address(QStringLiteral("listed.zip")), address(QStringLiteral("moved.iso"))}));
    EXPECT_EQ(ui.beeps, 1);
    EXPECT_TRUE(logged(QStringLiteral("no locally stored metadata: ") + bare));
    ASSERT_EQ(ui.notifications.size(), 1);
}

TEST_F(IntakeTest, RequestFilesAreReadDeletedAndGiveTheirRequest)
{
    const QString target = path(QStringLiteral("wanted/name.zip"));
    const QVariantMap headers{{QStringLiteral("Cookie"), QStringLiteral("k=v")}};
    const QString good = path(QStringLiteral("good.qbp"));
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(
        QVariantMap{{ZRScriptArgumentKey::RequestFileSourceURL, address(QStringLiteral("q.zip"))},
                    {ZRScriptArgumentKey::RequestFileTargetPath, target},
                    {ZRDownloadKeys::RequestMethod, QStringLiteral("GET")},
                    {ZRDownloadKeys::RequestPartialHeaderFields, headers}},
        good));
    // Without a source address it is just a file.
    const QString plain = path(QStringLiteral("plain.qbp"));
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(QVariantMap{{QStringLiteral("x"), 1}}, plain));
    // A header that would split the request is refused, and the file kept.
    const QString unsafe = path(QStringLiteral("unsafe.qbp"));
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(
        QVariantMap{{ZRScriptArgumentKey::RequestFileSourceURL, address(QStringLiteral("u.zip"))},
                    {ZRDownloadKeys::RequestPartialHeaderFields,
                     QVariantMap{{QStringLiteral("Cookie"), QStringLiteral("a\r\nX-Evil: 1")}}}},
        unsafe));

    controller->openURLs({QUrl::fromLocalFile(good), QUrl::fromLocalFile(plain), QUrl::fromLocalFile(unsafe)});
    EXPECT_EQ(listedAddresses(), QStringList({address(QStringLiteral("q.zip")), plain}));
    EXPECT_FALSE(QFileInfo::exists(good));
    EXPECT_TRUE(QFileInfo::exists(plain));
    EXPECT_TRUE(QFileInfo::exists(unsafe));
    EXPECT_EQ(settings(0).value(ZRDownloadKeys::DownloadFile).toString(),
              ZRExtensions::stringByAbbreviatingWithTildeInPath(target));
    EXPECT_EQ(settings(0).value(ZRDownloadKeys::Request).toMap(),
              (QVariantMap{{ZRDownloadKeys::RequestMethod, QStringLiteral("GET")},
                           {ZRDownloadKeys::RequestPartialHeaderFields, headers}}));
    EXPECT_FALSE(settings(1).contains(ZRDownloadKeys::Request));
}

TEST_F(IntakeTest, RequestFileTargetsThatReachSettingsKeysOrSystemFoldersGoToTheDownloadFolder)
{
    const QString home = QDir::homePath();
    ASSERT_TRUE(home.startsWith(sandboxRoot()));
    ASSERT_TRUE(QDir().mkpath(home + u"/.config/autostart"_s));
    ASSERT_EQ(::symlink(QFile::encodeName(home + u"/.config/autostart"_s).constData(),
                        QFile::encodeName(path(u"link"_s)).constData()),
              0);
    ASSERT_EQ(::symlink(QFile::encodeName(path(u"nowhere"_s)).constData(),
                        QFile::encodeName(path(u"dangling"_s)).constData()),
              0);
    // The target as written, and what is stored ("~"-abbreviated, normalised), or nothing.
    const std::pair<QString, QString> rows[] = {
        {path(u"wanted/name.zip"_s), path(u"wanted/name.zip"_s)},
        {u"~/Downloads/ok.zip"_s, u"~/Downloads/ok.zip"_s},
        {u"~/Downloads/../Music/ok.mp3"_s, u"~/Music/ok.mp3"_s},
        {home + u"/Documents/report.pdf"_s, u"~/Documents/report.pdf"_s},
        {u"~/.config/autostart/evil.desktop"_s, QString()},
        {u"~/.bashrc"_s, QString()},
        {u"~/.ssh/authorized_keys"_s, QString()},
        {u"~/.gnupg/gpg.conf"_s, QString()},
        {u"~/.local/share/keyrings/login.keyring"_s, QString()},
        {u"~/Documents/.hidden/x"_s, QString()},
        {u"~/Downloads/../.profile"_s, QString()},
        {u"/etc/xdg/autostart/evil.desktop"_s, QString()},
        {u"/etc/cron.d/evil"_s, QString()},
        {u"/usr/local/bin/evil"_s, QString()},
        {u"relative/evil.zip"_s, QString()},
        {u"../evil.zip"_s, QString()},
        {path(u"link/evil.desktop"_s), QString()},
        {path(u"dangling/evil.desktop"_s), QString()},
    };
    qsizetype index = 0;
    for (const auto &[target, stored] : rows) {
        SCOPED_TRACE(target.toStdString());
        const QString file = path(u"request%1.qbp"_s.arg(index));
        ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(
            QVariantMap{{ZRScriptArgumentKey::RequestFileSourceURL, address(u"t%1.zip"_s.arg(index))},
                        {ZRScriptArgumentKey::RequestFileTargetPath, target}},
            file));
        ui.notifications.clear();
        controller->openURLs({QUrl::fromLocalFile(file)});
        ASSERT_EQ(controller->downloads().size(), index + 1);
        EXPECT_EQ(settings(index).value(ZRDownloadKeys::DownloadFile).toString(),
                  stored.isEmpty() ? QString() : ZRExtensions::stringByAbbreviatingWithTildeInPath(stored));
        EXPECT_EQ(logged(u"ignoring target <"_s + target + u">"_s), stored.isEmpty());
        EXPECT_EQ(std::count_if(ui.notifications.begin(), ui.notifications.end(),
                                [](const ZRUserNotification &n) { return n.title == u"Target Ignored"_s; }),
                  stored.isEmpty() ? 1 : 0);
        ++index;
    }
    EXPECT_FALSE(QFileInfo::exists(home + u"/.config/autostart/evil.desktop"_s));

    // A bundle opened as a document is held to the same places; its own data file stays.
    const QString bundle = path(u"evil.desktop.quorvel"_s);
    ASSERT_TRUE(writeFile(bundle + u"/evil.desktop"_s, "part"));
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(
        QVariantMap{{ZRDownloadKeys::URL, address(u"evil.desktop"_s)},
                    {ZRDownloadKeys::Paused, true},
                    {ZRDownloadKeys::DownloadFile, u"~/.config/autostart/evil.desktop"_s},
                    {ZRDownloadKeys::ResumePath, QString(bundle + u"/evil.desktop"_s)}},
        bundle + QLatin1Char('/') + ZRDownloadKeys::BundleMetadataFileName));
    controller->openURLs({QUrl::fromLocalFile(bundle)});
    ASSERT_EQ(controller->downloads().size(), index + 1);
    EXPECT_FALSE(settings(index).contains(ZRDownloadKeys::DownloadFile));
    EXPECT_TRUE(logged(u"ignoring \"Download File\" <~/.config/autostart/evil.desktop>"_s));
    EXPECT_FALSE(logged(u"ignoring \"Resume Path\""_s));
}

TEST_F(IntakeTest, AddressListsAreReadOncePerIntake)
{
    const QString list = path(QStringLiteral("list.txt"));
    ASSERT_TRUE(writeFile(list, (address(QStringLiteral("one.zip")) + QStringLiteral("\n\n") +
                                 address(QStringLiteral("two{1-2}.zip")) + QStringLiteral("\n"))
                                    .toUtf8()));
    controller->openURLs({QUrl::fromLocalFile(list), QUrl(address(QStringLiteral("three.zip"))),
                          QUrl::fromLocalFile(folder + QStringLiteral("/./list.txt"))});
    EXPECT_EQ(listedAddresses(),
              QStringList({address(QStringLiteral("one.zip")), address(QStringLiteral("two1.zip")),
                           address(QStringLiteral("two2.zip")), address(QStringLiteral("three.zip"))}));
}

TEST_F(IntakeTest, TheQuorvelAddressOnlyBringsTheWindowForward)
{
    controller->openURLs({QUrl(QStringLiteral("http://quorvel"))});
    EXPECT_TRUE(controller->downloads().isEmpty());
    EXPECT_EQ(ui.activations, 1);
    EXPECT_EQ(ui.windowShows, 1);
    EXPECT_TRUE(ui.notifications.isEmpty());
}

TEST_F(IntakeTest, TargetFileNamesTheFirstDownloadAndItsFolderTheRest)
{
    const QString target = path(QStringLiteral("new/folder/file.bin"));
    controller->openURLs({QUrl(address(QStringLiteral("a.bin"))), QUrl(address(QStringLiteral("b.bin")))},
                         {{ZRScriptArgumentKey::ToPosixPath, target}});
    ASSERT_EQ(controller->downloads().size(), 2);
    EXPECT_EQ(settings(0).value(ZRDownloadKeys::DownloadFile).toString(),
              ZRExtensions::stringByAbbreviatingWithTildeInPath(target));
    EXPECT_FALSE(settings(0).contains(ZRDownloadKeys::DownloadFolder));
    EXPECT_EQ(settings(1).value(ZRDownloadKeys::DownloadFolder).toString(),
              ZRExtensions::stringByAbbreviatingWithTildeInPath(path(QStringLiteral("new/folder"))));
    EXPECT_FALSE(settings(1).contains(ZRDownloadKeys::DownloadFile));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("new/folder"))).isDir());
    // Arguments without request values store no request.
    EXPECT_FALSE(settings(0).contains(ZRDownloadKeys::Request));

    // A folder, existing or named with a trailing slash, is every download's folder.
    for (const QString &named : QStringList{folder, path(QStringLiteral("later")) + QLatin1Char('/')}) {
        controller->resetForTesting();
        controller->setUserInterface(&ui);
        controller->openURLs({QUrl(address(QStringLiteral("a.bin"))), QUrl(address(QStringLiteral("b.bin")))},
                             {{ZRScriptArgumentKey::ToPosixPath, named}});
        ASSERT_EQ(controller->downloads().size(), 2);
        for (qsizetype i = 0; i < 2; ++i) {
            EXPECT_EQ(ZRExtensions::stringByExpandingTildeInPath(settings(i).value(ZRDownloadKeys::DownloadFolder).toString()),
                      QDir::cleanPath(named));
            EXPECT_FALSE(settings(i).contains(ZRDownloadKeys::DownloadFile));
        }
    }
}

TEST_F(IntakeTest, ScriptArgumentsBecomeTheRequest)
{
    using namespace ZRScriptArgumentKey;
    const auto request = [](const QVariantMap &arguments) {
        return ZRMainController::requestDictionaryFromAppleScriptArguments(arguments).value_or(QVariantMap{
            {QStringLiteral("refused"), true}});
    };
    EXPECT_EQ(request({{ByPostingData, QStringLiteral("a=1&b=2")}}),
              (QVariantMap{{ZRDownloadKeys::RequestMethod, QStringLiteral("POST")},
                           {ZRDownloadKeys::RequestBody, QByteArray("a=1&b=2")},
                           {ZRDownloadKeys::RequestPartialHeaderFields,
                            QVariantMap{{QStringLiteral("Content-Type"),
                                         QStringLiteral("application/x-www-form-urlencoded")}}}}));
    EXPECT_EQ(request({{WithReferrer, QStringLiteral("http://127.0.0.1/page")}}),
              (QVariantMap{{ZRDownloadKeys::RequestPartialHeaderFields,
                            QVariantMap{{QStringLiteral("Referer"), QStringLiteral("http://127.0.0.1/page")}}}}));
    EXPECT_EQ(request({{PosingAsUserAgent, QStringLiteral("UA/1")}, {UsingCookies, QStringLiteral("k=v")}}),
              (QVariantMap{{ZRDownloadKeys::RequestPartialHeaderFields,
                            QVariantMap{{QStringLiteral("User-Agent"), QStringLiteral("UA/1")},
                                        {QStringLiteral("Cookie"), QStringLiteral("k=v")}}}}));
    // Data outside ASCII posts nothing.
    EXPECT_EQ(request({{ByPostingData, QStringLiteral("name=J\u00fcrgen")}}), QVariantMap());
    EXPECT_EQ(request({{ToPosixPath, QStringLiteral("/somewhere")}}), QVariantMap());

    controller->openURLs({QUrl(address(QStringLiteral("form")))}, {{ByPostingData, QStringLiteral("a=1")}});
    ASSERT_EQ(controller->downloads().size(), 1);
    EXPECT_EQ(settings(0).value(ZRDownloadKeys::Request).toMap().value(ZRDownloadKeys::RequestMethod),
              QStringLiteral("POST"));
}

TEST_F(IntakeTest, LineBreaksInHeaderValuesRefuseTheWholeIntake)
{
    using namespace ZRScriptArgumentKey;
    for (const QString &key : {ByPostingData, WithReferrer, PosingAsUserAgent, UsingCookies}) {
        for (const QString &value : {QStringLiteral("a\r\nX-Injected: 1"), QStringLiteral("a\nb"), QStringLiteral("a\rb")}) {
            SCOPED_TRACE(key.toStdString() + " " + value.toStdString());
            QString error;
            EXPECT_FALSE(ZRMainController::requestDictionaryFromAppleScriptArguments({{key, value}}, &error));
            EXPECT_TRUE(error.contains(key));

            ui.alerts.clear();
            controller->openURLs({QUrl(address(QStringLiteral("a.zip"))), QUrl(address(QStringLiteral("b.zip")))},
                                 {{key, value}, {WithReferrer == key ? UsingCookies : WithReferrer, QStringLiteral("ok")}});
            EXPECT_TRUE(controller->downloads().isEmpty());
            ASSERT_EQ(ui.alerts.size(), 1);
            EXPECT_EQ(ui.alerts[0].message, error);
        }
    }
    EXPECT_TRUE(logged(QStringLiteral("cannot add downloads")));
    EXPECT_FALSE(QFileInfo::exists(controller->queueArchivePath()));
}

TEST_F(IntakeTest, DelayedIntakeRunsOnTheNextTurnWithItsArguments)
{
    controller->openURLsAfterDelay({QUrl(address(QStringLiteral("later.zip")))},
                                   {{ZRScriptArgumentKey::WithReferrer, QStringLiteral("r")}}, true);
    EXPECT_TRUE(controller->downloads().isEmpty());
    ASSERT_TRUE(waitUntil([&] { return !controller->downloads().isEmpty(); }, 2000));
    EXPECT_TRUE(settings(0).value(ZRDownloadKeys::Request).toMap().contains(ZRDownloadKeys::RequestPartialHeaderFields));

    ASSERT_TRUE(writeFile(path(QStringLiteral("doc.bin")), "x"));
    EXPECT_TRUE(controller->openFiles({path(QStringLiteral("doc.bin"))}, true, true));
    EXPECT_EQ(controller->downloads().size(), 1);
    ASSERT_TRUE(waitUntil([&] { return controller->downloads().size() == 2; }, 2000));
    EXPECT_FALSE(controller->openFiles({}, true, true));
}

TEST_F(IntakeTest, RetryReplacesDownloadsInTheirPlace)
{
    controller->openURLs(controller->URLsFromString(address(QStringLiteral("r{1-3}.zip"))));
    const ZRDownloadList before = controller->downloads();
    ASSERT_EQ(before.size(), 3);
    before[1]->setStatus(ZRDownloadStatusAborted);
    before[1]->userSettings().insert(ZRDownloadKeys::DownloadFolder, path(QStringLiteral("chosen")));
    before[1]->userSettings().insert(ZRDownloadKeys::StatusCode, 503);
    ZRDownloadPtr stranger = ZRDownload::downloadWithURLString(address(QStringLiteral("gone.zip")), false);

    controller->retryFromMenuItem({before[1], stranger});
    const ZRDownloadList after = controller->downloads();
    ASSERT_EQ(after.size(), 3);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_NE(after[1], before[1]);
    EXPECT_EQ(after[1]->URLString(), address(QStringLiteral("r2.zip")));
    EXPECT_EQ(after[1]->status(), ZRDownloadStatusQueued);
    // The place the user chose stays; what the failed attempt learnt goes.
    EXPECT_EQ(after[1]->userSettings().value(ZRDownloadKeys::DownloadFolder), path(QStringLiteral("chosen")));
    EXPECT_FALSE(after[1]->userSettings().contains(ZRDownloadKeys::StatusCode));
    EXPECT_EQ(after[2], before[2]);
    EXPECT_EQ(ui.beeps, 0);

    controller->retryFromMenuItem({stranger});
    EXPECT_EQ(ui.beeps, 1);
}

TEST(InstanceLock, OneHolderAtATime)
{
    const QString lockPath = sandboxRoot() + QStringLiteral("/instance.lock");
    ZRInstanceLock first;
    ASSERT_EQ(first.tryLock(lockPath), ZRInstanceLock::Result::Locked);

    ZRInstanceLock second;
    qint64 holder = 0;
    EXPECT_EQ(second.tryLock(lockPath, &holder), ZRInstanceLock::Result::HeldElsewhere);
    EXPECT_EQ(holder, qint64(::getpid()));
    EXPECT_FALSE(second.isLocked());

    first.unlock();
    EXPECT_EQ(second.tryLock(lockPath), ZRInstanceLock::Result::Locked);

    // Each queue has its own lock, kept out of the support folder.
    const QString lockOfA = ZRInstanceLock::lockFilePathForFolder(QStringLiteral("/a/Quorvel"));
    EXPECT_EQ(lockOfA, ZRInstanceLock::lockFilePathForFolder(QStringLiteral("/a/Quorvel/")));
    EXPECT_NE(lockOfA, ZRInstanceLock::lockFilePathForFolder(QStringLiteral("/b/Quorvel")));
    EXPECT_TRUE(lockOfA.startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/')));
    EXPECT_FALSE(ZRInstanceLock::defaultLockFilePath().startsWith(ZRApplicationSupportFolderPath()));

    QString error;
    ZRInstanceLock nowhere;
    EXPECT_EQ(nowhere.tryLock(sandboxRoot() + QStringLiteral("/missing/folder/x.lock"), nullptr, &error),
              ZRInstanceLock::Result::Failed);
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(IntakeTest, ScriptCommandsTurnTheirInputIntoAddresses)
{
    // The download command: lines or elements, trimmed, blank and unparsable ones left out.
    EXPECT_EQ(strings(ZRDownloadHandlerCommand::URLsFromInput(u"http://a/x.zip\n  \nnot a url\r\n http://b/y "_s)),
              QStringList({u"http://a/x.zip"_s, u"http://b/y"_s}));
    EXPECT_EQ(strings(ZRDownloadHandlerCommand::URLsFromInput(QStringList{u"http://a/1"_s, u"http://a/2"_s})).size(), 2);
    EXPECT_TRUE(ZRDownloadHandlerCommand::URLsFromInput(42).isEmpty());
    ZRDownloadHandlerCommand(*controller, u"http://127.0.0.1/posted"_s,
                             {{ZRScriptArgumentKey::ByPostingData, u"a=1&b=2"_s}})
        .performDefaultImplementation();
    EXPECT_TRUE(controller->downloads().isEmpty());
    processEventsFor(5);
    ASSERT_EQ(listedAddresses(), QStringList{u"http://127.0.0.1/posted"_s});
    EXPECT_EQ(settings(0).value(ZRDownloadKeys::Request).toMap().value(ZRDownloadKeys::RequestMethod), u"POST"_s);

    // The get-URL handler, on a clock of the test's own.
    double now = 1000;
    ZRURLHandlerCommand::setClockForTesting([&now] { return now; });
    const auto escaped = [](const QStringList &lines) {
        return QString::fromLatin1(QUrl::toPercentEncoding(lines.join(u'\n')));
    };
    QStringList twelve;
    for (int i = 1; i <= 12; ++i)
        twelve.append(u"http://h/%1"_s.arg(i));
    struct Row {
        QString text;
        std::optional<QString> expected;
        QString alertTitle; // empty: nothing is asked
        int answer = ZRAlertFirstButton;
        double later = 5; // seconds after the previous row
    };
    const Row rows[] = {
        {u"quorvel://encoded/"_s + escaped({u"http://a/x.zip"_s}), u"http://a/x.zip"_s, {}},
        {u"QUORVEL://a/b"_s, u"http://a/b"_s, {}},
        {u"secureQuorvel://a/b"_s, u"https://a/b"_s, {}},
        {u"quorvel://linked/"_s + escaped({u"http://a/1"_s, u"http://a/2"_s}), u"http://a/1\nhttp://a/2"_s,
         u"Download 2 Linked Files..."_s},
        {u"quorvel://linked/"_s + escaped(twelve), twelve.join(u'\n'), u"Download 12 Linked Files..."_s},
        {u"quorvel://linked/"_s + escaped({u"http://c/1"_s, u"http://c/2"_s}), std::nullopt,
         u"Download 2 Linked Files..."_s, ZRAlertSecondButton},
        {u"quorvel://encoded/%FF%FE"_s, std::nullopt, {}},
        // Once within a second is enough; again two seconds later it counts again.
        {u"quorvel://x/1"_s, u"http://x/1"_s, {}},
        {u"quorvel://x/1"_s, std::nullopt, {}, ZRAlertFirstButton, 0.5},
        {u"quorvel://x/1"_s, std::nullopt, {}, ZRAlertFirstButton, 0.4},
        {u"quorvel://x/1"_s, u"http://x/1"_s, {}, ZRAlertFirstButton, 2},
        {u"http://plain/"_s, u"http://plain/"_s, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text.toStdString());
        now += row.later;
        ui.alerts.clear();
        ui.alertAnswers = {row.answer};
        QString refusal;
        EXPECT_EQ(ZRURLHandlerCommand(*controller, row.text).addressTextForURLText(&refusal), row.expected);
        ASSERT_EQ(ui.alerts.size(), row.alertTitle.isEmpty() ? 0 : 1);
        if (!row.alertTitle.isEmpty()) {
            EXPECT_EQ(ui.alerts.first().title, row.alertTitle);
        }
    }
    ui.alerts.clear();
    ZRURLHandlerCommand(*controller, u"quorvel://linked/"_s + escaped(twelve)).addressTextForURLText();
    ASSERT_EQ(ui.alerts.size(), 1);
    EXPECT_EQ(ui.alerts.first().message, QStringList(twelve.mid(0, 9) + QStringList{u"(3 more)"_s}).join(u'\n'));

    // What the URLs stand for is taken only when it is a web address.
    now += 5;
    ZRURLHandlerCommand(*controller, u"quorvel://encoded/"_s +
                                         escaped({u"file:///etc/passwd"_s, u"http://127.0.0.1/fine"_s}))
        .performDefaultImplementation();
    processEventsFor(5);
    EXPECT_EQ(listedAddresses(), QStringList({u"http://127.0.0.1/posted"_s, u"http://127.0.0.1/fine"_s}));
    EXPECT_TRUE(logged(u"ignoring <file:///etc/passwd>"_s));
    ZRURLHandlerCommand::setClockForTesting({});
}

} // namespace

