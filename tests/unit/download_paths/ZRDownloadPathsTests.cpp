// Target folders, folder rules, dated subfolders, intermediate bundles, fragments with their join
// and measure, removal and the final path.
#include "core/download/ZRDownload.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRCollectionExtensions.h"
#include "tests/support/ZRScopedDefaults.h"
#include "tests/support/ZRTestDownloadFixture.h"
#include "tests/support/ZRTestEngineCallbacks.h"
#include "tests/support/ZRTestScriptedServer.h"
#include "tests/support/ZRTestDownloadManager.h"
#include "tests/support/ZRTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using ZRTestSupport::waitUntil;

namespace {

const QString DownloadsFolderKey = QStringLiteral("Downloads Folder");
const QString DefaultFormatKey = QStringLiteral("Downloads Folder: Subdivision Format (Default)");
const QString RulesFormatKey = QStringLiteral("Downloads Folder: Subdivision Format (Rules)");
const QString FormatDateKey = QStringLiteral("Downloads Folder: Subdivision Format: Date");
const QString IntermediatesLocationKey = QStringLiteral("Intermediates Location");

// The controller's folder rules, and nothing else.
class RulesManager : public ZRTestDownloadManager {
public:
    QVariantList specialCases() const override { return rules; }
    QVariantList rules;
};

// A fresh folder for one test, standing in for the default download folder.
class PathsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(_folder.isValid());
        root = _folder.path();
        downloads = root + QStringLiteral("/Downloads");
        ASSERT_TRUE(QDir().mkpath(downloads));
        ZRUserDefaults::standardUserDefaults().setObject(downloads, DownloadsFolderKey);
    }
    void TearDown() override
    {
        for (const QString &key : {DownloadsFolderKey, DefaultFormatKey, RulesFormatKey, FormatDateKey,
                                   IntermediatesLocationKey})
            ZRUserDefaults::standardUserDefaults().removeObjectForKey(key);
    }

    static ZRDownloadPtr makeDownload(const QString &address)
    {
        ZRDownloadPtr download = ZRDownload::downloadWithURLString(address, false);
        EXPECT_TRUE(download);
        return download;
    }
    // One that an earlier run left: its fragments may lie beside its file in the user's folder.
    static ZRDownloadPtr makeRestoredDownload(const QString &address)
    {
        ZRDownloadPtr download = ZRDownload::downloadWithArchive({{ZRDownloadKeys::URL, address}}, false);
        EXPECT_TRUE(download);
        return download;
    }

    QTemporaryDir _folder;
    QString root;
    QString downloads;
};

mode_t modeOf(const QString &path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

QByteArray pattern(char seed, int size)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i % 13);
    return bytes;
}

} // namespace

TEST_F(PathsTest, BundleLayoutAndTheNextFreeBundle)
{
    // Unset, the location is the bundle beside the final place.
    ZRDownloadPtr first = makeDownload(QStringLiteral("http://example.com/files/report.pdf"));
    EXPECT_TRUE(first->intermediateDownloadTargetPathWithSuggestedFileName(QString(), false, false).isEmpty());
    const QString path = first->intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, true);
    EXPECT_EQ(path, downloads + QStringLiteral("/report.pdf.quorvel/report.pdf"));
    EXPECT_EQ(first->downloadContainerPath(), downloads + QStringLiteral("/report.pdf.quorvel"));
    // The name is taken at once, and the path stays with the download.
    EXPECT_TRUE(QFileInfo(path).isFile());
    EXPECT_EQ(first->intermediateDownloadTargetPathWithSuggestedFileName(QStringLiteral("other.bin"), true, true), path);

    ZRDownloadPtr second = makeDownload(QStringLiteral("http://mirror.example.org/report.pdf"));
    EXPECT_EQ(second->intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, false),
              downloads + QStringLiteral("/report.pdf 1.quorvel/report.pdf"));

    // A suggested name is unescaped and names both the bundle and the file.
    ZRDownloadPtr named = makeDownload(QStringLiteral("http://example.com/get?id=7"));
    EXPECT_EQ(named->intermediateDownloadTargetPathWithSuggestedFileName(QStringLiteral("My%20Song.mp3"), true, false),
              downloads + QStringLiteral("/My Song.mp3.quorvel/My Song.mp3"));
    EXPECT_EQ(named->name(), QStringLiteral("My Song.mp3"));

    // The bundle's metadata holds the request (cookies, header fields, a POST body): the bundle and
    // the file are the owner's alone.
    EXPECT_EQ(modeOf(first->downloadContainerPath()), 0700u);
    first->userSettings().insert(ZRDownloadKeys::ResponseURL, first->URLString());
    first->userSettingsArchiveWithPausedStatus(true, true);
    EXPECT_EQ(modeOf(first->downloadContainerPath() + QStringLiteral("/Archive.quorvelinfo")), 0600u);
}

