#include "core/text/ZRPathExtensions.h"

#include "tests/support/ZRTestSupport.h"
#include "tests/unit/text_paths/TextPathsTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QFile>
#include <QObject>
#include <QUrl>

using namespace TextPathsTest;

namespace
{

// Stands in for the file manager on the private bus.
class FakeFileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shownItems;

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        Q_UNUSED(startupId);
        shownItems += uris;
    }
};

} // namespace

TEST(ShowInFinder, OpensTheFolderWithoutAFileManager)
{
    QFile::remove(recordPathForApplication(recorderID));
    const QString folder = makeFolder(QStringLiteral("reveal"));
    ASSERT_TRUE(ZRTestSupport::writeFile(folder + QStringLiteral("/x.zip"), "x"));
    EXPECT_TRUE(ZRExtensions::showInFinder(folder + QStringLiteral("/x.zip")));
    ASSERT_TRUE(ZRTestSupport::waitUntil([] { return !recordedArguments(recorderID).isEmpty(); }, 10000));
    EXPECT_EQ(recordedArguments(recorderID), QStringList{folder});
    EXPECT_FALSE(ZRExtensions::showInFinder(folder + QStringLiteral("/missing.zip")));
}

TEST(ShowInFinder, AsksTheFileManagerToShowTheItem)
{
    if (sessionBusAddress().isEmpty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    QDBusConnection connection =
        QDBusConnection::connectToBus(sessionBusAddress(), QStringLiteral("fake-file-manager"));
    ASSERT_TRUE(connection.isConnected());
    FakeFileManager fileManager;
    ASSERT_TRUE(connection.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &fileManager,
                                          QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(connection.registerService(QStringLiteral("org.freedesktop.FileManager1")));

    QFile::remove(recordPathForApplication(recorderID));
    const QString folder = makeFolder(QStringLiteral("reveal bus"));
    const QString file = folder + QStringLiteral("/a b.zip");
    ASSERT_TRUE(ZRTestSupport::writeFile(file, "x"));
    EXPECT_TRUE(ZRExtensions::showInFinder(file));
    EXPECT_TRUE(ZRTestSupport::waitUntil([&] { return !fileManager.shownItems.isEmpty(); }, 10000));
    EXPECT_EQ(fileManager.shownItems, QStringList{QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)});
    // The folder is not opened besides.
    ZRTestSupport::processEventsFor(200);
    EXPECT_FALSE(QFile::exists(recordPathForApplication(recorderID)));

    connection.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
    connection.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-file-manager"));
}

#include "ShowInFinderTest.moc"
