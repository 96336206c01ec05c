#include "core/text/ZRApplications.h"
#include "core/text/ZRFolderRules.h"
#include "core/text/ZRIcons.h"
#include "core/text/ZRPathExtensions.h"

#include "tests/support/ZRTestSupport.h"
#include "tests/unit/text_paths/TextPathsTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QUrl>

using namespace ZRExtensions;
using namespace TextPathsTest;

namespace
{

bool waitForRecord(const QString &desktopID, qsizetype count)
{
    return ZRTestSupport::waitUntil([&] { return recordedArguments(desktopID).size() >= count; }, 10000);
}

void forgetRecords()
{
    QFile::remove(recordPathForApplication(recorderID));
    QFile::remove(recordPathForApplication(otherID));
}

} // namespace

TEST(Applications, FoundByIDAndExtension)
{
    EXPECT_EQ(applicationPathFromBundleID(recorderID), desktopFilePath(recorderID));
    EXPECT_TRUE(applicationPathFromBundleID(QStringLiteral("org.example.Missing.desktop")).isNull());
    EXPECT_TRUE(applicationPathFromBundleID(QString()).isNull());
    EXPECT_EQ(applicationBundleIDFromPath(desktopFilePath(otherID)), otherID);
    EXPECT_EQ(applicationDisplayNameFromPath(desktopFilePath(otherID)), otherID);
    EXPECT_EQ(applicationIconNameFromPath(desktopFilePath(otherID)), QStringLiteral("quorvel-test-icon"));
    EXPECT_TRUE(applicationBundleIDFromPath(QStringLiteral("/nowhere.desktop")).isNull());

    const QList<QUrl> expected = {QUrl::fromLocalFile(desktopFilePath(recorderID)),
                                  QUrl::fromLocalFile(desktopFilePath(otherID))};
    QList<QUrl> found = applicationURLsForExtension(QStringLiteral("PDF"));
    std::sort(found.begin(), found.end());
    QList<QUrl> sortedExpected = expected;
    std::sort(sortedExpected.begin(), sortedExpected.end());
    EXPECT_EQ(found, sortedExpected);
    // Cached per extension, whatever its spelling.
    EXPECT_EQ(applicationURLsForExtension(QStringLiteral(".pdf")).size(), 2);
    EXPECT_TRUE(applicationURLsForExtension(QString()).isEmpty());
    // Only the test applications exist, and neither opens unknown files.
    EXPECT_TRUE(applicationURLsForExtension(QStringLiteral("quorvel-no-such-type")).isEmpty());

    EXPECT_EQ(defaultApplicationURLForExtension(QStringLiteral("zip")), expected[0]);
    EXPECT_EQ(defaultApplicationBundleIDForExtension(QStringLiteral("zip")), recorderID);
    EXPECT_TRUE(defaultApplicationBundleIDForExtension(QStringLiteral("mp3")).isNull());
    EXPECT_TRUE(defaultApplicationURLForExtension(QString()).isEmpty());
}

TEST(Applications, ForExtensionsAreThoseThatOpenEveryOne)
{
    struct Row {
        QStringList extensions;
        QStringList identifiers;
    };
    const Row rows[] = {
        {{QStringLiteral("zip"), QStringLiteral("rar")}, {archiverID}},
        {{QStringLiteral("pdf"), QStringLiteral("zip")}, {otherID, recorderID}},
        // An extension that nothing opens is left out of the test.
        {{QStringLiteral("quorvel-no-such-type"), QStringLiteral("rar")}, {archiverID}},
        {{QStringLiteral("pdf"), QStringLiteral("rar")}, {}},
        {{}, {}},
    };
    for (const Row &row : rows) {
        const QMap<QString, QString> found = ZRExtensions::applicationsForExtensions(row.extensions);
        EXPECT_EQ(found.keys(), row.identifiers) << row.extensions.join(QLatin1Char(' ')).toStdString();
        for (auto it = found.constBegin(); it != found.constEnd(); ++it)
            EXPECT_EQ(it.value(), desktopFilePath(it.key()));
    }
}