TEST_F(PathsTest, LongNamesGiveFilesAndFoldersWithinTheFileSystemLimit)
{
    const QString e = QStringLiteral("\u00e9");
    const QString kanji = QStringLiteral("\u65e5\u672c");
    const QString face = QStringLiteral("\U0001F600");
    const struct {
        QString name;
        QString keptExtension; // empty: none to keep
    } rows[] = {
        {QString(296, u'a') + QStringLiteral(".iso"), QStringLiteral(".iso")},
        // Multi-byte characters, with the cut falling inside one of them at one byte or another.
        {e.repeated(150) + QStringLiteral(".txt"), QStringLiteral(".txt")},
        {QStringLiteral("x") + kanji.repeated(60) + QStringLiteral(".pdf"), QStringLiteral(".pdf")},
        {QStringLiteral("ab") + face.repeated(70) + QStringLiteral(".png"), QStringLiteral(".png")},
        {QString(260, u'b') + QStringLiteral(".") + QString(40, u'e'), QStringLiteral(".") + QString(40, u'e')},
        {QStringLiteral("c.") + QString(280, u'x'), QString()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name.toStdString());
        QStringList components;
        QString intermediate;
        // The second download of the name gets the next free bundle: "NAME 1.quorvel".
        for (int copy = 0; copy < 2; ++copy) {
            ZRDownloadPtr download = makeDownload(QStringLiteral("http://example.com/get"));
            intermediate = download->intermediateDownloadTargetPathWithSuggestedFileName(row.name, true, false);
            ASSERT_TRUE(QFileInfo(intermediate).isFile()) << intermediate.toStdString();
            components << QFileInfo(download->downloadContainerPath()).fileName() << QFileInfo(intermediate).fileName();
            const QString finalPath = download->finalDownloadTargetPath();
            EXPECT_TRUE(ZRTestSupport::writeFile(finalPath, "x")) << finalPath.toStdString();
            components << QFileInfo(finalPath).fileName();
        }
        // A resumed fraction of a split download has the longest name of all.
        const QString fragment = intermediate + QStringLiteral(".quorvel-xf-16.quorvel-rf-3");
        EXPECT_TRUE(ZRTestSupport::writeFile(fragment, "x")) << fragment.toStdString();
        components << QFileInfo(fragment).fileName();
        for (const QString &component : std::as_const(components)) {
            const QByteArray bytes = QFile::encodeName(component);
            EXPECT_LE(bytes.size(), 255) << component.toStdString();
            EXPECT_EQ(QString::fromUtf8(bytes).toUtf8(), bytes);
            EXPECT_FALSE(component.contains(QChar::ReplacementCharacter));
        }
        const QString fileName = QFileInfo(intermediate).fileName();
        if (!row.keptExtension.isEmpty()) {
            EXPECT_TRUE(fileName.endsWith(row.keptExtension)) << fileName.toStdString();
        }
        EXPECT_TRUE(row.name.startsWith(fileName.left(fileName.size() - row.keptExtension.size())));
        QDir(downloads).removeRecursively();
        QDir().mkpath(downloads);
    }
}

