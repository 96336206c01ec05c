// Rules in Preferences.plist, followed by a headless run: download pages resolved into the files
// they link to, folder rules filing downloads by host and extension, and a rule's application
// opening the finished file.
#include "ZRCommandLineFixture.h"
#include "core/foundation/ZRPropertyList.h"
#include "tests/support/ZRTestNginx.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;
using namespace ZRTestSupport;

namespace
{

class RulesCommandLine : public ZRCommandLineFixture
{
protected:
    void SetUp() override { startIn(u"/rules-command-line"_s); }
    void writePreferences(const QVariantMap &preferences)
    {
        QDir().mkpath(root + u"/config/Quorvel"_s);
        ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(preferences,
                                                            root + u"/config/Quorvel/Preferences.plist"_s));
    }
    QString run(const QStringList &arguments, int expectedExitCode)
    {
        auto process = quorvel(arguments);
        EXPECT_TRUE(process->waitForFinished(60000));
        const QString output =
            QString::fromLocal8Bit(process->readAllStandardOutput() + process->readAllStandardError());
        EXPECT_EQ(process->exitCode(), expectedExitCode) << output.toStdString();
        finish(*process);
        return output;
    }
};

TEST_F(RulesCommandLine, DownloadPagesAreResolvedIntoTheFilesTheyLinkTo)
{
    ZRTestNginx nginx(ZRTestNginx::Options{.https = false});
    ZR_START_NGINX_OR_SKIP(nginx);
    const QByteArray archive = QByteArray("PK\x03\x04 archive ") + QByteArray(50000, 'z');
    ASSERT_TRUE(nginx.addFile(u"files/archive.zip"_s, archive));
    ASSERT_TRUE(nginx.addFile(u"tool/get"_s, "<title>Tool</title><a href=\"/files/archive.zip\">get it</a>"));
    ASSERT_TRUE(nginx.addFile(
        u"two/start"_s, QString(u"<a href=\""_s + nginx.httpURL(u"/tool/get"_s) + u"\">on</a>"_s).toUtf8()));
    ASSERT_TRUE(nginx.addFile(u"empty/page"_s, "no links here"));
    writePreferences({{u"Download Page Rules"_s, uR"([
        {"Source": "/tool/get", "Query Cascade": ["href=\"([^\"]+\\.zip)\""], "Use Source Name": true},
        {"Source": "/two/start", "Query Cascade": ["href=\"([^\"]+/tool/get)\"", "href=\"([^\"]+\\.zip)\""]},
        {"Source": "/empty/", "Query Cascade": ["href=\"([^\"]+)\""]}
    ])"_s}});
    const QString target = root + u"/out/"_s;

    const QString output = run({u"--to"_s, target, nginx.httpURL(u"/tool/get?id=1"_s),
                                nginx.httpURL(u"/two/start"_s), nginx.httpURL(u"/empty/page"_s)},
                               1);
    EXPECT_TRUE(output.contains(u"2 of 3 downloads complete"_s)) << output.toStdString();
    // Named after the page with the file's extension; the two-step cascade keeps the file's name;
    // the page that gives nothing leaves nothing behind.
    EXPECT_EQ(readFile(target + u"get.zip"_s), archive);
    EXPECT_EQ(readFile(target + u"archive.zip"_s), archive);
    EXPECT_EQ(QDir(target).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{u"archive.zip"_s, u"get.zip"_s}));
    EXPECT_TRUE(output.contains(u"Cannot extract the download page's address"_s)) << output.toStdString();

    // A page that gives several files: each becomes a download of its own, into the folder the page
    // was sent to, and the run waits for them in place of the page's download, which goes.
    const QByteArray other = QByteArray("PK\x03\x04 other ") + QByteArray(70000, 'o');
    ASSERT_TRUE(nginx.addFile(u"files/other.zip"_s, other));
    ASSERT_TRUE(
        nginx.addFile(u"many/page"_s, "<a href=\"/files/archive.zip\"> <a href=\"/files/other.zip\">"));
    writePreferences(
        {{u"Download Page Rules"_s, u"[{\"Source\": \"/many/\", \"Query Cascade\": "
                                    u"[\"href=\\\"([^\\\"]+)\\\"\"], \"Collect All Matches\": true}]"_s}});
    QFile::remove(archivePath());
    const QString many = run({u"--to"_s, root + u"/many/"_s, nginx.httpURL(u"/many/page"_s)}, 0);
    EXPECT_TRUE(many.contains(u"2 of 2 downloads complete"_s)) << many.toStdString();
    EXPECT_EQ(readFile(root + u"/many/archive.zip"_s), archive);
    EXPECT_EQ(readFile(root + u"/many/other.zip"_s), other);
    EXPECT_FALSE(QString::fromUtf8(readFile(archivePath())).contains(nginx.httpURL(u"/many/page"_s)));

    // A rules text that is no rule set: said once, and every address is a file address.
    QFile::remove(archivePath());
    writePreferences({{u"Download Page Rules"_s, u"[{\"Source\": \"/tool/\", \"Query Cascade\": []}]"_s}});
    const QString second = run({u"--to"_s, root + u"/plain/"_s, nginx.httpURL(u"/tool/get"_s)}, 0);
    EXPECT_TRUE(second.contains(u"cannot use the download page rules"_s)) << second.toStdString();
    EXPECT_TRUE(QFileInfo(root + u"/plain/get"_s).isFile());
}

