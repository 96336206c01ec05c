#include "core/text/ZRFileBookmark.h"
#include "core/text/ZRPathExtensions.h"

#include "tests/support/ZRTestSupport.h"
#include "tests/unit/text_paths/TextPathsTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using TextPathsTest::makeFolder;

TEST(FileBookmark, FollowsAFileRenamedInItsFolder)
{
    const QString folder = makeFolder(QStringLiteral("bookmark"));
    const QString path = folder + QStringLiteral("/movie.mkv");
    ASSERT_TRUE(ZRTestSupport::writeFile(path, "data"));
    ASSERT_TRUE(ZRTestSupport::writeFile(folder + QStringLiteral("/neighbour"), "other"));
    const QByteArray data = ZRFileBookmark::bookmarkDataWithPath(path);
    ASSERT_FALSE(data.isEmpty());

    EXPECT_EQ(ZRFileBookmark::pathByResolvingBookmarkData(data), path);
    ASSERT_TRUE(QFile::rename(path, folder + QStringLiteral("/Movie (2024).mkv")));
    EXPECT_EQ(ZRFileBookmark::pathByResolvingBookmarkData(data),
              folder + QStringLiteral("/Movie (2024).mkv"));
    ASSERT_TRUE(QFile::remove(folder + QStringLiteral("/Movie (2024).mkv")));
    EXPECT_TRUE(ZRFileBookmark::pathByResolvingBookmarkData(data).isNull());

    // The recorded path wins while something exists there, even another file.
    ASSERT_TRUE(ZRTestSupport::writeFile(path, "new"));
    EXPECT_EQ(ZRFileBookmark::pathByResolvingBookmarkData(data), path);
}

TEST(FileBookmark, SerialisedFormRejectsDamage)
{
    const QString folder = makeFolder(QStringLiteral("bookmark-data"));
    const QString path = folder + QStringLiteral("/a b\u00e9.txt");
    ASSERT_TRUE(ZRTestSupport::writeFile(path, "x"));
    const ZRFileBookmark bookmark = ZRFileBookmark::bookmarkWithPath(path);
    ASSERT_TRUE(bookmark.isValid());
    const ZRFileBookmark copy = ZRFileBookmark::bookmarkWithData(bookmark.data());
    EXPECT_EQ(copy.path(), path);
    EXPECT_EQ(copy.device(), bookmark.device());
    EXPECT_EQ(copy.inode(), bookmark.inode());

    const QByteArray data = bookmark.data();
    const QList<QByteArray> damagedData = {QByteArray(),
                                           QByteArray("ZRFB"),
                                           data.left(data.size() - 1),
                                           QByteArray(data + "x"),
                                           QByteArray("XXXX" + data.mid(4)),
                                           QByteArray(data.left(21) + QByteArray(4, '\xff') + data.mid(25))};
    for (const QByteArray &damaged : damagedData)
        EXPECT_FALSE(ZRFileBookmark::bookmarkWithData(damaged).isValid());
    EXPECT_FALSE(ZRFileBookmark::bookmarkWithPath(folder + QStringLiteral("/missing")).isValid());
    EXPECT_TRUE(ZRFileBookmark::bookmarkDataWithPath(QString()).isEmpty());
}

TEST(FileBookmark, ExistingPathWithFallBackAliasData)
{
    const QString path = QDir::homePath() + QStringLiteral("/Downloads/song.mp3");
    ASSERT_TRUE(ZRTestSupport::writeFile(path, "x"));
    const QByteArray alias = ZRFileBookmark::bookmarkDataWithPath(path);

    EXPECT_EQ(
        ZRExtensions::existingPathWithFallBackAliasData(QStringLiteral("~/Downloads/song.mp3"), QByteArray()),
        path);
    ASSERT_TRUE(QFile::rename(path, QDir::homePath() + QStringLiteral("/Downloads/Song.mp3")));
    EXPECT_EQ(ZRExtensions::existingPathWithFallBackAliasData(QStringLiteral("~/Downloads/song.mp3"), alias),
              QDir::homePath() + QStringLiteral("/Downloads/Song.mp3"));
    EXPECT_TRUE(
        ZRExtensions::existingPathWithFallBackAliasData(QStringLiteral("~/Downloads/song.mp3"), QByteArray())
            .isNull());
    EXPECT_TRUE(
        ZRExtensions::existingPathWithFallBackAliasData(QStringLiteral("~/Downloads/song.mp3"), "garbage")
            .isNull());
}
