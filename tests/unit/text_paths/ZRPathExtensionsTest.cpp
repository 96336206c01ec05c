#include "core/text/ZRPathExtensions.h"

#include "core/foundation/ZRPaths.h"
#include "tests/support/ZRTestSupport.h"
#include "tests/unit/text_paths/TextPathsTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace ZRExtensions;
using TextPathsTest::makeFolder;
using ZRTestSupport::writeFile;

namespace
{

void touch(const QString &path, const QByteArray &bytes = {})
{
    ASSERT_TRUE(writeFile(path, bytes)) << path.toStdString();
}

// Root reads every folder whatever its mode; for this thread only, it stops doing so.
class PermissionChecksForRoot
{
public:
    PermissionChecksForRoot()
    {
        if (::geteuid() != 0)
            return;
        if (::syscall(SYS_capget, &_header, _saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {_saved[0], _saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        _active = ::syscall(SYS_capset, &_header, reduced) == 0;
    }
    ~PermissionChecksForRoot()
    {
        if (_active)
            ::syscall(SYS_capset, &_header, _saved);
    }
    bool works() const { return ::geteuid() != 0 || _active; }

private:
    __user_cap_header_struct _header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct _saved[2]{};
    bool _active = false;
};

class VolumeRootsOverride
{
public:
    VolumeRootsOverride(const QStringList &roots, std::function<bool(const QString &)> isMounted = {})
    {
        setVolumeRootsForTesting(roots, std::move(isMounted));
    }
    ~VolumeRootsOverride() { setVolumeRootsForTesting({}); }
};

// Mount tables written for one test: what is mounted, and what the system knows how to mount.
class MountTablesOverride
{
public:
    MountTablesOverride(const QByteArray &mounts, const QByteArray &fstab = {})
    {
        const QString folder = makeFolder(QStringLiteral("tables"));
        touch(folder + QStringLiteral("/mounts"), mounts);
        touch(folder + QStringLiteral("/fstab"), fstab);
        setMountTablesForTesting(folder + QStringLiteral("/mounts"), folder + QStringLiteral("/fstab"));
    }
    ~MountTablesOverride() { setMountTablesForTesting(QString(), QString()); }
};

} // namespace

TEST(PathExtensions, TabooNetworkAndItemPaths)
{
    for (const char *path : {"/dev", "/etc", "/tmp", "/var", "/opt", "/proc", "/sys", "/run", "/boot", "/usr",
                             "/bin", "/sbin", "/lib", "/Desktop Folder", "/mach_kernel"})
        EXPECT_TRUE(isTabooSystemPath(QString::fromUtf8(path))) << path;
    // Whole paths only, case-sensitive: what lies below may be chosen.
    for (const char *path : {"/tmp/x", "/usr/local", "/ETC", "/home", "/", "tmp"})
        EXPECT_FALSE(isTabooSystemPath(QString::fromUtf8(path))) << path;
    for (const char *path : {"Network", "Network/", "/Network", "/Network/"})
        EXPECT_TRUE(isNetworkPath(QString::fromUtf8(path))) << path;
    EXPECT_FALSE(isNetworkPath(QStringLiteral("/Network/x")));

    EXPECT_EQ(itemPathWithBasePath(QStringLiteral("a.zip"), QStringLiteral("/d")),
              QStringLiteral("/d/a.zip"));
    EXPECT_EQ(itemPathWithBasePath(QStringLiteral("a.zip"), QStringLiteral("/d/")),
              QStringLiteral("/d/a.zip"));
    EXPECT_EQ(itemPathWithBasePath(QStringLiteral("a.zip"), QString()), QStringLiteral("a.zip"));
    EXPECT_TRUE(itemPathWithBasePath(QString(), QStringLiteral("/d")).isNull());
    EXPECT_TRUE(itemPathWithBasePath(QStringLiteral(".DS_Store"), QStringLiteral("/d")).isNull());
    EXPECT_TRUE(itemPathWithBasePath(QStringLiteral("Icon\r"), QStringLiteral("/d")).isNull());
    EXPECT_TRUE(itemPathWithBasePath(QStringLiteral("etc"), QStringLiteral("/")).isNull());
    EXPECT_TRUE(itemPathWithBasePath(QStringLiteral("Network"), QStringLiteral("/")).isNull());

    EXPECT_TRUE(isEqualToPath(QStringLiteral("/d/File.ZIP"), QStringLiteral("/d/file.zip")));
    EXPECT_FALSE(isEqualToPath(QStringLiteral("/d/a"), QStringLiteral("/d/b")));
    EXPECT_FALSE(isEqualToPath(QString(), QString()));
    EXPECT_TRUE(hasPathPrefix(QStringLiteral("/Home/Ann/x"), QStringLiteral("/home/ann")));
    // A text prefix, not a component test.
    EXPECT_TRUE(hasPathPrefix(QStringLiteral("/home/annex"), QStringLiteral("/home/ann")));
    EXPECT_FALSE(hasPathPrefix(QStringLiteral("/home"), QString()));
}

TEST(PathExtensions, AvailablePathCountsPastTakenNames)
{
    const QString folder = makeFolder(QStringLiteral("available"));
    const QString file = folder + QStringLiteral("/f.zip");
    EXPECT_EQ(availablePath(file), file);
    touch(file);
    touch(folder + QStringLiteral("/f 1.zip"));
    touch(folder + QStringLiteral("/f 2.zip"));
    EXPECT_EQ(availablePath(file), folder + QStringLiteral("/f 3.zip"));

    // The current path matches case-insensitively and is handed back as the candidate spells it.
    bool isMatch = false;
    EXPECT_EQ(availablePathWithCurrentPath(file, folder + QStringLiteral("/F 1.zip"), QStringLiteral(" "),
                                           true, &isMatch),
              folder + QStringLiteral("/f 1.zip"));
    EXPECT_TRUE(isMatch);
    EXPECT_EQ(availablePathWithCurrentPath(file, folder + QStringLiteral("/other.zip"), QStringLiteral(" "),
                                           true, &isMatch),
              folder + QStringLiteral("/f 3.zip"));
    EXPECT_FALSE(isMatch);

    // No extension, a dot file, and the fragment form that keeps the whole name.
    touch(folder + QStringLiteral("/README"));
    EXPECT_EQ(availablePath(folder + QStringLiteral("/README")), folder + QStringLiteral("/README 1"));
    touch(folder + QStringLiteral("/.profile"));
    EXPECT_EQ(availablePath(folder + QStringLiteral("/.profile")), folder + QStringLiteral("/.profile 1"));
    EXPECT_EQ(availablePathWithCurrentPath(file, QString(), QStringLiteral(".quorvel-rf-"), false, nullptr),
              folder + QStringLiteral("/f.zip.quorvel-rf-1"));

    // A dangling symbolic link still takes its name: moving a file there would replace the link.
    const QString link = folder + QStringLiteral("/link.txt");
    ASSERT_TRUE(QFile::link(folder + QStringLiteral("/nowhere"), link));
    EXPECT_EQ(availablePath(link), folder + QStringLiteral("/link 1.txt"));
}

TEST(PathExtensions, RemoveFolderIfVirtuallyEmpty)
{
    const QString negligible = makeFolder(QStringLiteral("negligible"));
    touch(negligible + QStringLiteral("/.DS_Store"));
    touch(negligible + QStringLiteral("/Icon\r"));
    touch(negligible + QStringLiteral("/Archive.quorvelinfo"));
    QDir().mkpath(negligible + QStringLiteral("/.thumbnails/.cache"));
    EXPECT_TRUE(removeFolderIfVirtuallyEmpty(negligible));
    EXPECT_FALSE(QFileInfo::exists(negligible));

    const QString real = makeFolder(QStringLiteral("real"));
    touch(real + QStringLiteral("/.DS_Store"));
    touch(real + QStringLiteral("/a.txt"), "data");
    EXPECT_FALSE(removeFolderIfVirtuallyEmpty(real));
    EXPECT_EQ(ZRTestSupport::readFile(real + QStringLiteral("/a.txt")), QByteArray("data"));
    EXPECT_TRUE(QFileInfo::exists(real + QStringLiteral("/.DS_Store")));

    // A hidden folder's own contents are not known to be negligible.
    const QString hidden = makeFolder(QStringLiteral("hidden"));
    touch(hidden + QStringLiteral("/.git/objects/pack"), "data");
    EXPECT_FALSE(removeFolderIfVirtuallyEmpty(hidden));
    EXPECT_TRUE(QFileInfo::exists(hidden + QStringLiteral("/.git/objects/pack")));

    // Not folders: a file, a missing path, a link to a virtually empty folder.
    EXPECT_FALSE(removeFolderIfVirtuallyEmpty(real + QStringLiteral("/a.txt")));
    EXPECT_FALSE(removeFolderIfVirtuallyEmpty(real + QStringLiteral("/missing")));
    const QString target = makeFolder(QStringLiteral("target"));
    ASSERT_TRUE(QFile::link(target, real + QStringLiteral("/link")));
    EXPECT_FALSE(removeFolderIfVirtuallyEmpty(real + QStringLiteral("/link")));
    EXPECT_TRUE(QFileInfo::exists(target));
}

TEST(PathExtensions, RemoveFolderIfVirtuallyEmptyKeepsUnlistableFolder)
{
    const QString parent = makeFolder(QStringLiteral("unlistable"));
    const QString folder = parent + QStringLiteral("/locked");
    QDir().mkpath(folder);
    // Only negligible entries: the folder stays because they cannot be seen, not because of them.
    touch(folder + QStringLiteral("/.DS_Store"), "data");
    ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    bool removed = true;
    {
        PermissionChecksForRoot permissionChecks;
        if (!permissionChecks.works()) {
            QFile::setPermissions(folder,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            GTEST_SKIP() << "cannot give up the permission override of root";
        }
        removed = removeFolderIfVirtuallyEmpty(folder);
    }
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(removed);
    EXPECT_EQ(ZRTestSupport::readFile(folder + QStringLiteral("/.DS_Store")), QByteArray("data"));
    EXPECT_TRUE(removeFolderIfVirtuallyEmpty(folder));
}

TEST(PathExtensions, VolumePathsBelowInjectedRoots)
{
    const QString root = makeFolder(QStringLiteral("volumes"));
    const QString media = root + QStringLiteral("/media/ann");
    const QString mnt = root + QStringLiteral("/mnt");
    VolumeRootsOverride roots({media, mnt});

    EXPECT_EQ(volumePath(media + QStringLiteral("/Disk/x/y")), media + QStringLiteral("/Disk"));
    EXPECT_EQ(volumePath(media + QStringLiteral("/Disk")), media + QStringLiteral("/Disk"));
    EXPECT_EQ(volumePath(media + QStringLiteral("/Disk/")), media + QStringLiteral("/Disk"));
    EXPECT_EQ(volumePath(mnt + QStringLiteral("/backup/2024")), mnt + QStringLiteral("/backup"));
    EXPECT_EQ(volumePath(media + QStringLiteral("/")), QStringLiteral("/"));
    EXPECT_EQ(volumePath(media), QStringLiteral("/"));
    EXPECT_EQ(volumePath(media + QStringLiteral("x/y")), QStringLiteral("/"));
    EXPECT_EQ(volumePath(media + QStringLiteral("/Disk/../../../etc")), QStringLiteral("/"));
    EXPECT_EQ(volumePath(QStringLiteral("/home/ann")), QStringLiteral("/"));
    EXPECT_EQ(volumePath(QString()), QStringLiteral("/"));
}

TEST(PathExtensions, VolumeRootsOfTheUser)
{
    const QStringList roots = volumeRoots();
    EXPECT_TRUE(roots.contains(QStringLiteral("/mnt")));
    ASSERT_EQ(roots.size(), 3);
    EXPECT_TRUE(roots[0].startsWith(QStringLiteral("/media/")));
    EXPECT_EQ(volumePath(roots[1] + QStringLiteral("/Stick/a")), roots[1] + QStringLiteral("/Stick"));
    EXPECT_TRUE(volumeExists(QStringLiteral("/")));
    // A mount point is a volume that exists; a plain folder is not mounted.
    EXPECT_TRUE(volumeExists(QStringLiteral("/proc")));
    EXPECT_FALSE(volumeExists(makeFolder(QStringLiteral("plain"))));
}

TEST(PathExtensions, VolumesComeFromTheMountTable)
{
    const QString media = makeFolder(QStringLiteral("media"));
    for (const char *name : {"/Disk", "/My Stick", "/Gone"})
        QDir().mkpath(media + QLatin1String(name));
    // A folder of the root file system that happens to lie below a volume root.
    touch(media + QStringLiteral("/Plain/notes.txt"));
    // Mounted now (the kernel writes a space as \040), and known to the system but not mounted.
    MountTablesOverride tables(
        QStringLiteral("/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 %1/Disk vfat rw 0 0\n"
                       "/dev/sdc1 %1/My\\040Stick ext4 rw 0 0\n/dev/sdb2 %1/Disk/inner ext4 rw 0 0\n")
            .arg(media)
            .toUtf8(),
        QStringLiteral("# disks\nUUID=1 %1/Gone ext4 noauto 0 2\n").arg(media).toUtf8());
    VolumeRootsOverride roots({media});

    const struct {
        const char *path;
        const char *volume; // below media, or "/"
        bool exists;
    } rows[] = {
        {"/Disk/a/b", "/Disk", true},
        {"/Disk/inner/c", "/Disk", true},
        {"/My Stick/x", "/My Stick", true},
        {"/Gone/a", "/Gone", false},
        {"/Missing/a", "/Missing", false},
        {"/Plain/a", "/", true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        const QLatin1String volume(row.volume);
        const QString expected = volume == QLatin1String("/") ? QStringLiteral("/") : media + volume;
        EXPECT_EQ(volumePath(media + QLatin1String(row.path)).toStdString(), expected.toStdString());
        EXPECT_EQ(volumeExists(volumePath(media + QLatin1String(row.path))), row.exists);
    }

    EXPECT_TRUE(checkFolderPathAndCreateIfNecessary(media + QStringLiteral("/Disk/a/b")));
    EXPECT_TRUE(isFolderPath(media + QStringLiteral("/Disk/a/b")));
    EXPECT_TRUE(checkFolderPathAndCreateIfNecessary(media + QStringLiteral("/Plain/2024/May")));
    EXPECT_TRUE(isFolderPath(media + QStringLiteral("/Plain/2024/May")));
    // The mount point of a disconnected disk, or its vanished mount folder, is left alone.
    EXPECT_FALSE(checkFolderPathAndCreateIfNecessary(media + QStringLiteral("/Gone/a")));
    EXPECT_FALSE(QFileInfo::exists(media + QStringLiteral("/Gone/a")));
    EXPECT_FALSE(checkFolderPathAndCreateIfNecessary(media + QStringLiteral("/Missing/a")));
    EXPECT_FALSE(QFileInfo::exists(media + QStringLiteral("/Missing")));

    // "~" is expanded; a file in the way fails.
    EXPECT_TRUE(checkFolderPathAndCreateIfNecessary(QStringLiteral("~/Downloads/Quorvel")));
    EXPECT_TRUE(isFolderPath(QDir::homePath() + QStringLiteral("/Downloads/Quorvel")));
    touch(media + QStringLiteral("/Disk/file"));
    EXPECT_FALSE(checkFolderPathAndCreateIfNecessary(media + QStringLiteral("/Disk/file")));
    EXPECT_FALSE(checkFolderPathAndCreateIfNecessary(QString()));
}

TEST(PathExtensions, NamesAreCutToTheirByteLengthKeepingTheExtension)
{
    const QString e = QStringLiteral("\u00e9");      // 2 bytes
    const QString face = QStringLiteral("\U0001F600"); // 4 bytes, two UTF-16 units
    const struct {
        QString name;
        int maximum;
        QString expected;
    } rows[] = {
        {QStringLiteral("short.pdf"), 20, QStringLiteral("short.pdf")},
        {QString(30, u'a') + QStringLiteral(".pdf"), 20, QString(16, u'a') + QStringLiteral(".pdf")},
        // Eleven bytes leave room for five whole characters of two bytes, not five and a half.
        {e.repeated(20) + QStringLiteral(".txt"), 15, e.repeated(5) + QStringLiteral(".txt")},
        {face.repeated(5) + QStringLiteral(".png"), 14, face.repeated(2) + QStringLiteral(".png")},
        {face.repeated(5), 7, face},
        // An "extension" that would take more than half of the room is cut like the rest.
        {QStringLiteral("x.abcdefghijklmnop"), 10, QStringLiteral("x.abcdefgh")},
        {QStringLiteral("abcd efgh.txt"), 9, QStringLiteral("abcd.txt")},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name.toStdString());
        EXPECT_EQ(fileNameByTruncatingToByteLength(row.name, row.maximum).toStdString(), row.expected.toStdString());
    }
}

TEST(PathExtensions, ReadablePathRepresentation)
{
    const QString folder = makeFolder(QStringLiteral("readable"));
    touch(folder + QStringLiteral("/Report.pdf"));
    const QString file = folder + QStringLiteral("/Report.pdf");
    QStringList expected = {QStringLiteral("Computer")};
    expected += folder.mid(1).split(QLatin1Char('/'));
    expected << QStringLiteral("Report.pdf");
    const QString arrow = QStringLiteral(" \u25B8 ");

    EXPECT_EQ(readablePathRepresentation(file), expected.join(arrow));
    EXPECT_EQ(pathComponentsToDisplayRelativeToPath(file, QString(), false),
              expected.mid(0, expected.size() - 1));
    EXPECT_EQ(pathComponentsToDisplayRelativeToPath(file, QFileInfo(folder).absolutePath(), true),
              (QStringList{QFileInfo(folder).fileName(), QStringLiteral("Report.pdf")}));
    EXPECT_EQ(pathComponentsToDisplayRelativeToPath(file, QFileInfo(folder).absolutePath(), false),
              QStringList{QFileInfo(folder).fileName()});
    // A base that is not above the path (or is the path) shows everything.
    EXPECT_EQ(pathComponentsToDisplayRelativeToPath(file, file, true), expected);

    const QString missing = folder + QStringLiteral("/missing.zip");
    EXPECT_TRUE(pathComponentsToDisplayRelativeToPath(missing, QString(), true).isEmpty());
    EXPECT_EQ(readablePathRepresentation(missing), missing + QStringLiteral(" \u2014 Not found"));

    // On an injected volume the volume's name comes first; an unmounted one is "not available".
    const QString media = makeFolder(QStringLiteral("readable-media"));
    touch(media + QStringLiteral("/Disk/x/a.txt"));
    MountTablesOverride tables(QStringLiteral("/dev/sdb1 %1/Disk vfat rw 0 0\n").arg(media).toUtf8());
    VolumeRootsOverride roots({media});
    EXPECT_EQ(readablePathRepresentation(media + QStringLiteral("/Disk/x/a.txt")),
              QStringLiteral("Disk") + arrow + QStringLiteral("x") + arrow + QStringLiteral("a.txt"));
    EXPECT_EQ(readablePathRepresentation(media + QStringLiteral("/Gone/a.txt")),
              media + QStringLiteral("/Gone/a.txt \u2014 Currently not available"));
}

TEST(PathExtensions, DisplayNamesAndComparators)
{
    EXPECT_EQ(displayFilename(QStringLiteral("/d/archive.tar.gz")), QStringLiteral("archive.tar"));
    EXPECT_EQ(displayFilename(QStringLiteral("/d/.profile")), QStringLiteral(".profile"));
    EXPECT_EQ(displayFilename(QStringLiteral("/d/Folder/")), QStringLiteral("Folder"));
    EXPECT_EQ(displayFilename(QStringLiteral("/d/v1.2/README")), QStringLiteral("README"));

    EXPECT_GT(compareByDisplayFilename(QStringLiteral("/a/file10.zip"), QStringLiteral("/b/file2.zip")), 0);
    EXPECT_LT(compareByDisplayFilename(QStringLiteral("/z/Apple.zip"), QStringLiteral("/a/banana.zip")), 0);
    EXPECT_GT(compareByDisplayFilename(QString(), QStringLiteral("/a/x")), 0);
    EXPECT_EQ(compareByDisplayFilename(QString(), QString()), 0);

    const QString folder = makeFolder(QStringLiteral("compare"));
    touch(folder + QStringLiteral("/b/x"));
    touch(folder + QStringLiteral("/a/y"));
    EXPECT_LT(
        compareByReadablePathRepresentation(folder + QStringLiteral("/a/y"), folder + QStringLiteral("/b/x")),
        0);
    EXPECT_GT(compareByReadablePathRepresentation(QString(), folder + QStringLiteral("/b/x")), 0);
}

TEST(PathExtensions, TotalFileSize)
{
    const QString folder = makeFolder(QStringLiteral("size"));
    touch(folder + QStringLiteral("/a"), QByteArray(1000, 'a'));
    touch(folder + QStringLiteral("/sub/b"), QByteArray(234, 'b'));
    touch(folder + QStringLiteral("/sub/deeper/.c"), QByteArray(6, 'c'));
    // A link inside counts as the link, not as what it points to.
    const QString big = makeFolder(QStringLiteral("size-outside")) + QStringLiteral("/big");
    touch(big, QByteArray(100000, 'x'));
    ASSERT_TRUE(QFile::link(big, folder + QStringLiteral("/sub/link")));
    const quint64 linkSize = quint64(QFile::encodeName(big).size());

    EXPECT_EQ(totalFileSizeAtPath(folder + QStringLiteral("/a")), 1000u);
    EXPECT_EQ(totalFileSizeAtPath(folder), 1000u + 234u + 6u + linkSize);
    EXPECT_EQ(totalFileSizeAtPath(folder + QStringLiteral("/sub/link")), 100000u);
    EXPECT_EQ(totalFileSizeAtPath(folder + QStringLiteral("/missing")), 0u);
    EXPECT_EQ(totalFileSizeAtPath(QString()), 0u);
}

TEST(PathExtensions, MoveFileToTrash)
{
    const QString folder = QDir::homePath() + QStringLiteral("/trash-test");
    touch(folder + QStringLiteral("/old.zip"), "old");
    EXPECT_TRUE(moveFileToTrash(folder + QStringLiteral("/old.zip")));
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/old.zip")));
    EXPECT_EQ(ZRTestSupport::readFile(qEnvironmentVariable("XDG_DATA_HOME") +
                                      QStringLiteral("/Trash/files/old.zip")),
              QByteArray("old"));
    EXPECT_FALSE(moveFileToTrash(folder + QStringLiteral("/old.zip")));
    EXPECT_FALSE(moveFileToTrash(QString()));
}
