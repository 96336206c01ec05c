// File names, the anonymiser, substrings, search matching, sort names, string lists and comparators.
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRStringExtensions.h"
#include "core/text/ZRTextKeys.h"
#include "tests/unit/text_strings/ZRTextTestPrinting.h"

#include <gtest/gtest.h>

#include <QUrl>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;
using namespace ZRExtensions;

namespace
{

TEST(StringExtensions, EscapesWhatATerminalWouldActOn)
{
    struct Row {
        QString text;
        QString escaped;
        QString escapedKeepingLineBreaks;
    };
    const Row rows[] = {
        {u"plain.zip"_s, u"plain.zip"_s, u"plain.zip"_s},
        // Other scripts, marks and characters outside the BMP stay.
        {u"Bücher 日本 שלום 😀.zip"_s, u"Bücher 日本 שלום 😀.zip"_s, u"Bücher 日本 שלום 😀.zip"_s},
        {u"\x1b[31mred\x1b[0m"_s, u"\\x1B[31mred\\x1B[0m"_s, u"\\x1B[31mred\\x1B[0m"_s},
        {u"\x1b]0;title\x07"_s, u"\\x1B]0;title\\x07"_s, u"\\x1B]0;title\\x07"_s},
        // A C1 CSI is a CSI of its own; DEL and NUL too.
        {u"a\u009b2Jb\u0085\x7f"_s + QChar(0) + u"c"_s, u"a\\x9B2Jb\\x85\\x7F\\x00c"_s,
         u"a\\x9B2Jb\\x85\\x7F\\x00c"_s},
        {u"line1\nline2\r\tx"_s, u"line1\\nline2\\r\\tx"_s, u"line1\nline2\\r\\tx"_s},
        // Bidirectional overrides and isolates: "gpj.exe" would show as "exe.jpg".
        {u"a\u202egpj.exe\u202c \u2066x\u2069"_s, u"a\\u202Egpj.exe\\u202C \\u2066x\\u2069"_s,
         u"a\\u202Egpj.exe\\u202C \\u2066x\\u2069"_s},
        // Half of a surrogate pair is no character.
        {u"x"_s + QChar(0xD800) + u"y"_s, u"x\\uD800y"_s, u"x\\uD800y"_s},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.escaped.toStdString());
        EXPECT_EQ(stringByEscapingControlCharacters(row.text), row.escaped);
        EXPECT_EQ(stringByEscapingControlCharacters(row.text, true), row.escapedKeepingLineBreaks);
        EXPECT_EQ(stringByEscapingControlCharacters(row.escaped), row.escaped)
            << "escaping twice adds nothing";

        // The log writes one line, whatever its message holds.
        QStringList lines;
        ZRLogSetHandler([&](const QString &line) { lines.append(line); });
        ZRLog(u"cannot download <"_s + row.text + u">"_s);
        ZRLogSetHandler({});
        ASSERT_EQ(lines.size(), 1);
        EXPECT_EQ(lines.first(), u"cannot download <"_s + row.escaped + u">"_s);
    }
}

TEST(StringExtensions, CleansFileNamesAndPaths)
{
    const std::pair<QString, QString> filenames[] = {
        {u"  report:final.pdf  "_s, u"report_final.pdf"_s},
        {u"a/b:x*.txt."_s, u"a|b_x_.txt_"_s},
        {u".hidden"_s, u"_hidden"_s},
        {u"a//b"_s, u"a||b"_s},
        {u"line\nbreak\r.txt"_s, u"linebreak.txt"_s},
        {u"tab\there"_s, u"tab here"_s},
        {u"nul"_s + QChar(0) + u"byte\u0001\u001f\u007f\u0085\u009f.zip"_s, u"nulbyte.zip"_s},
        {u"\u0007 bell.txt \u001b"_s, u"bell.txt"_s},
        {u"..."_s, u"_._"_s},
        {u"."_s, u"_"_s},
        {QString(), QString()},
        {u"déjà vu €.txt"_s, u"déjà vu €.txt"_s},
    };
    for (const auto &[name, expected] : filenames)
        EXPECT_EQ(cleanFilename(name), expected) << name.toStdString();

    const std::pair<QString, QString> paths[] = {
        {u"//a//b/"_s, u"a/b"_s},
        {u"a///b"_s, u"a/b"_s},
        {u" /x:y/ "_s, u"x_y"_s},
        {u"sub/.dir/"_s, u"sub/.dir"_s},
    };
    for (const auto &[path, expected] : paths)
        EXPECT_EQ(cleanPathByReplacingDashesWithString(path, std::nullopt), expected) << path.toStdString();
    EXPECT_EQ(cleanPathByReplacingDashesWithString(u"a/b"_s, u" - "_s), u"a - b"_s);
}