TEST_F(PathsTest, DefaultIntermediateFolderAndPlantedLinks)
{
    ZRScopedDefaults location{{IntermediatesLocationKey, 0}};
    const QString folder = ZRDownload::intermediateDownloadBasePath();
    EXPECT_EQ(folder, ZRApplicationSupportFolderPath() + QStringLiteral("/Downloads"));
    EXPECT_TRUE(QFileInfo(folder).isDir());

    // A link planted at the free name is never followed: the next name is taken, the target untouched.
    const QString outside = root + QStringLiteral("/precious.txt");
    ASSERT_TRUE(ZRTestSupport::writeFile(outside, "keep me"));
    ASSERT_TRUE(QFile::link(outside, folder + QStringLiteral("/movie.mkv")));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/nowhere"), folder + QStringLiteral("/movie 1.mkv")));
    ZRDownloadPtr download = makeDownload(QStringLiteral("http://example.com/movie.mkv"));
    download->userSettings().insert(ZRDownloadKeys::ResponseURL, QStringLiteral("http://example.com/movie.mkv"));
    EXPECT_EQ(download->intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, false),
              folder + QStringLiteral("/movie 2.mkv"));
    EXPECT_TRUE(download->downloadContainerPath().isEmpty());
    EXPECT_EQ(ZRTestSupport::readFile(outside), QByteArray("keep me"));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/nowhere")));
    QDir(folder).removeRecursively();
}

TEST_F(PathsTest, FragmentOrderJoinAndMeasure)
{
    const QString folder = downloads + QStringLiteral("/data.bin.quorvel");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString intermediate = folder + QStringLiteral("/data.bin");
    struct Piece {
        const char *suffix;
        char seed;
        int size;
    };
    // Written out of order; the join must put them in this order.
    const Piece pieces[] = {
        {"", 'a', 100},
        {".quorvel-rf-1", 'b', 7},
        {".quorvel-rf-2", 'c', 2 * 1024 * 1024 + 5}, // spans several chunks
        {".quorvel-xf-1", 'd', 50},
        {".quorvel-xf-1.quorvel-rf-1", 'e', 9},
        {".quorvel-xf-2", 'f', 30},
        {".quorvel-xf-10", 'g', 20},
    };
    QByteArray expected;
    for (int i = int(std::size(pieces)) - 1; i >= 0; --i)
        ASSERT_TRUE(ZRTestSupport::writeFile(intermediate + QLatin1String(pieces[i].suffix),
                                             pattern(pieces[i].seed, pieces[i].size)));
    for (const Piece &piece : pieces)
        expected += pattern(piece.seed, piece.size);
    // Not ours: another name, a different case, metadata, a link.
    ASSERT_TRUE(ZRTestSupport::writeFile(folder + QStringLiteral("/data.bin2.quorvel-xf-1"), "x"));
    ASSERT_TRUE(ZRTestSupport::writeFile(folder + QStringLiteral("/Data.bin.quorvel-xf-3"), "x"));
    ASSERT_TRUE(ZRTestSupport::writeFile(folder + QStringLiteral("/Archive.quorvelinfo"), "<plist/>"));
    ASSERT_TRUE(ZRTestSupport::writeFile(root + QStringLiteral("/secret"), "secret"));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/secret"), intermediate + QStringLiteral(".quorvel-xf-4")));

    ZRDownloadPtr download = makeDownload(QStringLiteral("http://example.com/data.bin"));
    EXPECT_EQ(download->fragmentPathsForIntermediateDownloadTargetPath(intermediate).size(), 6);
    EXPECT_TRUE(download->fragmentPathsForIntermediateDownloadTargetPath(QString()).isEmpty());

    QHash<QString, quint64> sizes;
    EXPECT_EQ(download->combinedFileSizeFromIntermediateDownloadTargetPath(intermediate, QString(), &sizes),
              quint64(expected.size()));
    const QHash<QString, quint64> expectedSizes = {
        {intermediate, 100 + 7 + 2 * 1024 * 1024 + 5},
        {intermediate + QStringLiteral(".quorvel-xf-1"), 50 + 9},
        {intermediate + QStringLiteral(".quorvel-xf-2"), 30},
        {intermediate + QStringLiteral(".quorvel-xf-10"), 20},
    };
    EXPECT_EQ(sizes, expectedSizes);

    // The finished file has moved out of the bundle; the fragments follow it there.
    const QString finished = downloads + QStringLiteral("/data.bin");
    ASSERT_TRUE(QFile::rename(intermediate, finished));
    bool joined = false;
    EXPECT_EQ(download->combinedFileSizeFromIntermediateDownloadTargetPath(intermediate, finished, nullptr, &joined),
              quint64(expected.size()));
    EXPECT_TRUE(joined);
    EXPECT_EQ(ZRTestSupport::readFile(finished), expected);
    EXPECT_TRUE(download->fragmentPathsForIntermediateDownloadTargetPath(intermediate).isEmpty());
    EXPECT_EQ(ZRTestSupport::readFile(root + QStringLiteral("/secret")), QByteArray("secret"));

    // Without fragments: the file's own length.
    QHash<QString, quint64> single;
    EXPECT_EQ(download->combinedFileSizeFromIntermediateDownloadTargetPath(finished, QString(), &single),
              quint64(expected.size()));
    EXPECT_EQ(single.value(finished), quint64(expected.size()));
    EXPECT_EQ(download->combinedFileSizeFromIntermediateDownloadTargetPath(root + QStringLiteral("/missing"),
                                                                           QString(), nullptr),
              0u);
}

