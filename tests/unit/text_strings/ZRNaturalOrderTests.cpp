// Natural order: numbers by value, case-insensitive, empty strings last, safe from many threads.
#include "core/text/ZRNaturalOrder.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace
{

int sign(int value)
{
    return (value > 0) - (value < 0);
}

TEST(NaturalOrder, ComparesPairs)
{
    struct Row {
        const char16_t *a;
        const char16_t *b;
        int expected;
    };
    const Row rows[] = {
        {u"file2", u"file10", -1},
        {u"file10", u"file2", 1},
        {u"File2.zip", u"file2.zip", 0},
        {u"abc", u"ABD", -1},
        {u"", u"a", 1},
        {u"a", u"", -1},
        {u"", u"", 0},
        {u"x9y", u"x09y", 0},
        {u"part 99", u"part 100", -1},
        {u"résumé", u"resume", 1},
        {u"a", u"b", -1},
        {u"img12b", u"img12a", 1},
    };
    for (const Row &row : rows) {
        const QString a = QString::fromUtf16(row.a);
        const QString b = QString::fromUtf16(row.b);
        EXPECT_EQ(sign(ZRNaturalCompare(a, b)), row.expected) << a.toStdString() << " vs " << b.toStdString();
    }
}

TEST(NaturalOrder, SortsFileListsAsPeopleRead)
{
    QStringList names{u"file10.txt"_s, QString(), u"File1.txt"_s, u"file2.txt"_s, u"apple"_s};
    std::sort(names.begin(), names.end(), ZRNaturalLessThan);
    const QStringList expected{u"apple"_s, u"File1.txt"_s, u"file2.txt"_s, u"file10.txt"_s, QString()};
    EXPECT_EQ(names, expected);
}

TEST(NaturalOrder, AgreesAcrossThreads)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 2000; ++i) {
                const QString a = QStringLiteral("item%1").arg(i);
                const QString b = QStringLiteral("ITEM%1").arg(i + 1);
                if (ZRNaturalCompare(a, b) >= 0 || ZRNaturalCompare(b, a) <= 0)
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
