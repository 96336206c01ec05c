#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRSystemCalls.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <cerrno>

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
