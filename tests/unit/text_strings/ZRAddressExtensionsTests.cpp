// Address extraction, brace expansion, unescaping, the replacement rules and URL file names.
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRTextKeys.h"
#include "tests/unit/text_strings/ZRTextTestPrinting.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QUrl>

#include <atomic>
#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace ZRExtensions;

namespace
{

std::string show(const QStringList &list)
{
    return QString(u"«"_s + list.join(u"», «"_s) + u"»"_s).toStdString();
}

TEST(AddressExtensions, UnearthsQuotedAddressesInOrder)
{
    struct Row {
        QString text;
        QStringList expected;
    };
    const Row rows[] = {
        {u"<a href='https://x/a.zip'> and 'http://y/b'"_s, {u"https://x/a.zip"_s, u"http://y/b"_s}},
        {u"see http://x/a.zip"_s, {u"see http://x/a.zip"_s}},
        {QString(), {QString()}},
        {u"\"HTTP://X/a\" 'ftp://y' \"http://x/a'"_s, {u"HTTP://X/a"_s, u"http://x/a"_s}},
        {u"'http://a' 'http://a'"_s, {u"http://a"_s, u"http://a"_s}},
        {u"\"http://\""_s, {u"\"http://\""_s}},
    };
    for (const Row &row : rows)
        EXPECT_EQ(unearthedURLStrings(row.text), row.expected) << row.text.toStdString();

    // The same as the pattern it stands for, at its edges.
    const QRegularExpression quoted(u"[\"'](https?://[^\"']+)[\"']"_s, QRegularExpression::CaseInsensitiveOption);
    for (const QString &text : {u"'http://'x'"_s, u"''http://a'"_s, u"'https://a\"'http://b'"_s, u"'http://a"_s,
                                u"\"https:/a\" 'hTTps://b'"_s, u"'httpss://a' 'http:/b' \"http://c\""_s,
                                u"'http://a''https://b'"_s, u"x'http://a'x'http://b"_s, u"'\u017fhttp://a'"_s}) {
        QStringList expected;
        for (auto it = quoted.globalMatch(text); it.hasNext();)
            expected << it.next().captured(1);
        EXPECT_EQ(unearthedURLStrings(text), expected.isEmpty() ? QStringList{text} : expected) << text.toStdString();
    }
}

TEST(AddressExtensions, ExplodesBraceRanges)
{
    struct Row {
        QString text;
        QStringList expected;
    };
    const Row rows[] = {
        {u"f{1-3}.z"_s, {u"f1.z"_s, u"f2.z"_s, u"f3.z"_s}},
        {u"f{08-10}.z"_s, {u"f08.z"_s, u"f09.z"_s, u"f10.z"_s}},
        {u"f{a-d}"_s, {u"fa"_s, u"fb"_s, u"fc"_s, u"fd"_s}},
        {u"f{x, y}"_s, {u"fx"_s, u"fy"_s}},
        {u"f{3-1}"_s, {u"f{3-1}"_s}},
        {u"f{1-2-3}"_s, {u"f1-2-3"_s}},
        {u"f{foo-bar}"_s, {u"f0"_s}},
        {u"f}x{1-2"_s, {u"f}x{1-2"_s}},
        {u"a{1-2}b{x,y}"_s, {u"a1bx"_s, u"a1by"_s, u"a2bx"_s, u"a2by"_s}},
        {u"plain"_s, {u"plain"_s}},
        {u"f{}g"_s, {u"fg"_s}},
        {u"f{1-}"_s, {u"f{1-}"_s}},
        {u"f{ 9 - 11 }"_s, {u"f9"_s, u"f10"_s, u"f11"_s}},
        {u"f{1-2,x}"_s, {u"f1"_s, u"f2"_s, u"fx"_s}},
        {u"f{0-2}"_s, {u"f0"_s, u"f1"_s, u"f2"_s}},
        {u"{a{b}"_s, {u"a{b"_s}},
    };
    for (const Row &row : rows)
        EXPECT_EQ(explodedURLStrings(row.text), row.expected)
            << row.text.toStdString() << " gave " << show(explodedURLStrings(row.text));
    EXPECT_EQ(explodedURLStrings(QStringList{u"a{1-2}"_s, u"b"_s}), (QStringList{u"a1"_s, u"a2"_s, u"b"_s}));
}

TEST(AddressExtensions, HugeBraceRangesStopAtAHundredThousandAddresses)
{
    // The end of the range is the largest int: counting must neither overflow nor run out of memory.
    bool truncated = false;
    const QStringList big = explodedURLStrings(u"http://x/{1-2147483647}"_s, &truncated);
    ASSERT_EQ(big.size(), 100000);
    EXPECT_EQ(big.first(), u"http://x/1"_s);
    EXPECT_EQ(big.last(), u"http://x/100000"_s);
    EXPECT_TRUE(truncated);
    // The caller learns whether anything was left out, exactly at the limit too.
    const struct {
        QString text;
        qsizetype count;
        bool cut;
    } cases[] = {
        {u"{1-1000}{1-1000}"_s, 100000, true}, {u"{1-1000}{1-100}"_s, 100000, false},
        {u"{1-100001}"_s, 100000, true},       {u"{1-99999,a,b}"_s, 100000, true},
        {u"{1-99999,a}"_s, 100000, false},     {u"x{1-3}"_s, 3, false},
    };
    for (const auto &row : cases) {
        truncated = !row.cut;
        EXPECT_EQ(explodedURLStrings(row.text, &truncated).size(), row.count) << row.text.toStdString();
        EXPECT_EQ(truncated, row.cut) << row.text.toStdString();
    }
    // Thousands of groups are expanded without deep recursion.
    EXPECT_EQ(explodedURLStrings(u"{}"_s.repeated(20000) + u"x"_s), QStringList{u"x"_s});
}

TEST(AddressExtensions, DecodesPercentEscapes)
{
    struct Row {
        QString text;
        QString expected;
    };
    const Row rows[] = {
        {u"caf%E9"_s, u"café"_s},     {u"caf%C3%A9"_s, u"café"_s},  {u"100%"_s, u"100%"_s},
        {u"a%2"_s, u"a%2"_s},         {u"%zz"_s, u"%zz"_s},         {u"no escapes"_s, u"no escapes"_s},
        {u"a%20b%2Fc"_s, u"a b/c"_s}, {u"%E2%82%AC%41"_s, u"€A"_s},
    };
    for (const Row &row : rows)
        EXPECT_EQ(stringByReplacingPercentEscapesIfNecessary(row.text), row.expected)
            << row.text.toStdString();

    const Row plusRows[] = {
        {u"my+file%2Bx.zip"_s, u"my file+x.zip"_s},
        {u"+"_s, u"+"_s},
        {u"+a+"_s, u"a"_s},
        {u"%2B"_s, u"+"_s},
    };
    for (const Row &row : plusRows)
        EXPECT_EQ(stringByReplacingPlusAndPercentEscapesIfNecessary(row.text), row.expected)
            << row.text.toStdString();
}

TEST(AddressExtensions, UnescapesRedirectStyleAddresses)
{
    EXPECT_EQ(unescapedURLString(u"http%3A%2F%2Fx%2Fa%20b"_s), u"http://x/a b"_s);
    EXPECT_EQ(unescapedURLString(u"HTTPS%3a%2f%2fx"_s), u"HTTPS://x"_s);
    EXPECT_EQ(unescapedURLString(u"%2Fpath%2Fa"_s), u"/path/a"_s);
    EXPECT_EQ(unescapedURLString(u"a?x=1&amp;y=2"_s), u"a?x=1&y=2"_s);
    EXPECT_EQ(unescapedURLString(u"a?x=1&AMP;y=2"_s), u"a?x=1&AMP;y=2"_s);
    EXPECT_EQ(unescapedURLString(u"http://x/a%20b"_s), u"http://x/a%20b"_s);

    // The preference is read on every call.
    ZRUserDefaults &defaults = ZRUserDefaults::standardUserDefaults();
    const QString redirect = u"https://r/?u=https%3A%2F%2Fx"_s;
    defaults.setBool(false, ZRTextDefaultsKeys::SkipRedirectingServices);
    EXPECT_EQ(unescapedURLString(redirect), redirect);
    defaults.setBool(true, ZRTextDefaultsKeys::SkipRedirectingServices);
    EXPECT_EQ(unescapedURLString(redirect), u"https://r/?u=https://x"_s);
    defaults.removeObjectForKey(ZRTextDefaultsKeys::SkipRedirectingServices);
}

TEST(AddressExtensions, RemovesURLParametersOnlyWhenANameWithExtensionRemains)
{
    const std::pair<QString, QString> rows[] = {
        {u"?a"_s, u"?a"_s},
        {u"a.b?q"_s, u"a.b"_s},
        {u"ab?q"_s, u"ab?q"_s},
        {u"file.zip?x=1"_s, u"file.zip"_s},
        {u"download?id=3"_s, u"download?id=3"_s},
        {u"a.?q"_s, u"a.?q"_s},
        {u"d.x/name?q"_s, u"d.x/name?q"_s},
        {u"plain"_s, u"plain"_s},
    };
    for (const auto &[text, expected] : rows)
        EXPECT_EQ(filenameByRemovingURLParameters(text), expected) << text.toStdString();
}

TEST(AddressExtensions, URLsSuggestFileNames)
{
    const std::pair<const char *, QString> rows[] = {
        {"http://www.files.example/", u"files-example"_s},
        {"http://files.example", u"files-example"_s},
        {"http://x/dir/My%20File.zip", u"My File.zip"_s},
        {"http://x/dir/my+file%252Bx.zip", u"my file+x.zip"_s},
        {"http://x/get/a.zip%3Ftoken=1", u"a.zip"_s},
        {"http://x/dir/sub/", u"sub"_s},
        {"file:///", u"-"_s},
    };
    for (const auto &[address, expected] : rows)
        EXPECT_EQ(filename(QUrl(QString::fromLatin1(address))), expected) << address;
}

TEST(AddressExtensions, ComparisonAddressesAreOneNormalForm)
{
    // Each row: spellings of one address; the first is the normal form.
    const QStringList rows[] = {
        {u"http://host/x"_s, u"HTTP://Host/x"_s, u"http://HOST:80/x"_s, u"http://host:80/%78"_s},
        {u"http://host/"_s, u"http://host"_s, u"http://Host:80"_s},
        {u"https://host/a%20b"_s, u"https://host/a b"_s, u"https://host:443/a%20b"_s},
        {u"http://host/~user/"_s, u"http://host/%7euser/"_s, u"http://host/%7Euser/"_s},
        {u"http://host/%C3%A9?q=%C3%A4"_s, u"http://host/é?q=ä"_s, u"http://host/%c3%a9?q=%c3%a4"_s},
        {u"http://xn--bcher-kva.example/x"_s, u"http://bücher.example/x"_s, u"http://BÜCHER.example/x"_s},
        // Not the same address: case of the path, reserved escapes, the scheme, another port.
        {u"http://host/X"_s},
        {u"http://host/a%2Fb"_s, u"http://host/a%2fb"_s},
        {u"https://host/x"_s},
        {u"http://host:8080/x"_s},
        // Text that makes no URL is its own key.
        {u"not an address"_s},
    };
    QStringList forms;
    for (const QStringList &spellings : rows) {
        for (const QString &spelling : spellings)
            EXPECT_EQ(comparisonURLString(spelling), spellings.first()) << spelling.toStdString();
        forms.append(spellings.first());
    }
    forms.removeDuplicates();
    EXPECT_EQ(forms.size(), std::size(rows));
}

TEST(AddressExtensions, EncodedAddressesParse)
{
    const QString inputs[] = {
        u"http://x/a b.zip"_s,           u"http://x/ü/€?q=ä b"_s,
        u"http://x/100%.zip"_s,          u"http://x/a\"<>{}|^`\\.zip"_s,
        u"http://[::1]:8080/a[1].zip"_s, u"http://x/a#b#c"_s,
        u"http://x/\t\u0001"_s,          u"http://bücher.example/a b.zip"_s,
    };
    for (const QString &input : inputs) {
        const QString encoded = URLEncodedString(input);
        const QUrl url(encoded, QUrl::StrictMode);
        EXPECT_TRUE(url.isValid()) << encoded.toStdString() << ": " << url.errorString().toStdString();
    }
    EXPECT_EQ(URLEncodedString(u"http://x/a b/ü?q=1&r=2#f"_s), u"http://x/a%20b/%C3%BC?q=1&r=2#f"_s);
    EXPECT_EQ(URLEncodedString(u"http://x/a%20b%zz"_s), u"http://x/a%20b%25zz"_s);
    EXPECT_EQ(URLEncodedString(u"http://[::1]/[x]"_s), u"http://[::1]/%5Bx%5D"_s);
    EXPECT_EQ(URLEncodedString(u"http://bücher.example/ü b"_s), u"http://bücher.example/%C3%BC%20b"_s);
    EXPECT_EQ(trimmedString(u" \t\n\u00a0\u2028a b\r\n"_s), u"a b"_s);
}

// The replacement list is built once per process: each of the following cases prepares the
// preference or the file before the first use, so they need a process of their own (as ctest runs
// them). Run together in one process, all but the first are skipped.
bool replacementListClaimed = false;

bool claimReplacementList()
{
    if (replacementListClaimed)
        return false;
    replacementListClaimed = true;
    return true;
}

void expectRewrites(const std::vector<std::pair<QString, QString>> &rows)
{
    for (const auto &[text, expected] : rows)
        EXPECT_EQ(unescacpedURLStringWithReplacementsApplied(text), expected) << text.toStdString();
}

// The built-in rules, as the patterns they stand for, applied by another regular-expression engine.
QString referenceRewrite(QString text, bool skipsRedirectingServices)
{
    const auto apply = [&text](const char *pattern, const QString &replacement) {
        text.replace(QRegularExpression(QString::fromLatin1(pattern), QRegularExpression::CaseInsensitiveOption),
                     replacement);
    };
    apply("^:?//", u"http://"_s);
    apply("^h[^:/]+(ps?://)", u"htt\\1"_s);
    text.replace(u"\\/"_s, u"/"_s, Qt::CaseInsensitive);
    if (skipsRedirectingServices)
        apply("^https?://[^'\"]*(https?://)", u"\\1"_s);
    return text;
}

// Inputs at the edges of each built-in rule, compared with the patterns they replace.
void expectBuiltInRulesAsTheirPatterns(bool skipsRedirectingServices)
{
    const QStringList inputs = {
        u""_s, u"/"_s, u"//"_s, u":/"_s, u"::"_s, u"://"_s, u":://x"_s, u"///x"_s, u"x//y"_s,
        u"h"_s, u"hp://x"_s, u"hxp://x"_s, u"hps://x"_s, u"hxps://x"_s, u"hxxpps://x"_s, u"hxxsp://x"_s,
        u"HXXPS://x"_s, u"hxxP://x"_s, u"hxxpS://x"_s, u"hxxp:/x"_s, u"hxxp/x://"_s, u"h:p://x"_s,
        u"hxxp\u017f://x"_s, u"ht tp://x"_s, u"http://x"_s, u"https://x"_s, u"hxxps://hxxp://x"_s,
        u"http://a/?u=http://b"_s, u"https://a/?u=https://b&v=http://c/d"_s, u"http://a/'http://b"_s,
        u"http://a/http://b'x\"https://c"_s, u"http://http://"_s, u"HTTPS://a/HTTP://b"_s,
        u"https:/a/http://b"_s, u"http://a/https:/b"_s, u"httpx://a/http://b"_s, u"http:\\/\\/a"_s,
    };
    for (const QString &input : inputs)
        EXPECT_EQ(unescacpedURLStringWithReplacementsApplied(input), referenceRewrite(input, skipsRedirectingServices))
            << input.toStdString();
}

TEST(ReplacementList, BuiltInRules)
{
    if (!claimReplacementList())
        GTEST_SKIP() << "the replacement list was built earlier in this process";
    // Concurrent first uses (intake and page extraction) all see the complete list.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong] {
            if (unescacpedURLStringWithReplacementsApplied(u"//x\\/a"_s) != u"http://x/a"_s)
                ++wrong;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    expectRewrites({
        {u"//x/a"_s, u"http://x/a"_s},
        {u"://x/a"_s, u"http://x/a"_s},
        {u"hxxps://x"_s, u"https://x"_s},
        {u"HXXP://x"_s, u"httP://x"_s},
        {u"http:\\/\\/x\\/a"_s, u"http://x/a"_s},
        {u"http%3A%2F%2Fx%2Fa&amp;b"_s, u"http://x/a&b"_s},
        // Without "Skip Redirecting Services", embedded addresses stay.
        {u"https://r/?u=http://x/a"_s, u"https://r/?u=http://x/a"_s},
        {u"ftp://x/a"_s, u"ftp://x/a"_s},
    });
    expectBuiltInRulesAsTheirPatterns(false);
}

TEST(ReplacementList, SkipsRedirectingServicesWhenOnAtFirstUse)
{
    if (!claimReplacementList())
        GTEST_SKIP() << "the replacement list was built earlier in this process";
    ZRUserDefaults::standardUserDefaults().setBool(true, ZRTextDefaultsKeys::SkipRedirectingServices);
    expectRewrites({
        {u"https://r/?u=http://x/a"_s, u"http://x/a"_s},
        {u"https://r/?u=http://x/a&v=https://y/b"_s, u"https://y/b"_s},
        {u"https://r/?u=https%3A%2F%2Fx%2Fa"_s, u"https://x/a"_s},
        {u"http://x/a"_s, u"http://x/a"_s},
    });
    expectBuiltInRulesAsTheirPatterns(true);
    // Switching it off later changes nothing until the next start.
    ZRUserDefaults::standardUserDefaults().setBool(false, ZRTextDefaultsKeys::SkipRedirectingServices);
    EXPECT_EQ(unescacpedURLStringWithReplacementsApplied(u"https://r/?u=http://x/a"_s), u"http://x/a"_s);
}

TEST(ReplacementList, AppendsTheUsersRulesAndSkipsBrokenOnes)
{
    if (!claimReplacementList())
        GTEST_SKIP() << "the replacement list was built earlier in this process";
    const auto rule = [](const QString &query, const QString &replacement, const QVariant &isPattern) {
        QVariantMap map{{u"Query"_s, query}, {u"Replacement"_s, replacement}};
        if (isPattern.isValid())
            map.insert(u"Regular Expression"_s, isPattern);
        return QVariant(map);
    };
    const QVariantList rules{
        rule(u"([unclosed"_s, u"broken"_s, true),
        rule(u"^http://mirror\\.example/(.*)$"_s, u"https://cdn.example/$1"_s, true),
        QVariant(u"not a rule"_s),
        QVariant(QVariantMap{{u"Query"_s, u"lost"_s}}),
        rule(u"CDN.EXAMPLE"_s, u"cdn2.example"_s, QVariant()),
        rule(u"(a)"_s, u"$7"_s, true),
        rule(u"-old"_s, u"-new"_s, false),
    };
    ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(rules, ZRApplicationSupportFolderPath() +
                                                                   u"/Replacements.plist"_s));
    QStringList logged;
    ZRLogSetHandler([&logged](const QString &line) { logged.append(line); });
    expectRewrites({
        {u"http://mirror.example/a-old.zip"_s, u"https://cdn2.example/a-new.zip"_s},
        {u"hxxp://mirror.example/x-OLD"_s, u"https://cdn2.example/x-new"_s},
        {u"([unclosed"_s, u"([unclosed"_s},
    });
    ZRLogSetHandler(nullptr);
    // The rule whose template names a missing group is logged and skipped; the rules after it still run.
    EXPECT_TRUE(logged.filter(u"ignoring regular expression exception"_s).size() >= 1) << show(logged);
}

TEST(ReplacementList, MalformedFileContributesNothing)
{
    if (!claimReplacementList())
        GTEST_SKIP() << "the replacement list was built earlier in this process";
    ASSERT_TRUE(
        ZRWriteFileAtomically(ZRApplicationSupportFolderPath() + u"/Replacements.plist"_s, "<plist><arr"));
    expectRewrites({{u"//x/a"_s, u"http://x/a"_s}, {u"a-old"_s, u"a-old"_s}});
}

} // namespace
