#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRSystemCalls.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QUrl>
#include <plist/plist.h>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace ZRPropertyList;

namespace {

QVariantMap sampleValue()
{
    return QVariantMap{
        {QStringLiteral("String"), QStringLiteral("caf\u00e9 \u2026 <&>")},
        {QStringLiteral("Negative"), qint64(-42)},
        {QStringLiteral("Big"), qint64(1) << 40},
        {QStringLiteral("Real"), 2.5},
        {QStringLiteral("Flag"), true},
        {QStringLiteral("Off"), false},
        {QStringLiteral("Data"), QByteArray("\x00\x01\xff", 3)},
        {QStringLiteral("Date"), QDateTime::fromMSecsSinceEpoch(1700000000000, Qt::UTC)},
        {QStringLiteral("Old Date"), QDateTime::fromMSecsSinceEpoch(-86400000, Qt::UTC)},
        {QStringLiteral("List"), QVariantList{QStringLiteral("a"), qint64(1), QVariantMap{}}},
        {QStringLiteral("Empty"), QString()},
    };
}

// What the library's own writer makes of the node (which it frees).
QByteArray libraryBinaryData(plist_t node)
{
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    const QByteArray data(bytes, qsizetype(length));
    plist_to_bin_free(bytes);
    plist_free(node);
    return data;
}

} // namespace

TEST(PropertyList, XMLAndBinaryRoundTripKeepEveryType)
{
    const QVariantMap value = sampleValue();
    for (const QByteArray &data : {XMLDataFromPropertyList(value), binaryDataFromPropertyList(value)}) {
        ASSERT_FALSE(data.isEmpty());
        const auto back = propertyListFromData(data);
        ASSERT_TRUE(back.has_value());
        const QVariantMap map = back->toMap();
        EXPECT_EQ(map.value(QStringLiteral("String")).toString(), value.value(QStringLiteral("String")).toString());
        EXPECT_EQ(map.value(QStringLiteral("Negative")).toLongLong(), -42);
        EXPECT_EQ(map.value(QStringLiteral("Big")).toLongLong(), qint64(1) << 40);
        EXPECT_DOUBLE_EQ(map.value(QStringLiteral("Real")).toDouble(), 2.5);
        EXPECT_EQ(map.value(QStringLiteral("Flag")).typeId(), QMetaType::Bool);
        EXPECT_TRUE(map.value(QStringLiteral("Flag")).toBool());
        EXPECT_FALSE(map.value(QStringLiteral("Off")).toBool());
        EXPECT_EQ(map.value(QStringLiteral("Data")).toByteArray(), QByteArray("\x00\x01\xff", 3));
        EXPECT_EQ(map.value(QStringLiteral("Date")).toDateTime().toMSecsSinceEpoch(), 1700000000000);
        EXPECT_EQ(map.value(QStringLiteral("Old Date")).toDateTime().toMSecsSinceEpoch(), -86400000);
        EXPECT_EQ(map.value(QStringLiteral("List")).toList().size(), 3);
        EXPECT_EQ(map.value(QStringLiteral("Empty")).toString(), QString());
    }
}

// A lone date is written without the library's writer: the bytes must be the library's own.
TEST(PropertyList, ALoneDateIsWrittenAsTheLibraryWritesIt)
{
    for (const qint64 msecs : {qint64(0), qint64(978307200000), qint64(1700000000123), qint64(-86400000),
                               qint64(1234567890999), qint64(2100000000500), qint64(978307199999)}) {
        SCOPED_TRACE(msecs);
        const QDateTime date = QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
        const qint64 sinceReference = msecs - qint64(978307200) * 1000;
        const qint64 seconds = sinceReference >= 0 ? sinceReference / 1000 : (sinceReference - 999) / 1000;
        const QByteArray expected =
            libraryBinaryData(plist_new_date(int32_t(seconds), int32_t((sinceReference - seconds * 1000) * 1000)));
        EXPECT_EQ(binaryDataFromPropertyList(date).toHex(), expected.toHex());
        // The library reads a fraction of a second before 2001 the wrong way round; the bytes are right.
        if (sinceReference >= 0 || sinceReference % 1000 == 0) {
            EXPECT_EQ(propertyListFromData(binaryDataFromPropertyList(date))->toDateTime().toMSecsSinceEpoch(), msecs);
        }
    }
}

