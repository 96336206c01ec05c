#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QThread>
#include <atomic>
#include <thread>
#include <vector>

namespace {

// Each test its own file, so that the tests also pass when run in one process.
QString preferencesPath()
{
    return ZRConfigurationFolderPath() + QLatin1Char('/') +
           QString::fromUtf8(testing::UnitTest::GetInstance()->current_test_info()->name()) +
           QStringLiteral(".plist");
}

} // namespace

TEST(UserDefaults, RegisteredValuesNeverOverrideStoredOnes)
{
    ZRUserDefaults defaults(preferencesPath());
    defaults.setBool(false, QStringLiteral("Auto-Start"));
    defaults.registerDefaults({{QStringLiteral("Auto-Start"), true}, {QStringLiteral("Limit"), 4}});
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("Auto-Start")));
    EXPECT_EQ(defaults.integerForKey(QStringLiteral("Limit")), 4);
    EXPECT_FALSE(defaults.hasStoredValueForKey(QStringLiteral("Limit")));
    defaults.removeObjectForKey(QStringLiteral("Auto-Start"));
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("Auto-Start")));
    ASSERT_TRUE(defaults.synchronize());
    // Registered values stay out of the file.
    const auto stored = ZRPropertyList::propertyListWithContentsOfFile(preferencesPath());
    ASSERT_TRUE(stored.has_value());
    EXPECT_TRUE(stored->toMap().isEmpty());
    // Changes to the file from outside: a stored value wins, and gone again the registered one is back.
    for (const int limit : {9, 0}) {
        const QVariantMap written = limit ? QVariantMap{{QStringLiteral("Limit"), limit}} : QVariantMap{};
        ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(written, preferencesPath()));
        EXPECT_EQ(defaults.reloadFromFile(), QStringList{QStringLiteral("Limit")});
        EXPECT_EQ(defaults.integerForKey(QStringLiteral("Limit")), limit ? limit : 4);
        EXPECT_TRUE(defaults.boolForKey(QStringLiteral("Auto-Start")));
    }
}

TEST(UserDefaults, TypedReadsOfUnsetAndMalformedValues)
{
    ZRUserDefaults defaults(preferencesPath());
    const QString key = QStringLiteral("Key");
    EXPECT_FALSE(defaults.boolForKey(key));
    EXPECT_EQ(defaults.integerForKey(key), 0);
    EXPECT_EQ(defaults.doubleForKey(key), 0);
    EXPECT_TRUE(defaults.stringForKey(key).isEmpty());

    defaults.setObject(QVariantList{QStringLiteral("a")}, key);
    EXPECT_FALSE(defaults.boolForKey(key));
    EXPECT_EQ(defaults.integerForKey(key), 0);
    EXPECT_TRUE(defaults.stringForKey(key).isEmpty());
    EXPECT_TRUE(defaults.dictionaryForKey(key).isEmpty());
    EXPECT_EQ(defaults.stringArrayForKey(key), QStringList{QStringLiteral("a")});

    defaults.setObject(QStringLiteral("YES"), key);
    EXPECT_TRUE(defaults.boolForKey(key));
    defaults.setObject(QStringLiteral(" 12 "), key);
    EXPECT_EQ(defaults.integerForKey(key), 12);
    EXPECT_TRUE(defaults.boolForKey(key));
    defaults.setObject(QStringLiteral("nonsense"), key);
    EXPECT_EQ(defaults.integerForKey(key), 0);
    EXPECT_FALSE(defaults.boolForKey(key));
    defaults.setObject(1e300, key);
    EXPECT_EQ(defaults.integerForKey(key), 0);
    defaults.setObject(qint64(7), key);
    EXPECT_EQ(defaults.stringForKey(key), QStringLiteral("7"));
    EXPECT_DOUBLE_EQ(defaults.doubleForKey(key), 7.0);
    defaults.setObject(QVariantList{QStringLiteral("a"), qint64(1)}, key);
    EXPECT_TRUE(defaults.stringArrayForKey(key).isEmpty());
}

