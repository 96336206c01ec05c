// Download-page rules: the QSON conversions, the three decoders, validation, the keyed form,
// matching and name patterns, and the cascade over pages that a table serves.
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/text/ZRPageRules.h"
#include "core/text/ZRQSONSerialization.h"
#include "tests/unit/text_strings/ZRTextTestPrinting.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>

using namespace Qt::Literals::StringLiterals;
using namespace ZRPageRules;

namespace
{

QVariantMap rule(const QString &source, const QVariant &cascade, const QVariantMap &extra = {})
{
    QVariantMap r = extra;
    r.insert(u"Source"_s, source);
    r.insert(u"Query Cascade"_s, cascade);
    return r;
}

TEST(QSONSerialization, ConvertsBothWays)
{
    struct Row {
        QString json;
        QString qson;
    };
    const Row rows[] = {
        {u"[\n\t1,\n\t\"a\"\n]"_s, u"[\n\t1\n\t\"a\"\n]"_s},
        {u"{\n\t\"a\" : 1,\n\t\"b\" : [\n\t\t2,\n\t\t3\n\t]\n}"_s,
         u"{\n\t\"a\" : 1\n\t\"b\" : [\n\t\t2\n\t\t3\n\t]\n}"_s},
        // Commas before a closing bracket, after an opening one or inside a line stay as they are.
        {u"[1, 2]"_s, u"[1, 2]"_s},
        // Indented closing brackets are no values.
        {u"[\n  {\n    \"a\" : 1\n  },\n  2\n]"_s, u"[\n  {\n    \"a\" : 1\n  }\n  2\n]"_s},
        {u"{\"a\": [\n1\n]}"_s, u"{\"a\": [\n1\n]}"_s},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(ZRQSONSerialization::QSONStringFromJSONString(row.json), row.qson)
            << row.json.toStdString();
        EXPECT_EQ(ZRQSONSerialization::JSONStringFromQSONString(row.qson), row.json)
            << row.qson.toStdString();
    }
    // A line of one character right after a line that received a comma gets none of its own.
    const QString converted = ZRQSONSerialization::JSONStringFromQSONString(u"[\n1\n2\n3\n]"_s);
    EXPECT_EQ(converted, u"[\n1,\n2\n3\n]"_s);
    EXPECT_FALSE(ZRQSONSerialization::objectWithString(u"[\n1\n2\n3\n]"_s));
}

TEST(QSONSerialization, WritesSortedKeysIndentedWithTabs)
{
    const QVariantList object{QVariantMap{{u"b"_s, QVariantList{1, u"x"_s}}, {u"a"_s, true}}};
    const std::optional<QString> json = ZRQSONSerialization::JSONStringWithObject(object);
    ASSERT_TRUE(json);
    EXPECT_EQ(*json, u"[\n\t{\n\t\t\"a\": true,\n\t\t\"b\": [\n\t\t\t1,\n\t\t\t\"x\"\n\t\t]\n\t}\n]"_s);
    EXPECT_EQ(ZRQSONSerialization::QSONStringWithObject(object),
              u"[\n\t{\n\t\t\"a\": true\n\t\t\"b\": [\n\t\t\t1\n\t\t\t\"x\"\n\t\t]\n\t}\n]"_s);
    bool isJSON = true;
    EXPECT_EQ(
        ZRQSONSerialization::objectWithString(*ZRQSONSerialization::QSONStringWithObject(object), &isJSON),
        QVariant(object));
    EXPECT_FALSE(isJSON);
    // Values that JSON cannot hold, and lone values, give no text.
    EXPECT_FALSE(ZRQSONSerialization::JSONStringWithObject(QVariantList{QByteArray("x")}));
    EXPECT_FALSE(ZRQSONSerialization::JSONStringWithObject(u"x"_s));
}

TEST(PageRules, DecodesJSONThenQSONThenPropertyLists)
{
    const QVariantList one{rule(u"x"_s, QVariantList{u"y"_s})};
    const QString xml = QString::fromUtf8(ZRPropertyList::XMLDataFromPropertyList(one));
    struct Row {
        QString text;
        QString decoder; // empty: nothing decoded
    };
    const Row rows[] = {
        {u"[{\"Source\":\"x\",\"Query Cascade\":[\"y\"]}]"_s, ZRDecodingClassName::JSON},
        {u"[\n{\n\"Source\" : \"x\"\n\"Query Cascade\" : [\"y\"]\n}\n]"_s, ZRDecodingClassName::QSON},
        {xml, ZRDecodingClassName::PropertyList},
        {u"( { Source = x; \"Query Cascade\" = ( y ); } )"_s, ZRDecodingClassName::PropertyList},
        {u"/* old style */ ({Source = \"x\"; \"Query Cascade\" = (\"y\",);})"_s,
         ZRDecodingClassName::PropertyList},
        {u" \n\t"_s, QString()},
        {u"[{\"Source\": }"_s, QString()},
    };
    for (const Row &row : rows) {
        QString decoder = u"unset"_s;
        const std::optional<QVariant> object = objectValueFromString(row.text, &decoder);
        EXPECT_EQ(decoder, row.decoder) << row.text.toStdString();
        if (!row.decoder.isEmpty())
            EXPECT_EQ(object, QVariant(one)) << row.text.toStdString();
        else
            EXPECT_FALSE(object) << row.text.toStdString();
    }
    // Binary property lists are bytes, not text: they reach the reader through the UTF-8 form only
    // when they are ASCII, so the library's reader is asked for them directly.
    EXPECT_EQ(ZRPropertyList::propertyListFromData(ZRPropertyList::binaryDataFromPropertyList(one)),
              QVariant(one));
}

TEST(PageRules, ValidationRejectsTheWholeTextAtTheFirstBadRule)
{
    const QVariantMap good = rule(u"x"_s, QVariantList{u"y"_s, QVariantList{u"a"_s, u"b"_s}, QVariantList{}});
    struct Row {
        QVariant object;
        const char *failure; // nullptr: accepted
    };
    const Row rows[] = {
        {QVariantList{good}, nullptr},
        {QVariantList{good, rule(u"z"_s, QVariantList{u"w"_s}, {{u"Use Source Name"_s, u"title: (.+)"_s}})},
         nullptr},
        {QVariantList{rule(u"z"_s, QVariantList{u"w"_s}, {{u"Use Source Name"_s, 1}})}, nullptr},
        {QVariantMap{{u"x"_s, QVariantMap{{u"Query Cascade"_s, QVariantList{u"y"_s}}}}}, nullptr},
        {QVariantList{}, "empty list"},
        {QVariantMap{}, "empty dictionary"},
        {u"text"_s, "neither a list nor a dictionary"},
        {QVariantList{good, u"x"_s}, "rule 2: is not a dictionary"},
        {QVariantList{rule(u" "_s, QVariantList{u"y"_s})}, "\"Source\" is blank"},
        {QVariantList{rule(u"(x"_s, QVariantList{u"y"_s})}, "\"Source\" does not compile"},
        {QVariantList{rule(u"x"_s, QVariantList{})}, "\"Query Cascade\" is not a non-empty list"},
        {QVariantList{rule(u"x"_s, u"y"_s)}, "\"Query Cascade\" is not a non-empty list"},
        {QVariantList{rule(u"x"_s, QVariantList{7})}, "step 1 of \"Query Cascade\" is neither"},
        {QVariantList{rule(u"x"_s, QVariantList{u"y"_s, QVariantList{u"a"_s, u"[b"_s}})},
         "pattern 2 of step 2 of \"Query Cascade\" does not compile"},
        {QVariantList{rule(u"x"_s, QVariantList{QVariantList{u""_s}})},
         "pattern 1 of step 1 of \"Query Cascade\" is blank"},
        {QVariantList{rule(u"x"_s, QVariantList{u"y"_s}, {{u"Use Source Name"_s, QVariantList{}}})},
         "\"Use Source Name\" is neither"},
        {QVariantMap{{u"(x"_s, QVariantMap{{u"Query Cascade"_s, QVariantList{u"y"_s}}}}},
         "rule <(x>: \"Source\" does not compile"},
    };
    for (const Row &row : rows) {
        QString failure;
        const std::optional<QVariant> valid = validateObjectValue(row.object, &failure);
        if (!row.failure) {
            EXPECT_EQ(valid, row.object) << failure.toStdString();
            continue;
        }
        EXPECT_FALSE(valid) << row.failure;
        EXPECT_TRUE(failure.contains(QString::fromUtf8(row.failure))) << failure.toStdString();
    }
    // An invalid text means no rules at all.
    QString failure;
    EXPECT_TRUE(rulesFromText(u"[{\"Source\": \"x\", \"Query Cascade\": []}]"_s, &failure).isEmpty());
    EXPECT_FALSE(failure.isEmpty());
}

TEST(PageRules, KeyedFormBecomesAListInNaturalOrder)
{
    const QVariantMap body{{u"Query Cascade"_s, QVariantList{u"y"_s}}};
    const QVariantList rules =
        normalizedRules(QVariantMap{{u"b"_s, body}, {u"a10"_s, body}, {u"a9"_s, body}});
    QStringList sources;
    for (const QVariant &r : rules)
        sources << r.toMap().value(u"Source"_s).toString();
    EXPECT_EQ(sources, (QStringList{u"a9"_s, u"a10"_s, u"b"_s}));
}

TEST(PageRules, TheFirstRuleWithANonEmptyMatchDecides)
{
    const QVariantList rules{
        rule(u"^"_s, QVariantList{u"never"_s}),
        rule(u"example\\.org/get"_s, QVariantList{u"a"_s},
             {{u"Collect All Matches"_s, true}, {u"Use Source Name"_s, true}}),
        rule(u"EXAMPLE\\.org"_s, QVariantList{u"b"_s}, {{u"Use Source Name"_s, u"title:(.+)"_s}}),
        rule(u"named\\.example"_s, QVariantList{u"c"_s}, {{u"Use Source Name"_s, u"(unclosed"_s}}),
        rule(u"off\\.example"_s, QVariantList{u"d"_s}, {{u"Use Source Name"_s, false}}),
    };
    struct Row {
        const char *url;
        QVariant firstStep; // invalid: no cascade
        bool firstMatchOnly;
        std::optional<QString> pattern;
    };
    const Row rows[] = {
        {"https://example.org/get?id=1", u"a"_s, false, QString()},
        {"https://example.org/other", u"b"_s, true, u"title:(.+)"_s},
        {"https://named.example/", u"c"_s, true, std::nullopt},
        {"https://off.example/", u"d"_s, true, std::nullopt},
        {"https://elsewhere.example/", QVariant(), true, std::nullopt},
    };
    for (const Row &row : rows) {
        const QUrl url(QString::fromUtf8(row.url));
        const Queries q = downloadPageQueries(url, rules);
        EXPECT_EQ(q.cascade.value(0), row.firstStep) << row.url;
        EXPECT_EQ(q.findFirstMatchOnly, row.firstMatchOnly) << row.url;
        EXPECT_EQ(q.namePattern, row.pattern) << row.url;
        EXPECT_EQ(isDownloadPageURL(url, rules), row.firstStep.isValid()) << row.url;
    }
    EXPECT_FALSE(isDownloadPageURL(QUrl(u"https://example.org/"_s), {}));
}

TEST(PageRules, NamesFilesAfterThePageOrItsTitle)
{
    struct Row {
        const char *url;
        QString pattern;
        QString title;
        QString name;
    };
    const Row rows[] = {
        {"https://h.example/p", u"title: (.+) - Download"_s, u"Tool 2.0 - Download"_s, u"Tool 2.0"_s},
        {"https://h.example/Tool-Download", u"title: ([^/]+)-Download"_s, QString(), u"Tool"_s},
        {"https://h.example/app/get?id=1", QString(), QString(), u"get"_s},
        {"https://www.h.example/", QString(), QString(), u"h-example"_s},
        {"https://h.example/v/12/x/34", u"/(\\d+)"_s, QString(), u"1234"_s},
        {"https://h.example/a+b%2Fc", u"[^/]+$"_s, QString(), u"a b|c"_s},
        {"https://h.example/file.zip", u"nomatch"_s, QString(), u"file.zip"_s},
    };
    for (const Row &row : rows)
        EXPECT_EQ(filenameWithPreservedNamePattern(QUrl(QString::fromUtf8(row.url)), row.pattern, row.title),
                  row.name)
            << row.url;
}

// Pages served from a table; every fetch is counted.
struct PageTable {
    QHash<QString, QByteArray> pages;
    QStringList fetched;
    PageFetcher fetcher()
    {
        return [this](const QUrl &url) -> std::optional<QByteArray> {
            fetched << url.toString();
            const auto it = pages.constFind(url.toString());
            if (it == pages.constEnd())
                return std::nullopt;
            return *it;
        };
    }
};

QStringList strings(const QList<QUrl> &urls)
{
    QStringList result;
    for (const QUrl &url : urls)
        result << url.toString();
    return result;
}

TEST(PageRules, TheCascadeFollowsPagesToFiles)
{
    PageTable table;
    table.pages = {
        {u"https://h/p/"_s,
         QByteArray(
             "<title> My &amp; Tool </title><a href=\"/download/a.zip\">a</a> <a href=\"/download/b.zip\">"
             "<a href=\"https://h/download/a.zip\"> <a href=\"file:///etc/passwd\"> <a "
             "href=\"/download/c.zip\">")},
        {u"https://h/two/"_s, QByteArray("<a href=\"https://h/p/\">next</a>")},
        {u"https://h/enc/"_s, QByteArray("<a onclick=\"atob('aHR0cDovL3gvYQ==')\">")},
        {u"https://h/dead/"_s, QByteArray("nothing here")},
        {u"https://h/bad-utf8/"_s, QByteArray("\xff\xfe<a href=\"/download/x\">")},
    };
    const QString links = u"href=\"([^\"]+)\""_s;
    struct Row {
        const char *page;
        QVariantList rules;
        QStringList result;
        QString title;
    };
    const Row rows[] = {
        // First match only: one address per page, the other patterns of the step skipped.
        {"https://h/p/",
         {rule(u"/p/"_s, QVariantList{QVariantList{links, u"(never)"_s}})},
         {u"https://h/download/a.zip"_s},
         u"My & Tool"_s},
        // Every match, in page order, without duplicates, only web addresses.
        {"https://h/p/",
         {rule(u"/p/"_s, QVariantList{links}, {{u"Collect All Matches"_s, true}})},
         {u"https://h/download/a.zip"_s, u"https://h/download/b.zip"_s, u"https://h/download/c.zip"_s},
         u"My & Tool"_s},
        // Two steps: page, page, file.
        {"https://h/two/",
         {rule(u"/two/"_s, QVariantList{links, u"href=\"(/download/b[^\"]*)\""_s})},
         {u"https://h/download/b.zip"_s},
         u"My & Tool"_s},
        // atob(): the next step searches the decoded text instead of fetching it.
        {"https://h/enc/",
         {rule(u"/enc/"_s, QVariantList{u"(atob\\('[^']*'\\))"_s, u"(http://x/a)"_s})},
         {u"http://x/a"_s},
         QString()},
        {"https://h/dead/", {rule(u"/dead/"_s, QVariantList{links})}, {}, QString()},
        {"https://h/bad-utf8/", {rule(u"/bad"_s, QVariantList{links})}, {}, QString()},
        {"https://h/gone/", {rule(u"/gone/"_s, QVariantList{links})}, {}, QString()},
        // No rule: the page address itself, nothing fetched.
        {"https://h/file.zip", {rule(u"/p/"_s, QVariantList{links})}, {u"https://h/file.zip"_s}, QString()},
    };
    for (const Row &row : rows) {
        table.fetched.clear();
        QString title = u"unset"_s;
        const QList<QUrl> urls = URLsFromDownloadPageWithTitle(QUrl(QString::fromUtf8(row.page)), row.rules,
                                                               &title, table.fetcher());
        EXPECT_EQ(strings(urls), row.result) << row.page;
        EXPECT_EQ(title, row.title) << row.page;
    }
    EXPECT_TRUE(table.fetched.isEmpty());
}

TEST(PageRules, ACatastrophicPatternIsStoppedAndLogged)
{
    QStringList lines;
    QMutex lock;
    ZRLogSetHandler([&](const QString &line) {
        QMutexLocker locker(&lock);
        lines << line;
    });
    PageTable table;
    table.pages = {{u"https://h/p"_s, QByteArray(40, 'a') + '!'}};
    Limits limits;
    limits.matchTimeLimit = 50;
    QElapsedTimer clock;
    clock.start();
    const QList<QUrl> urls =
        URLsFromDownloadPageWithTitle(QUrl(u"https://h/p"_s), {rule(u"h/p"_s, QVariantList{u"(a+)+$"_s})},
                                      nullptr, table.fetcher(), limits);
    EXPECT_TRUE(urls.isEmpty());
    EXPECT_LT(clock.elapsed(), 10000);
    ZRLogSetHandler({});
    EXPECT_TRUE(lines.join(u'\n').contains(u"took too long and was stopped"_s))
        << lines.join(u'\n').toStdString();
}

TEST(PageRules, TheBuiltInRulesReadTheProjectPage)
{
    const QVariantList rules = rulesFromText(defaultRulesText());
    ASSERT_EQ(rules.size(), 1);
    EXPECT_TRUE(defaultRulesText().contains(u"\n\t{"_s));
    EXPECT_TRUE(isDownloadPageURL(QUrl(u"https://www.tessaline.com/quorvel/"_s), rules));
    EXPECT_TRUE(isDownloadPageURL(QUrl(u"http://tessaline.com/quorvel"_s), rules));
    EXPECT_FALSE(isDownloadPageURL(QUrl(u"https://tessaline.com/other/"_s), rules));
    EXPECT_FALSE(preservedNamePattern(QUrl(u"https://www.tessaline.com/quorvel/"_s), rules));
    EXPECT_EQ(defaultRules(), rules);

    // The built-in source is matched by hand: the same answers as the pattern spelled otherwise,
    // which goes through the regular-expression engine.
    QVariantList spelledOtherwise = rules;
    QVariantMap rule = spelledOtherwise.first().toMap();
    rule.insert(u"Source"_s, u"^(?:https?)://(?:www\\.)?tessaline\\.com/quorvel(?:/|$)"_s);
    spelledOtherwise.first() = rule;
    for (const QString &address :
         {u"HTTPS://WWW.Tessaline.COM/Quorvel"_s, u"https://www.www.tessaline.com/quorvel"_s, u"http://tessaline.com/quorvelx"_s,
          u"http://tessaline.com/quorvel/x?y"_s, u"https://wwwxtessaline.com/quorvel"_s, u"ftp://tessaline.com/quorvel"_s,
          u"https://tessaline.com.evil/quorvel"_s, u"https://www.tessaline.com/quorvel?x"_s, u"http://www.tessaline.com"_s})
        EXPECT_EQ(isDownloadPageURL(QUrl(address), rules), isDownloadPageURL(QUrl(address), spelledOtherwise))
            << address.toStdString();
}

} // namespace