// A list of texts (the source addresses every finished file carries) is written without the
// library's writer too: the same bytes, read back the same, at every size boundary of the format.
TEST(PropertyList, AListOfTextsIsWrittenAsTheLibraryWritesIt)
{
    const auto numbered = [](int count, const QString &stem) {
        QStringList strings;
        for (int i = 0; i < count; ++i)
            strings << stem + QString::number(i);
        return strings;
    };
    const std::vector<QStringList> rows = {
        {},
        {QStringLiteral("http://127.0.0.1:8080/small/f1.bin")},
        {QStringLiteral("fourteen chars"), QStringLiteral("fifteen chars!!"), QString(), QString::fromLatin1("a\0b", 3)},
        {QStringLiteral("https://b\u00fccher.example/\u00e4"), QStringLiteral("\U0001F600 emoji")},
        {QString(300, QLatin1Char('x')), QString(70000, QChar(0x00e9))},
        numbered(255, QStringLiteral("http://host/part")),
        numbered(300, QStringLiteral("http://host/part")),
    };
    for (const QStringList &strings : rows) {
        SCOPED_TRACE(strings.size());
        plist_t array = plist_new_array();
        for (const QString &string : strings)
            plist_array_append_item(array, plist_new_string(string.toUtf8().constData()));
        const QByteArray expected = libraryBinaryData(array);
        const QByteArray written = binaryDataFromPropertyList(strings);
        EXPECT_EQ(written.toHex(), expected.toHex());
        const auto back = propertyListFromData(written);
        ASSERT_TRUE(back.has_value());
        // Texts end at a NUL, as the library takes them.
        QStringList cut = strings;
        for (QString &string : cut)
            string = string.left(string.indexOf(QChar(0)));
        EXPECT_EQ(back->toStringList(), cut);
    }
}

// The XML is written without the library's writer: byte for byte the library's, for every kind of
// value, nesting and the spellings it has of its own.
TEST(PropertyList, XMLIsWrittenAsTheLibraryWritesIt)
{
    QVariantMap nested = sampleValue();
    nested.insert(QStringLiteral("Escaped <&> \"key\""), QStringLiteral("a\tb\nc 'q' ]]>"));
    nested.insert(QStringLiteral("Cut"), QString::fromLatin1("ab\0cd", 5));
    nested.insert(QStringLiteral("Reals"), QVariantList{0.1, 3.0, 1e-7, 1e20, -123456789012.5});
    nested.insert(QStringLiteral("Numbers"), QVariantList{int(-7), uint(4294967295u), qint64(-1) << 62});
    nested.insert(QStringLiteral("Data"), QVariantList{QByteArray(), QByteArray(51, 'x'), QByteArray(52, 'x'),
                                                       QByteArray(200, '\xff')});
    nested.insert(QStringLiteral("Dates"),
                  QVariantList{QDateTime::fromMSecsSinceEpoch(1700000000123, Qt::UTC),
                               QDateTime::fromMSecsSinceEpoch(-1500, Qt::UTC),
                               QDateTime::fromMSecsSinceEpoch(978307199999, Qt::UTC)});
    // Down to depth 7 here; deeper below, where the library stops indenting.
    QVariant deep = QByteArray(300, 'x');
    for (int depth = 0; depth < 3; ++depth)
        deep = QVariantList{deep, QVariantMap{{QStringLiteral("in"), deep}}};
    nested.insert(QStringLiteral("Deep"), deep);
    // The last rows hold what the library alone spells (zeros, the largest unsigned number, depth).
    const std::vector<QVariant> rows = {nested, QVariantList{nested, nested}, QStringLiteral("alone"), QVariantMap{},
                                        qint64(5), QUrl(QStringLiteral("http://h/a b")),
                                        QVariantList{-0.0, 0.0, QVariant::fromValue<quint64>(~quint64(0))},
                                        QVariantList{QVariantList{QVariantList{QVariantList{deep}}}}};
    for (const QVariant &value : rows) {
        const QByteArray ours = XMLDataFromPropertyList(value);
        EXPECT_EQ(QString::fromUtf8(ours), QString::fromUtf8(libraryXMLDataFromPropertyList(value)));
        EXPECT_TRUE(propertyListFromData(ours).has_value());
    }
    EXPECT_TRUE(XMLDataFromPropertyList(QVariantList{QVariant()}).isEmpty());
}

TEST(PropertyList, RejectsWhatIsNotAPropertyList)
{
    EXPECT_FALSE(propertyListFromData(QByteArray()).has_value());
    EXPECT_FALSE(propertyListFromData("hello world").has_value());
    EXPECT_FALSE(propertyListFromData("<?xml version=\"1.0\"?><plist><dict><key>a").has_value());
    EXPECT_FALSE(propertyListFromData(QByteArray("bplist00\xff\xff\xff", 11)).has_value());
    // A value that a property list cannot hold gives no data rather than a partial document.
    EXPECT_TRUE(XMLDataFromPropertyList(QVariantMap{{QStringLiteral("x"), QVariant()}}).isEmpty());
}