TEST(StringExtensions, Anonymises)
{
    struct Row {
        QString name;
        bool preserve;
        bool uppercase;
        QString expected;
    };
    const Row rows[] = {
        {u"Installer-2.5.1.dmg"_s, true, true, u"I…2·5·1.dmg"_s},
        {u"notes.txt"_s, true, true, u"N…txt"_s},
        {u"x"_s, true, true, u"X…"_s},
        {u"x"_s, false, false, u"x…"_s},
        {QString(), true, true, QString()},
        {u"photo 12 of 40.jpeg"_s, false, false, u"p…12·40"_s},
        {u"v2.zip"_s, false, true, u"V…2"_s},
        {u"2024-report.pdf"_s, true, false, u"2…024.pdf"_s},
        {u"a.b"_s, true, true, u"A…b"_s},
        {u"\U0001F600smile9.txt"_s, true, true, u"\U0001F600…9.txt"_s},
    };
    for (const Row &row : rows)
        EXPECT_EQ(anonymizedStringPreservingExtension(row.name, row.preserve, row.uppercase), row.expected)
            << row.name.toStdString();
}

TEST(StringExtensions, NegligibleFilenames)
{
    for (const QString &name :
         {u".DS_Store"_s, u"Icon\r"_s, u"._x"_s, u"_DS_Store"_s, u"Archive.QuorvelInfo"_s})
        EXPECT_TRUE(isNegligibleFilename(name)) << name.toStdString();
    for (const QString &name : {u"a.txt"_s, u"Icon"_s, u"x.quorvel"_s, QString()})
        EXPECT_FALSE(isNegligibleFilename(name)) << name.toStdString();
}

TEST(StringExtensions, Substrings)
{
    const QString path = u"a/b/c"_s;
    EXPECT_EQ(substringBeforeSuffix(path, u"/"_s, false), u"a"_s);
    EXPECT_EQ(substringBeforeSuffix(path, u"/"_s, true, false), u"a/b"_s);
    EXPECT_EQ(substringAfterPrefix(path, u"/"_s, false), u"b/c"_s);
    EXPECT_EQ(substringAfterPrefix(path, u"/"_s, true, false), u"c"_s);
    EXPECT_EQ(substringAfterPrefix(path, u"B"_s, false), std::nullopt);
    EXPECT_EQ(substringAfterPrefix(path, u"B"_s, true), path);
    EXPECT_EQ(substringBeforeSuffix(path, u"x"_s, true, true), path);
    EXPECT_EQ(substringBeforeSuffix(path, QString(), false), std::nullopt);
    EXPECT_EQ(substringAfterPrefix(u"abc"_s, u"abc"_s, false), QString());
}

TEST(StringExtensions, MatchesSearchStringsIgnoringCaseDiacriticsAndWidth)
{
    const QString name = u"Café Résumé Ｆｕｌｌ.pdf"_s;
    EXPECT_TRUE(isMatchForSearchStrings(name, {}));
    EXPECT_TRUE(isMatchForSearchStrings(name, {u"cafe"_s, u"RESUME"_s}));
    EXPECT_TRUE(isMatchForSearchStrings(name, {u"full"_s}));
    EXPECT_TRUE(isMatchForSearchStrings(u"Straße"_s, {u"STRASSE"_s}));
    EXPECT_TRUE(isMatchForSearchStrings(u"naïve"_s, {u"NAÏVE"_s, u"ai"_s}));
    EXPECT_FALSE(isMatchForSearchStrings(name, {u"cafe"_s, u"missing"_s}));
    EXPECT_FALSE(isMatchForSearchStrings(u"abc"_s, {u"abcd"_s}));
}