namespace {
int gWritesBeforeFailure = -1;
ssize_t failingWrite(int fd, const void *buffer, size_t count)
{
    if (gWritesBeforeFailure == 0) {
        errno = ENOSPC;
        return -1;
    }
    if (gWritesBeforeFailure > 0)
        --gWritesBeforeFailure;
    return ::write(fd, buffer, count);
}
} // namespace

TEST_F(PathsTest, AFailedJoinKeepsWhatIsNotInTheFile)
{
    const QString intermediate = downloads + QStringLiteral("/disk.img");
    const QString finished = downloads + QStringLiteral("/final.img");
    ASSERT_TRUE(ZRTestSupport::writeFile(finished, "AAAA"));
    ASSERT_TRUE(ZRTestSupport::writeFile(intermediate + QStringLiteral(".quorvel-xf-1"), "BBBB"));
    ASSERT_TRUE(ZRTestSupport::writeFile(intermediate + QStringLiteral(".quorvel-xf-2"), pattern('c', 3 * 1024 * 1024)));
    ASSERT_TRUE(ZRTestSupport::writeFile(intermediate + QStringLiteral(".quorvel-xf-3"), "DDDD"));
    // A new download that was never split nor resumed takes none of them: they are not its own.
    EXPECT_TRUE(makeDownload(QStringLiteral("http://example.com/disk.img"))
                    ->fragmentPathsForIntermediateDownloadTargetPath(intermediate).isEmpty());
    ZRDownloadPtr download = makeRestoredDownload(QStringLiteral("http://example.com/disk.img"));

    {
        // The disk fills up in the middle of the second fragment.
        ZRSystemCallsOverride restore;
        ZRSystem().write = failingWrite;
        gWritesBeforeFailure = 2;
        bool joined = true;
        EXPECT_EQ(download->combinedFileSizeFromIntermediateDownloadTargetPath(intermediate, finished, nullptr, &joined), 0u);
        EXPECT_FALSE(joined);
    }
    // The first fragment is in and gone; the file is cut back to it and the rest waits.
    EXPECT_EQ(ZRTestSupport::readFile(finished), QByteArray("AAAABBBB"));
    EXPECT_EQ(download->fragmentPathsForIntermediateDownloadTargetPath(intermediate).size(), 2);

    // Another try completes the file.
    bool joined = false;
    EXPECT_EQ(download->combinedFileSizeFromIntermediateDownloadTargetPath(intermediate, finished, nullptr, &joined),
              quint64(8 + 3 * 1024 * 1024 + 4));
    EXPECT_TRUE(joined);
    EXPECT_EQ(ZRTestSupport::readFile(finished), QByteArray("AAAABBBB") + pattern('c', 3 * 1024 * 1024) + "DDDD");

    // A target that cannot be opened joins nothing and deletes nothing.
    ASSERT_TRUE(ZRTestSupport::writeFile(intermediate + QStringLiteral(".quorvel-rf-1"), "x"));
    EXPECT_EQ(download->combinedFileSizeFromIntermediateDownloadTargetPath(
                  intermediate, downloads + QStringLiteral("/missing/target"), nullptr, &joined),
              0u);
    EXPECT_FALSE(joined);
    EXPECT_EQ(download->fragmentPathsForIntermediateDownloadTargetPath(intermediate).size(), 1);
}