TEST(UserDefaults, WritesAreCoalescedAndReadBack)
{
    {
        ZRUserDefaults defaults(preferencesPath());
        for (int i = 0; i < 100; ++i)
            defaults.setInteger(i, QStringLiteral("Counter"));
        defaults.setObject(QVariantMap{{QStringLiteral("Nested"), QByteArray("x")}}, QStringLiteral("Dictionary"));
        EXPECT_FALSE(QFile::exists(preferencesPath())) << "written before the event loop turned";
        ZRTestSupport::processEventsFor(20);
        EXPECT_TRUE(QFile::exists(preferencesPath()));
    }
    ZRUserDefaults again(preferencesPath());
    EXPECT_EQ(again.integerForKey(QStringLiteral("Counter")), 99);
    EXPECT_EQ(again.dictionaryForKey(QStringLiteral("Dictionary")).value(QStringLiteral("Nested")).toByteArray(),
              QByteArray("x"));
}

TEST(UserDefaults, DamagedFileIsKeptAsideAndLogged)
{
    QStringList lines;
    ZRLogSetHandler([&](const QString &line) { lines.append(line); });
    ASSERT_TRUE(ZRTestSupport::writeFile(preferencesPath(), "<?xml version=\"1.0\"?><plist><dict><key>"));
    {
        ZRUserDefaults defaults(preferencesPath());
        EXPECT_FALSE(defaults.boolForKey(QStringLiteral("Anything")));
        EXPECT_FALSE(QFile::exists(preferencesPath()));
        defaults.setBool(true, QStringLiteral("Fresh"));
        ASSERT_TRUE(defaults.synchronize());
    }
    EXPECT_EQ(ZRTestSupport::readFile(preferencesPath() + QStringLiteral(".corrupt")),
              QByteArray("<?xml version=\"1.0\"?><plist><dict><key>"));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines.first().startsWith(QLatin1String("cannot read preferences <"))) << lines.first().toStdString();

    // A property list that is not a dictionary is damaged too.
    ASSERT_TRUE(ZRTestSupport::writeFile(preferencesPath(), ZRPropertyList::XMLDataFromPropertyList(QVariantList{})));
    ZRUserDefaults second(preferencesPath());
    EXPECT_FALSE(second.boolForKey(QStringLiteral("Fresh")));
    EXPECT_TRUE(QFile::exists(preferencesPath() + QStringLiteral(".corrupt")));
    ZRLogSetHandler(nullptr);
}

TEST(UserDefaults, ConcurrentReadersSeeWholeValues)
{
    ZRUserDefaults defaults(preferencesPath());
    const QString key = QStringLiteral("List");
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                const QVariantList list = defaults.arrayForKey(key);
                if (!list.isEmpty() && list.size() != list.first().toInt())
                    ++torn;
            }
        });
    }
    for (int n = 1; n < 2000; ++n) {
        QVariantList list;
        for (int i = 0; i < n % 50 + 1; ++i)
            list.append(n % 50 + 1);
        defaults.setObject(list, key);
    }
    stop = true;
    for (auto &reader : readers)
        reader.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST(UserDefaults, StandardAndSharedInstancesUseTheirOwnFiles)
{
    ZRUserDefaults::standardUserDefaults().setBool(true, QStringLiteral("ZRDebugLog"));
    ZRUserDefaults::sharedGroupDefaults().setObject(QStringLiteral("*.iso"), QStringLiteral("Filter"));
    ASSERT_TRUE(ZRUserDefaults::standardUserDefaults().synchronize());
    ASSERT_TRUE(ZRUserDefaults::sharedGroupDefaults().synchronize());
    EXPECT_TRUE(QFile::exists(ZRConfigurationFolderPath() + QStringLiteral("/Preferences.plist")));
    EXPECT_TRUE(QFile::exists(ZRConfigurationFolderPath() + QStringLiteral("/Shared.plist")));
    EXPECT_TRUE(ZRConfigurationFolderPath().startsWith(ZRTestSupport::sandboxRoot()));
    ZRUserDefaults::resetStandardInstancesForTesting();
    EXPECT_TRUE(ZRUserDefaults::standardUserDefaults().boolForKey(QStringLiteral("ZRDebugLog")));
    EXPECT_TRUE(ZRUserDefaults::standardUserDefaults().stringForKey(QStringLiteral("Filter")).isEmpty());
}