TEST(PropertyList, FileWritesAreAtomicAndFailuresLeaveTheOldFile)
{
    const QString path = ZRTestSupport::sandboxRoot() + QStringLiteral("/plist/Queue.plist");
    QDir().mkpath(ZRTestSupport::sandboxRoot() + QStringLiteral("/plist"));
    ASSERT_TRUE(writePropertyListToFile(QVariantList{QStringLiteral("first")}, path));
    const QByteArray first = ZRTestSupport::readFile(path);

    {
        ZRSystemCallsOverride restore;
        ZRSystem().write = [](int, const void *, size_t) -> ssize_t {
            errno = ENOSPC;
            return -1;
        };
        QString error;
        EXPECT_FALSE(writePropertyListToFile(QVariantList{QStringLiteral("second")}, path, &error));
        EXPECT_TRUE(error.contains(QLatin1String("write"))) << error.toStdString();
    }
    EXPECT_EQ(ZRTestSupport::readFile(path), first);
    {
        ZRSystemCallsOverride restore;
        ZRSystem().fsync = [](int) {
            errno = EIO;
            return -1;
        };
        EXPECT_FALSE(writePropertyListToFile(QVariantList{QStringLiteral("third")}, path));
    }
    EXPECT_EQ(ZRTestSupport::readFile(path), first);
    // Nothing is left beside the file after failures.
    EXPECT_EQ(QDir(ZRTestSupport::sandboxRoot() + QStringLiteral("/plist"))
                  .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot)
                  .size(),
              1);
    const auto back = propertyListWithContentsOfFile(path);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->toList().value(0).toString(), QStringLiteral("first"));
}

namespace {

// What the atomic write asks of the system, in order; a folder's descriptor is told apart by the
// flags it was opened with.
std::vector<std::string> gCalls;
int gFolderDescriptor = -1;
int gFailFolderSync = 0;

void recordCalls()
{
    gCalls.clear();
    gFolderDescriptor = -1;
    ZRSystem().open = [](const char *path, int flags, mode_t mode) {
        const int fd = ::open(path, flags, mode);
        if (flags & O_DIRECTORY)
            gFolderDescriptor = fd;
        gCalls.push_back(flags & O_DIRECTORY ? "open folder" : "open file");
        return fd;
    };
    ZRSystem().write = [](int fd, const void *bytes, size_t count) {
        gCalls.push_back("write");
        return ::write(fd, bytes, count);
    };
    ZRSystem().fsync = [](int fd) {
        const bool folder = fd == gFolderDescriptor;
        gCalls.push_back(folder ? "fsync folder" : "fsync file");
        if (folder && gFailFolderSync != 0) {
            errno = gFailFolderSync;
            return -1;
        }
        return ::fsync(fd);
    };
    ZRSystem().close = [](int fd) {
        const bool folder = fd == gFolderDescriptor;
        gCalls.push_back(folder ? "close folder" : "close file");
        if (folder)
            gFolderDescriptor = -1;
        return ::close(fd);
    };
    ZRSystem().rename = [](const char *from, const char *to) {
        gCalls.push_back("rename");
        return ::rename(from, to);
    };
}

mode_t modeOf(const QString &path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

} // namespace

TEST(PropertyList, WritesFlushTheFileBeforeTheRenameAndTheFolderAfterIt)
{
    const QString folder = ZRTestSupport::sandboxRoot() + QStringLiteral("/plist-sync");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/History.plist");
    ZRSystemCallsOverride restore;
    recordCalls();
    ASSERT_TRUE(writePropertyListToFile(QVariantList{QStringLiteral("one")}, path));
    EXPECT_EQ(gCalls, (std::vector<std::string>{"open file", "write", "fsync file", "close file", "rename",
                                                "open folder", "fsync folder", "close folder"}));

    // A copy of data kept elsewhere is not worth a flush of either.
    recordCalls();
    ASSERT_TRUE(writePropertyListToFile(QVariantList{QStringLiteral("two")}, path, nullptr, false));
    EXPECT_EQ(gCalls, (std::vector<std::string>{"open file", "write", "close file", "rename"}));

    // The new file is in place, but whoever asked hears that it may not survive a power cut; a file
    // system that cannot flush folders at all is no failure.
    gFailFolderSync = EIO;
    QString error;
    recordCalls();
    EXPECT_FALSE(writePropertyListToFile(QVariantList{QStringLiteral("three")}, path, &error));
    EXPECT_TRUE(error.contains(QLatin1String("fsync folder"))) << error.toStdString();
    gFailFolderSync = EINVAL;
    EXPECT_TRUE(writePropertyListToFile(QVariantList{QStringLiteral("four")}, path));
    gFailFolderSync = 0;
    EXPECT_EQ(propertyListWithContentsOfFile(path)->toList().value(0).toString(), QStringLiteral("four"));
}

TEST(PropertyList, StateFilesAreTheOwnersAloneAndWiderOnesAreNarrowedWhenRewritten)
{
    const QString folder = ZRTestSupport::sandboxRoot() + QStringLiteral("/plist-modes");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/Queue.plist");
    // As an earlier version left them.
    ASSERT_TRUE(ZRWriteFileAtomically(path, "<plist/>"));
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);

    ASSERT_TRUE(writePropertyListToFile(QVariantList{QStringLiteral("cookie=secret")}, path));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 1);
}