TEST_F(PathsTest, AFragmentThatCannotBeReadStopsTheJoinWithoutAGap)
{
    const QString intermediate = downloads + QStringLiteral("/read.img");
    ASSERT_TRUE(ZRTestSupport::writeFile(intermediate, "AAAA"));
    ASSERT_TRUE(ZRTestSupport::writeFile(intermediate + QStringLiteral(".quorvel-xf-1"), "BBBB"));
    ASSERT_TRUE(ZRTestSupport::writeFile(intermediate + QStringLiteral(".quorvel-xf-2"), "CCCC"));
    ASSERT_TRUE(ZRTestSupport::writeFile(intermediate + QStringLiteral(".quorvel-xf-3"), "DDDD"));
    ZRDownloadPtr download = makeRestoredDownload(QStringLiteral("http://example.com/read.img"));
    {
        // The second fragment cannot be opened (a disk that went away, a permission).
        ZRSystemCallsOverride restore;
        static ZRSystemCalls real = ZRSystem();
        ZRSystem().open = [](const char *path, int flags, mode_t mode) {
            if (QByteArray(path).endsWith(".quorvel-xf-2")) {
                errno = EIO;
                return -1;
            }
            return real.open(path, flags, mode);
        };
        bool joined = true;
        EXPECT_EQ(download->combinedFileSizeFromIntermediateDownloadTargetPath(intermediate, intermediate, nullptr, &joined), 0u);
        EXPECT_FALSE(joined);
    }
    // The fragment before it is in and gone; it and the one after it wait, nothing skipped.
    EXPECT_EQ(ZRTestSupport::readFile(intermediate), QByteArray("AAAABBBB"));
    EXPECT_EQ(download->fragmentPathsForIntermediateDownloadTargetPath(intermediate).size(), 2);

    bool joined = false;
    EXPECT_EQ(download->combinedFileSizeFromIntermediateDownloadTargetPath(intermediate, intermediate, nullptr, &joined), 16u);
    EXPECT_TRUE(joined);
    EXPECT_EQ(ZRTestSupport::readFile(intermediate), QByteArray("AAAABBBBCCCCDDDD"));
    EXPECT_TRUE(download->fragmentPathsForIntermediateDownloadTargetPath(intermediate).isEmpty());
}

TEST_F(PathsTest, RemovalEmptiesAndRemovesTheBundle)
{
    ZRDownloadPtr download = makeDownload(QStringLiteral("http://example.com/song.ogg"));
    // Nothing known: removal makes no folder just to delete it.
    download->removeIntermediateFileAndContainer(QString());
    EXPECT_TRUE(QDir(downloads).isEmpty());

    const QString path = download->intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, false);
    const QString bundle = download->downloadContainerPath();
    ASSERT_FALSE(bundle.isEmpty());
    ASSERT_TRUE(ZRTestSupport::writeFile(path, "data"));
    ASSERT_TRUE(ZRTestSupport::writeFile(path + QStringLiteral(".quorvel-rf-1"), "more"));
    ASSERT_TRUE(ZRTestSupport::writeFile(path + QStringLiteral(".quorvel-xf-1"), "more"));
    ASSERT_TRUE(ZRTestSupport::writeFile(bundle + QStringLiteral("/Archive.quorvelinfo"), "<plist/>"));
    download->removeIntermediateFileAndContainer(QString());
    EXPECT_FALSE(QFileInfo::exists(bundle));

    // A bundle that holds something else stays, with that.
    ZRDownloadPtr other = makeDownload(QStringLiteral("http://example.com/song.ogg"));
    const QString otherPath = other->intermediateDownloadTargetPathWithSuggestedFileName(QString(), true, false);
    const QString keep = other->downloadContainerPath() + QStringLiteral("/notes.txt");
    ASSERT_TRUE(ZRTestSupport::writeFile(keep, "mine"));
    other->removeIntermediateFileAndContainer(otherPath);
    EXPECT_FALSE(QFileInfo::exists(otherPath));
    EXPECT_TRUE(QFileInfo::exists(keep));
}