TEST(Applications, OpensURLsWithTheChosenApplication)
{
    forgetRecords();
    const QString folder = makeFolder(QStringLiteral("open"));
    const QString file = folder + QStringLiteral("/a file.pdf");
    ASSERT_TRUE(ZRTestSupport::writeFile(file, "%PDF-1.4\n"));
    const QUrl url = QUrl::fromLocalFile(file);

    EXPECT_TRUE(openWithApplicationBundleID(url, otherID));
    ASSERT_TRUE(waitForRecord(otherID, 1));
    EXPECT_EQ(recordedArguments(otherID), QStringList{file});

    EXPECT_FALSE(openWithApplicationBundleID(url, QString()));
    EXPECT_FALSE(openWithApplicationBundleID(url, QStringLiteral("org.example.Missing.desktop")));
    EXPECT_FALSE(openWithApplicationFSRef(url, folder + QStringLiteral("/not-an-application.desktop")));

    const QUrl second = QUrl::fromLocalFile(folder + QStringLiteral("/b.zip"));
    EXPECT_TRUE(openURLsWithApplicationFSRef({url, second}, desktopFilePath(recorderID)));
    ASSERT_TRUE(waitForRecord(recorderID, 2));
    EXPECT_EQ(recordedArguments(recorderID), (QStringList{file, second.toLocalFile()}));

    // Web addresses reach the application as they are.
    forgetRecords();
    EXPECT_TRUE(openWithApplicationFSRef(QUrl(QStringLiteral("https://files.example/a b.zip?x=1")),
                                         desktopFilePath(otherID)));
    ASSERT_TRUE(waitForRecord(otherID, 1));
    EXPECT_EQ(recordedArguments(otherID), QStringList{QStringLiteral("https://files.example/a%20b.zip?x=1")});
}

TEST(Applications, OpensWithTheDefaultApplication)
{
    forgetRecords();
    const QString folder = makeFolder(QStringLiteral("default"));
    const QString file = folder + QStringLiteral("/doc.pdf");
    ASSERT_TRUE(ZRTestSupport::writeFile(file, "%PDF-1.4\n"));
    EXPECT_TRUE(openViaWorkspace(QUrl::fromLocalFile(file)));
    ASSERT_TRUE(waitForRecord(recorderID, 1));
    EXPECT_EQ(recordedArguments(recorderID), QStringList{file});
    EXPECT_FALSE(openViaWorkspace(QUrl()));
}

TEST(Icons, ThemeNamesForTypesAndFiles)
{
    const ZRIcon pdf = cachedIcon32FromExtension(QStringLiteral("pdf"));
    EXPECT_EQ(pdf.name, QStringLiteral("application-pdf"));
    EXPECT_EQ(pdf.size, QSize(32, 32));
    EXPECT_FALSE(pdf.fallbackName.isEmpty());
    EXPECT_EQ(iconFromExtensionWithSize(QStringLiteral(".PDF"), QSize(32, 32)), pdf);
    // Unknown and missing extensions get the generic file.
    const ZRIcon unknown = cachedIcon32FromExtension(QStringLiteral("com.tessaline.imaginaryfiletype"));
    EXPECT_EQ(unknown.name, QStringLiteral("application-octet-stream"));
    EXPECT_EQ(cachedIcon32FromExtension(QString()).name, unknown.name);

    const QString folder = makeFolder(QStringLiteral("icons"));
    const ZRIcon folderIcon = cachedIcon16FromPath(folder);
    EXPECT_EQ(folderIcon.name, QStringLiteral("inode-directory"));
    EXPECT_EQ(folderIcon.fallbackName, QStringLiteral("folder"));
    EXPECT_EQ(folderIcon.size, QSize(16, 16));
    // A file's content decides when its name says nothing.
    ASSERT_TRUE(
        ZRTestSupport::writeFile(folder + QStringLiteral("/noname"), "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"));
    EXPECT_EQ(iconFromPathWithSize(folder + QStringLiteral("/noname"), QSize(16, 16)).name,
              QStringLiteral("application-pdf"));
    // Once cached, a path keeps its icon.
    QDir(folder).removeRecursively();
    ASSERT_TRUE(ZRTestSupport::writeFile(folder, "text"));
    EXPECT_EQ(cachedIcon16FromPath(folder), folderIcon);
}
