// Dictionary, defaults and list helpers.
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRCollectionExtensions.h"
#include "tests/unit/text_strings/ZRTextTestPrinting.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QTimeZone>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;
using namespace ZRExtensions;

namespace
{

TEST(CollectionExtensions, TryToSetObjectIgnoresAbsentValuesAndKeys)
{
    QVariantMap map{{u"Name"_s, u"old"_s}};
    tryToSetObject(map, QVariant(), u"Name"_s);
    tryToSetObject(map, QString(), u"Name"_s);
    tryToSetObject(map, u"new"_s, QString());
    EXPECT_EQ(map, (QVariantMap{{u"Name"_s, u"old"_s}}));
    tryToSetObject(map, QString(u""_s), u"Name"_s);
    EXPECT_EQ(map.value(u"Name"_s), QString(u""_s));
    tryToSetObject(map, 0, u"Count"_s);
    EXPECT_EQ(map.value(u"Count"_s), 0);

    const QVariantMap source{{u"Referer"_s, u"http://r/"_s}};
    tryToTakeObjectForKey(map, u"Referer"_s, source);
    tryToTakeObjectForKey(map, u"Missing"_s, source);
    EXPECT_EQ(map.value(u"Referer"_s), u"http://r/"_s);
    EXPECT_FALSE(map.contains(u"Missing"_s));
}

TEST(CollectionExtensions, ArchivedValuesRoundTrip)
{
    const QDateTime date(QDate(2024, 2, 29), QTime(23, 59, 58), QTimeZone::utc());
    const QVariantMap nested{{u"List"_s, QVariantList{1, u"two"_s, 3.5}}, {u"Flag"_s, true}};
    QVariantMap map;
    archiveObject(map, date, u"Date"_s);
    archiveObject(map, nested, u"Nested"_s);
    archiveObject(map, QVariant(), u"Absent"_s);
    EXPECT_FALSE(map.contains(u"Absent"_s));
    ASSERT_EQ(map.value(u"Date"_s).typeId(), QMetaType::QByteArray);
    EXPECT_TRUE(map.value(u"Date"_s).toByteArray().startsWith("bplist00"));
    EXPECT_EQ(unarchivedObjectForKey(map, u"Date"_s).toDateTime(), date);
    EXPECT_EQ(unarchivedObjectForKey(map, u"Nested"_s).toMap().value(u"List"_s).toList().value(1), u"two"_s);
    EXPECT_EQ(unarchivedObjectForKey(map, u"Nested"_s).toMap().value(u"Flag"_s), true);

    map.insert(u"Text"_s, u"not data"_s);
    map.insert(u"Garbage"_s, QByteArray("\x01\x02garbage"));
    EXPECT_FALSE(unarchivedObjectForKey(map, u"Text"_s).isValid());
    EXPECT_FALSE(unarchivedObjectForKey(map, u"Garbage"_s).isValid());
    EXPECT_FALSE(unarchivedObjectForKey(map, u"Missing"_s).isValid());

    ZRUserDefaults &defaults = ZRUserDefaults::standardUserDefaults();
    archiveObject(defaults, date, u"Last Date"_s);
    EXPECT_EQ(unarchivedObjectForKey(defaults, u"Last Date"_s).toDateTime(), date);
    archiveObject(defaults, QVariant(), u"Last Date"_s);
    EXPECT_EQ(unarchivedObjectForKey(defaults, u"Last Date"_s).toDateTime(), date);
}

TEST(CollectionExtensions, IntegerAndBooleanReadings)
{
    struct Row {
        QVariant value;
        qint64 integer;
        bool boolean;
    };
    const Row rows[] = {
        {QVariant(), 0, false},
        {42, 42, true},
        {qint64(-7), -7, true},
        {0, 0, false},
        {3.9, 3, true},
        {0.2, 0, true},
        {true, 1, true},
        {false, 0, false},
        {u"12 MB"_s, 12, true},
        {u"  -5"_s, -5, true},
        {u"abc"_s, 0, false},
        {u"YES"_s, 0, true},
        {u"true"_s, 0, true},
        {u"no"_s, 0, false},
        {u"007"_s, 7, true},
        {u"000"_s, 0, false},
        {u"99999999999999999999"_s, std::numeric_limits<qint64>::max(), true},
        {QVariantList{1}, 0, false},
        {1e30, std::numeric_limits<qint64>::max(), true},
    };
    for (const Row &row : rows) {
        const QVariantMap map{{u"Key"_s, row.value}};
        EXPECT_EQ(integerForKey(map, u"Key"_s), row.integer) << row.value.toString().toStdString();
        EXPECT_EQ(boolForKey(map, u"Key"_s), row.boolean) << row.value.toString().toStdString();
    }
}

TEST(CollectionExtensions, FolderPathsInDefaults)
{
    ZRUserDefaults &defaults = ZRUserDefaults::standardUserDefaults();
    EXPECT_EQ(folderPathForKey(defaults, u"Download Folder"_s, u"~/Downloads"_s), u"~/Downloads"_s);
    setFolderPath(defaults, u"~/Stuff/"_s, u"Download Folder"_s);
    EXPECT_EQ(folderPathForKey(defaults, u"Download Folder"_s, u"~/Downloads"_s), u"~/Stuff/"_s);
    setFolderPath(defaults, QString(), u"Download Folder"_s);
    EXPECT_EQ(folderPathForKey(defaults, u"Download Folder"_s, u"~/Downloads"_s), u"~/Downloads"_s);
}

TEST(CollectionExtensions, ShuffleAndInvert)
{
    QList<int> original;
    for (int i = 0; i < 50; ++i)
        original.append(i);
    QList<int> list = original;
    invert(list);
    EXPECT_EQ(list.first(), 49);
    EXPECT_EQ(list.last(), 0);
    invert(list);
    EXPECT_EQ(list, original);

    bool moved = false;
    for (int attempt = 0; attempt < 5 && !moved; ++attempt) {
        shuffle(list);
        QList<int> sorted = list;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted, original);
        moved = list != original;
    }
    EXPECT_TRUE(moved);
    QList<int> empty;
    shuffle(empty);
    EXPECT_TRUE(empty.isEmpty());
}

} // namespace