TEST(DownloadPaths, RuleHostsMatchWholeLabels)
{
    struct Row {
        const char *entry;
        const char *host;
        bool matches;
    };
    const Row rows[] = {
        {"example.com", "example.com", true},
        {"example.com", "dl.example.com", true},
        {"example.com", "a.b.example.com", true},
        {"EXAMPLE.com", "Dl.Example.COM", true},
        {"example.com", "badexample.com", false},
        {"example.com", "example.com.evil.net", false},
        {"dl.example.com", "example.com", false},
        {"com", "example.com", true},
        {"", "example.com", false},
        {"example.com", "", false},
        {"192.168.1.5", "192.168.1.5", true},
        {"1.5", "192.168.1.5", true},
    };
    RulesManager manager;
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.entry) + " ~ " + row.host);
        const QString host = QString::fromUtf8(row.host);
        ZRDownloadPtr download = ZRDownload::downloadWithURLString(
            host.isEmpty() ? QStringLiteral("file:///srv/x.zip") : QStringLiteral("http://") + host + QStringLiteral("/x.zip"),
            false);
        ASSERT_TRUE(download);
        EXPECT_EQ(download->hasHostFromArray({QString::fromUtf8(row.entry)}), row.matches);
    }
    EXPECT_FALSE(ZRDownload::hostComponents({}, {QStringLiteral("com")}));
}

TEST(DownloadPaths, RuleMatching)
{
    RulesManager manager;
    ZRDownloadPtr download = ZRDownload::downloadWithURLString(QStringLiteral("http://cdn.mirror.net/Paper.PDF"), false);
    // The address first given counts, not where it led.
    download->userSettings().insert(ZRDownloadKeys::OriginalURL, QStringLiteral("http://www.journal.org/get/42"));
    const QVariant hosts = QStringList{QStringLiteral("journal.org")};
    const QVariant otherHosts = QStringList{QStringLiteral("mirror.net")};
    const QVariant extensions = QStringList{QStringLiteral("zip"), QStringLiteral("pdf")};
    EXPECT_TRUE(download->matchesSpecialCase({{QStringLiteral("Hosts"), hosts}}));
    EXPECT_FALSE(download->matchesSpecialCase({{QStringLiteral("Hosts"), otherHosts}}));
    EXPECT_TRUE(download->matchesSpecialCase({{QStringLiteral("Extensions"), extensions}}));
    EXPECT_TRUE(download->matchesSpecialCase({{QStringLiteral("Hosts"), hosts}, {QStringLiteral("Extensions"), extensions}}));
    EXPECT_FALSE(download->matchesSpecialCase(
        {{QStringLiteral("Hosts"), hosts}, {QStringLiteral("Extensions"), QStringList{QStringLiteral("iso")}}}));
    EXPECT_FALSE(download->matchesSpecialCase({{QStringLiteral("Downloads Folder"), QStringLiteral("/tmp")}}));
    EXPECT_FALSE(download->matchesSpecialCase({}));

    download->setName(QStringLiteral("README"));
    EXPECT_FALSE(download->hasExtensionFromArray({QString(), QStringLiteral("README")}));
}