TEST_F(RulesCommandLine, FolderRulesFileDownloadsAndOpenThemWithTheirApplication)
{
    ZRTestNginx nginx(ZRTestNginx::Options{.https = false});
    ZR_START_NGINX_OR_SKIP(nginx);
    for (const QString &name : {u"a.bin"_s, u"b.bin"_s, u"c.txt"_s})
        ASSERT_TRUE(nginx.addFile(u"files/"_s + name, name.toUtf8().repeated(1000)));
    // A folder that cannot be made: a file stands in its way.
    ASSERT_TRUE(writeFile(root + u"/blocker"_s, "x"));
    // The test application records what it was asked to open.
    const QString record = root + u"/opened.txt"_s;
    const QString script = root + u"/record.sh"_s;
    ASSERT_TRUE(writeFile(
        script,
        "#!/bin/sh\nout=\"$1\"\nshift\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out\"; done\n"));
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(writeFile(
        root + u"/data/applications/quorvel-test-opener.desktop"_s,
        u"[Desktop Entry]\nType=Application\nName=Opener\nExec=%1 %2 %f\n"_s.arg(script, record).toUtf8()));

    const QString host = QString::number(nginx.httpPort());
    const QString defaultFolder = root + u"/default"_s;
    const QString blocked = root + u"/blocker/sub"_s;
    const QString byExtension = root + u"/by-extension"_s;
    const QString byHost = root + u"/by-host"_s;
    const QVariantList rules{
        QVariantMap{{u"Extensions"_s, QStringList{u"bin"_s}}, {u"Downloads Folder"_s, blocked}},
        QVariantMap{{u"Extensions"_s, QStringList{u"bin"_s}}, {u"Downloads Folder"_s, byExtension}},
        QVariantMap{{u"Hosts"_s, QStringList{u"localhost"_s}}, {u"Downloads Folder"_s, byHost}},
        QVariantMap{{u"Extensions"_s, QStringList{u"txt"_s}},
                    {u"Application"_s, u"quorvel-test-opener.desktop"_s}},
    };
    writePreferences({
        {u"Downloads Folder"_s, defaultFolder},
        {u"Downloads Folder: Subdivision Format (Rules)"_s, u"yyyy/MM"_s},
        {u"Rules"_s, rules},
    });
    const QString output = run({u"http://localhost:%1/files/a.bin"_s.arg(host),
                                nginx.httpURL(u"/files/b.bin"_s), nginx.httpURL(u"/files/c.txt"_s)},
                               0);
    const QString dated = QDate::currentDate().toString(u"yyyy/MM"_s);
    EXPECT_EQ(readFile(root + u"/by-host/"_s + dated + u"/a.bin"_s), "a.bin"_ba.repeated(1000))
        << output.toStdString();
    EXPECT_EQ(readFile(root + u"/by-extension/"_s + dated + u"/b.bin"_s), "b.bin"_ba.repeated(1000));
    EXPECT_EQ(readFile(root + u"/default/c.txt"_s), "c.txt"_ba.repeated(1000));
    EXPECT_TRUE(waitUntil([&] { return QFileInfo::exists(record); }, 10000));
    EXPECT_EQ(QString::fromUtf8(readFile(record)).trimmed(), root + u"/default/c.txt"_s);
}

} // namespace
