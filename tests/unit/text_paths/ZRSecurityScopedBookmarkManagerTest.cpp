// Folder access grants, with a stand-in for the sandbox: which stored grant covers a path, what a
// new grant replaces, when the user is asked and what a cancel does; outside a sandbox only the
// access test counts.
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRSecurityScopedBookmarkManager.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <unistd.h>

namespace
{

class BookmarkManager : public testing::Test
{
protected:
    void SetUp() override
    {
        ZRUserDefaults::resetStandardInstancesForTesting();
        ZRUserDefaults::standardUserDefaults().setObject(QVariant(), QStringLiteral("Security-Scoped Bookmarks"));
        manager().setPlatformForTesting({
            [this](const QString &path) { return std::optional<QByteArray>(path.toUtf8()); },
            [this](const QByteArray &data) -> std::optional<QString> {
                if (unusable.contains(QString::fromUtf8(data)))
                    return std::nullopt;
                started.append(QString::fromUtf8(data));
                return QString::fromUtf8(data);
            },
            [this](const QString &path) { stopped.append(path); },
            [this](const QString &title, const QString &folder, const QString &) -> std::optional<QString> {
                asked.append(title + QLatin1Char(' ') + folder);
                return answer;
            },
            [] { return true; },
        });
    }
    void TearDown() override { manager().setPlatformForTesting({}); }
    static ZRSecurityScopedBookmarkManager &manager() { return ZRSecurityScopedBookmarkManager::bookmarkManager(); }
    QStringList storedPaths() { return manager().bookmarksByPath().keys(); }

    QStringList unusable, started, stopped, asked;
    std::optional<QString> answer;
};

TEST_F(BookmarkManager, GrantsCoverFoldersBelowThemAndReplaceTheOnesTheyCover)
{
    struct Row {
        const char *stored, *path;
        bool covers;
    };
    for (const Row &row : {Row{"/Users/u/Downloads", "/Users/u/Downloads/x/y", true},
                           Row{"/Users/u/Downloads", "/Users/u/Downloads", true},
                           Row{"/Users/u/Downloads", "/Users/u/Downloads2", false}, Row{"/", "/a/b", true},
                           Row{"/a/b", "/a", false}})
        EXPECT_EQ(ZRSecurityScopedBookmarkManager::pathCoversPath(QString::fromLatin1(row.stored),
                                                                   QString::fromLatin1(row.path)),
                  row.covers)
            << row.stored << " " << row.path;

    // Paths that are not there stand as they are: nothing here needs them to exist.
    const QString root = QStringLiteral("/nonexistent-volume-") + QString::number(::getpid());
    for (const char *inner : {"/a", "/b/e", "/other"})
        ASSERT_TRUE(manager().createBookmarkForURL(QUrl::fromLocalFile(root + QLatin1String(inner))));
    ASSERT_TRUE(manager().createBookmarkForURL(QUrl::fromLocalFile(root + QStringLiteral("/b"))));
    EXPECT_EQ(storedPaths(), QStringList({root + QStringLiteral("/a"), root + QStringLiteral("/b"),
                                          root + QStringLiteral("/other")}));
    // A folder inside a usable grant stores nothing; inside an unusable one it replaces nothing
    // but is stored.
    EXPECT_TRUE(manager().createBookmarkForURL(QUrl::fromLocalFile(root + QStringLiteral("/b/e/f"))));
    EXPECT_EQ(storedPaths().size(), 3);
    EXPECT_EQ(stopped, QStringList{root + QStringLiteral("/b")});
    EXPECT_EQ(ZRUserDefaults::standardUserDefaults().dictionaryForKey(QStringLiteral("Security-Scoped Bookmarks")).size(), 3);
    ASSERT_TRUE(manager().createBookmarkForURL(QUrl::fromLocalFile(root)));
    EXPECT_EQ(storedPaths(), QStringList{root});
}

TEST_F(BookmarkManager, OutOfReachFoldersUseAGrantOrAskOnce)
{
    const QString root = QStringLiteral("/nonexistent-grants-") + QString::number(::getpid());
    const QString file = root + QStringLiteral("/a/b/file.zip");
    bool cancel = false;
    QString bookmarkPath;

    // Nothing stored: a write via the parent asks for the parent; a cancel says so.
    EXPECT_FALSE(manager().confirmWriteAccessForPath(file, true, &cancel, &bookmarkPath));
    EXPECT_TRUE(cancel);
    EXPECT_EQ(asked, QStringList{QStringLiteral("Unlock Folder ") + root + QStringLiteral("/a/b")});
    // Without a cancel flag nobody is asked.
    EXPECT_FALSE(manager().confirmReadAccessForPath(root + QStringLiteral("/a"), nullptr));
    EXPECT_EQ(asked.size(), 1);

    // A stored grant above the folder is used (and handed back to be stopped).
    ASSERT_TRUE(manager().createBookmarkForURL(QUrl::fromLocalFile(root + QStringLiteral("/a"))));
    EXPECT_TRUE(manager().confirmWriteAccessForPath(file, true, &cancel, &bookmarkPath));
    EXPECT_FALSE(cancel);
    EXPECT_EQ(bookmarkPath, root + QStringLiteral("/a"));
    manager().stopAccessingBookmarkForPath(bookmarkPath);
    EXPECT_EQ(stopped, QStringList{root + QStringLiteral("/a")});
    manager().stopAccessingBookmarkForPath(bookmarkPath);
    EXPECT_EQ(stopped.size(), 1);

    // Reading several files: a cancel stops the asking; what was confirmed is still processed.
    unusable.append(root + QStringLiteral("/a"));
    QList<QUrl> processed;
    const QList<QUrl> files{QUrl::fromLocalFile(QDir::tempPath()), QUrl::fromLocalFile(root + QStringLiteral("/x")),
                            QUrl::fromLocalFile(root + QStringLiteral("/y")), QUrl(QStringLiteral("http://a/"))};
    asked.clear();
    EXPECT_TRUE(ZRPerformWithConfirmedReadAccess(files, [&](const QList<QUrl> &urls) {
        processed = urls;
        return true;
    }));
    EXPECT_EQ(processed, QList<QUrl>{QUrl::fromLocalFile(QDir::tempPath())});
    EXPECT_EQ(asked.size(), 1);

    // Outside a sandbox only the access test counts: nobody is asked, nothing is used.
    manager().setPlatformForTesting({});
    asked.clear();
    EXPECT_FALSE(manager().confirmReadAccessForPath(root + QStringLiteral("/a"), &cancel, &bookmarkPath));
    EXPECT_FALSE(cancel);
    EXPECT_TRUE(manager().confirmReadAccessForPath(QDir::tempPath(), &cancel));
    EXPECT_TRUE(asked.isEmpty());
    EXPECT_FALSE(manager().createBookmarkForURL(QUrl::fromLocalFile(QDir::tempPath())));
}

} // namespace