TEST_F(PathsTest, BaseFolderRequestsRulesAndSubfolders)
{
    RulesManager manager;
    ZRDownloadPtr download = makeDownload(QStringLiteral("http://files.example.com/a.zip"));
    // Nothing requested, no rule, no format: the default folder.
    EXPECT_EQ(download->downloadBasePath(), downloads);

    // The first matching rule whose folder can be had, with the rules' subfolder.
    const QString blocker = root + QStringLiteral("/blocker");
    ASSERT_TRUE(ZRTestSupport::writeFile(blocker, "a file, not a folder"));
    const QString ruleFolder = root + QStringLiteral("/Archives");
    manager.rules = {
        QVariantMap{{QStringLiteral("Hosts"), QStringList{QStringLiteral("other.org")}},
                    {QStringLiteral("Downloads Folder"), QString(root + QStringLiteral("/Other"))}},
        QVariantMap{{QStringLiteral("Extensions"), QStringList{QStringLiteral("zip")}},
                    {QStringLiteral("Downloads Folder"), QString(blocker + QStringLiteral("/sub"))}},
        QVariantMap{{QStringLiteral("Hosts"), QStringList{QStringLiteral("example.com")}},
                    {QStringLiteral("Downloads Folder"), ruleFolder}},
    };
    ZRScopedDefaults formats{{RulesFormatKey, QStringLiteral("'rules'")}, {DefaultFormatKey, QStringLiteral("'default'")}};
    EXPECT_EQ(download->specialCaseDownloadBasePath(), ruleFolder + QStringLiteral("/rules"));
    EXPECT_EQ(download->downloadBasePath(), ruleFolder + QStringLiteral("/rules"));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/Other")));

    // A requested folder wins as it is; one equal to the default folder counts as no request.
    download->userSettings().insert(ZRDownloadKeys::DownloadFolder, QString(downloads + QStringLiteral("/")));
    EXPECT_EQ(download->downloadBasePath(), ruleFolder + QStringLiteral("/rules"));
    manager.rules.clear();
    EXPECT_EQ(download->downloadBasePath(), downloads + QStringLiteral("/default"));
    const QString requested = root + QStringLiteral("/Requested/Deep");
    download->userSettings().insert(ZRDownloadKeys::DownloadFolder, requested);
    EXPECT_EQ(download->downloadBasePath(), requested);
    EXPECT_TRUE(QFileInfo(requested).isDir());
    // A requested file's folder comes first; one that cannot be made is passed over.
    download->userSettings().insert(ZRDownloadKeys::DownloadFile, QString(blocker + QStringLiteral("/x/a.zip")));
    EXPECT_EQ(download->downloadBasePath(), requested);
    download->userSettings().insert(ZRDownloadKeys::DownloadFile, QString(root + QStringLiteral("/Chosen/b.zip")));
    EXPECT_EQ(download->downloadBasePath(), root + QStringLiteral("/Chosen"));

    // A default folder that cannot be made gives way to the user's download folder.
    download->userSettings().clear();
    ZRUserDefaults::standardUserDefaults().setObject(QString(blocker + QStringLiteral("/dl")), DownloadsFolderKey);
    EXPECT_EQ(download->downloadBasePath(), ZRDownloadsFolderPath() + QStringLiteral("/default"));
}

TEST_F(PathsTest, DatedSubfolders)
{
    ZRDownloadPtr download = makeDownload(QStringLiteral("http://example.com/a.zip"));
    ZRExtensions::archiveObject(download->userSettings(), QDateTime(QDate(2021, 3, 9), QTime(12, 0)),
                                ZRDownloadKeys::Date);
    download->invalidateDate(true);
    struct Row {
        const char *format;
        QVariant dateChoice;
        QString expected; // below the folder; empty: the folder itself
    };
    const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    const Row rows[] = {
        {"yyyy-MM-dd", 1, QStringLiteral("2021-03-09")},
        {"yyyy-MM-dd", 0, today},
        {"yyyy-MM-dd", QVariant(), today},
        {"yyyy/MM", 1, QStringLiteral("2021/03")},
        {"'Year' yyyy: MM", 1, QStringLiteral("Year 2021_ 03")},
        {"", 1, QString()},
        {"' '", 1, QString()}, // formats to blank
        {"'/'", 1, QString()}, // formats to a lone separator
        {"'a/../b'", 1, QString()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.format);
        ZRScopedDefaults format{{DefaultFormatKey, QString::fromUtf8(row.format)}, {FormatDateKey, row.dateChoice}};
        const QString expected = row.expected.isEmpty() ? downloads : downloads + QLatin1Char('/') + row.expected;
        EXPECT_EQ(download->downloadPath(downloads, DefaultFormatKey), expected);
        EXPECT_TRUE(QFileInfo(expected).isDir());
    }
    EXPECT_TRUE(download->downloadPath(QString(), DefaultFormatKey).isEmpty());
}