TEST(StringExtensions, SortStringsDropIgnorablePrefixes)
{
    ZRUserDefaults &defaults = ZRUserDefaults::standardUserDefaults();
    defaults.removeObjectForKey(ZRTextDefaultsKeys::IgnorableSortingPrefixes);
    EXPECT_EQ(sortPrefixesString(), u"a an the"_s);
    EXPECT_EQ(sortPrefixesByForcedRebuild(true), (QStringList{u"a "_s, u"an "_s, u"the "_s}));
    const std::pair<QString, QString> rows[] = {
        {u"An Apple"_s, u"Apple"_s}, {u"Anchor"_s, u"Anchor"_s}, {u"The Tool.zip"_s, u"Tool.zip"_s},
        {u"THE END"_s, u"END"_s},    {u"a"_s, u"a"_s},           {u"A "_s, QString()},
        {u"Theme"_s, u"Theme"_s},
    };
    for (const auto &[name, expected] : rows)
        EXPECT_EQ(sortString(name), expected) << name.toStdString();

    // A changed preference takes effect when the list is rebuilt.
    defaults.setObject(u"Der  DIE das"_s, ZRTextDefaultsKeys::IgnorableSortingPrefixes);
    EXPECT_EQ(sortString(u"The Tool"_s), u"Tool"_s);
    EXPECT_EQ(sortPrefixesByForcedRebuild(true), (QStringList{u"der "_s, u"die "_s, u"das "_s}));
    EXPECT_EQ(sortString(u"Die Ärzte"_s), u"Ärzte"_s);
    EXPECT_EQ(sortString(u"The Tool"_s), u"The Tool"_s);
    defaults.removeObjectForKey(ZRTextDefaultsKeys::IgnorableSortingPrefixes);
    sortPrefixesByForcedRebuild(true);
}

TEST(StringExtensions, SplitsAndTrimsStringLists)
{
    EXPECT_EQ(stringsByTrimmingCharactersInSet({u" a "_s, QString(), u"  "_s, u"b"_s}, isWhitespaceOrNewline),
              (QStringList{u"a"_s, u"b"_s}));
    EXPECT_EQ(stringsByTrimmingCharactersInSet({u" a "_s, QString()}, nullptr), QStringList{u" a "_s});
    EXPECT_EQ(stringsByTrimmingCharactersInSet({u"\n"_s}, isWhitespaceOrNewline), std::nullopt);

    EXPECT_EQ(stringValuesSeparatedByWhitespaceAndNewlines(u" a  b\n\tc\r\n"_s),
              (QStringList{u"a"_s, u"b"_s, u"c"_s}));
    EXPECT_EQ(stringValuesSeparatedByWhitespaceAndNewlines(u" \n "_s), std::nullopt);

    EXPECT_EQ(dotTrimmedStringValuesSeparatedByNewlines(u".zip\r\n tar.gz. \n\n . \nmp3"_s),
              (QStringList{u"zip"_s, u"tar.gz"_s, u"mp3"_s}));
    EXPECT_EQ(dotTrimmedStringValuesSeparatedByNewlines(u"my file.txt"_s), QStringList{u"my file.txt"_s});
    EXPECT_EQ(dotTrimmedStringValuesSeparatedByNewlines(QString()), std::nullopt);
}

TEST(StringExtensions, ComparatorsSortNaturallyWithEmptyValuesLast)
{
    QStringList titles{QString(), u"item 10"_s, u"Item 9"_s, u"apple"_s};
    std::sort(titles.begin(), titles.end(),
              [](const QString &a, const QString &b) { return compareByTitle(a, b) < 0; });
    EXPECT_EQ(titles, (QStringList{u"apple"_s, u"Item 9"_s, u"item 10"_s, QString()}));
    EXPECT_LT(compareByString(u"file2"_s, u"file10"_s), 0);
    EXPECT_EQ(compareByString(QString(), QString()), 0);
    EXPECT_LT(compareByURLAbsoluteString(QUrl(u"http://x/2"_s), QUrl(u"http://x/10"_s)), 0);
    EXPECT_GT(compareByURLAbsoluteString(QUrl(), QUrl(u"http://x/"_s)), 0);

    const auto rule = [](const QStringList &hosts, const QStringList &extensions) {
        return QVariantMap{{u"Hosts"_s, hosts}, {u"Extensions"_s, extensions}};
    };
    EXPECT_LT(compareByFolderRule(rule({u"a.example"_s}, {u"zip"_s}), rule({u"b.example"_s}, {u"dmg"_s})), 0);
    EXPECT_LT(compareByFolderRule(rule({u"a.example"_s}, {u"dmg"_s}), rule({u"A.example"_s}, {u"zip"_s})), 0);
    EXPECT_GT(compareByFolderRule(rule({}, {u"dmg"_s}), rule({u"a.example"_s}, {})), 0);
    EXPECT_EQ(compareByFolderRule(QVariantMap(), QVariantMap()), 0);
}

} // namespace