TEST_F(PathsTest, FinalPath)
{
    ZRDownloadPtr download = makeDownload(QStringLiteral("http://example.com/a:b.zip"));
    // A free name in the base folder, cleaned.
    EXPECT_EQ(download->finalDownloadTargetPath(), downloads + QStringLiteral("/a_b.zip"));
    ASSERT_TRUE(ZRTestSupport::writeFile(downloads + QStringLiteral("/a_b.zip"), "old"));
    EXPECT_EQ(download->finalDownloadTargetPath(), downloads + QStringLiteral("/a_b 1.zip"));
    // A requested file is taken as it is, even when something is there.
    download->userSettings().insert(ZRDownloadKeys::DownloadFile, QStringLiteral("~/exact.zip"));
    EXPECT_EQ(download->finalDownloadTargetPath(), QDir::homePath() + QStringLiteral("/exact.zip"));

    if (::geteuid() != 0) {
        // No write access to the base folder: no final path at all.
        download->userSettings().remove(ZRDownloadKeys::DownloadFile);
        QFile::setPermissions(downloads, QFile::ReadOwner | QFile::ExeOwner);
        EXPECT_TRUE(download->finalDownloadTargetPath().isEmpty());
        QFile::setPermissions(downloads, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    ZRDownload::endFileAccess();
}

// --- Whole downloads against a loopback server: what stays in the download folder ---

namespace {

[[maybe_unused]] testing::Environment *const engineCallbacks =
    testing::AddGlobalTestEnvironment(new ZRTestSupport::QueuedEngineCallbacks);

class PathsDownloadTest : public ZRDownloadTestFixture<testing::Test> {
protected:
    QStringList downloadFolderEntries() const
    {
        return QDir(downloadsFolder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
};

} // namespace

TEST_F(PathsDownloadTest, AnAnswerWithoutTheFileLeavesNothingInTheDownloadFolder)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    for (const bool engine : {false, true}) {
        set(ZRDownloadWorkerDefaultsKeys::ThrottleSupported, engine);
        ZRHTTPRequestDownloadWorker::resetClassStateForTesting();
        for (const char *path : {"/status/404?body=no%20such%20file", "/status/410"}) {
            SCOPED_TRACE(std::string(engine ? "engine " : "basic ") + path);
            const QString url = server.url(QString::fromLatin1(path));
            ZRDownloadPtr download = manager.enqueue(url);
            ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
            EXPECT_EQ(download->status(), ZRDownloadStatusAborted);
            // The controller saves the queue (and the bundle's metadata) after every ending.
            download->userSettingsArchiveWithPausedStatus(true, true);
            EXPECT_EQ(downloadFolderEntries(), QStringList());
            // The row keeps its address for Retry.
            EXPECT_EQ(download->URLString(), url);

            // Started again: the server closes after its header, or the user pauses before a byte.
            download->startDownloadWithURL(QUrl(server.url(QStringLiteral("/truncate?size=1000&send=0"))), false);
            ASSERT_TRUE(waitUntil([&] { return download->status() != ZRDownloadStatusDownloading; }, 15000));
            download->userSettingsArchiveWithPausedStatus(true, true);
            EXPECT_EQ(downloadFolderEntries(), QStringList());
            download->startDownloadWithURL(QUrl(server.url(QStringLiteral("/stall?size=1000&after=0&seconds=30"))), false);
            ZRTestSupport::processEventsFor(500);
            download->pause();
            download->userSettingsArchiveWithPausedStatus(true, true);
            EXPECT_EQ(downloadFolderEntries(), QStringList());
            manager.downloads.clear();
        }
    }
}

TEST_F(PathsDownloadTest, AServerNameLongerThanTheFileSystemAllowsIsShortened)
{
    ZRTestScriptedServer server;
    ZR_START_SCRIPTED_SERVER_OR_SKIP(server);
    const QString name = QString(296, u'n') + QStringLiteral(".bin");
    ZRDownloadPtr download = manager.enqueue(server.url(QStringLiteral("/bytes?size=5000&name=") + name));
    ASSERT_TRUE(waitUntil([&] { return isFinished(download); }, 15000));
    EXPECT_EQ(download->status(), ZRDownloadStatusComplete);
    const QStringList entries = downloadFolderEntries();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_LE(QFile::encodeName(entries[0]).size(), 255);
    EXPECT_TRUE(entries[0].startsWith(QStringLiteral("nnnn")) && entries[0].endsWith(QStringLiteral(".bin")));
    EXPECT_EQ(ZRTestSupport::readFile(downloadsPath(entries[0])), ZRTestScriptedServer::patternBytes(0, 5000));
}
