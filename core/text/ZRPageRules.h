// Download-page rules: how the address of a web page that links to a file is turned into the
// file's address. A rule recognises the page by its address and runs a cascade of patterns over
// the page's text, each step giving the addresses that the next step reads. The rules are one text
// (JSON, QSON or a property list) that the user edits.
#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantList>

#include <functional>
#include <optional>

namespace ZRPageRuleKey
{
inline constexpr QLatin1String Source("Source");
inline constexpr QLatin1String QueryCascade("Query Cascade");
inline constexpr QLatin1String CollectAllMatches("Collect All Matches");
inline constexpr QLatin1String UseSourceName("Use Source Name");
} // namespace ZRPageRuleKey

// The names of the three decoders of a rules text (only compared).
namespace ZRDecodingClassName
{
inline constexpr QLatin1String JSON("NSJSONSerialization");
inline constexpr QLatin1String QSON("ZRQSONSerialization");
inline constexpr QLatin1String PropertyList("NSPropertyListSerialization");
} // namespace ZRDecodingClassName

namespace ZRPageRules
{

// Thread-safe, all of them.

// --- The rules text ---

// The value of a rules text: JSON first, then QSON, then a property list (XML, binary or the old
// text form); the decoder's name in decodingClassName. None for a blank text or one no decoder reads.
std::optional<QVariant> objectValueFromString(const QString &text, QString *decodingClassName = nullptr);
// The old text form of property lists: { key = value; }, ( a, b ), "strings", bare words, <hex>.
std::optional<QVariant> propertyListFromOldStyleText(const QString &text);
// The value itself when it is an acceptable rule set (a list of rules, or a dictionary of rules by
// their "Source"); else none, and failure says which rule and why.
std::optional<QVariant> validateObjectValue(const QVariant &object, QString *failure = nullptr);
// A validated value in the list form: the keyed form's keys in natural order, each rule with its
// key as "Source".
QVariantList normalizedRules(const QVariant &validated);
// The rules used while the preference holds no text: one rule for this program's own project page.
QString defaultRulesText();
// The same rules as a list, as rulesFromText makes it from that text.
QVariantList defaultRules();
// Decoded, validated and normalised; empty, with the reason in failure, when the text is not a rule
// set (then no address is a download page).
QVariantList rulesFromText(const QString &text, QString *failure = nullptr);

// --- Matching an address ---

struct Queries {
    QVariantList cascade;               // empty: the address is not a download page
    std::optional<QString> namePattern; // none: the server's file name stays
    bool findFirstMatchOnly = true;
};
// The first rule whose "Source" has a non-empty match in the address decides.
Queries downloadPageQueries(const QUrl &url, const QVariantList &rules);
bool isDownloadPageURL(const QUrl &url, const QVariantList &rules);
std::optional<QString> preservedNamePattern(const QUrl &url, const QVariantList &rules);
// The file name that the pattern makes of the address (or, with a "title:" pattern, of the page's
// title); the address's own file name when it makes none.
QString filenameWithPreservedNamePattern(const QUrl &url, const QString &pattern,
                                         const QString &downloadPageTitle);

// --- Reading pages ---

// Not on the main thread. The page's bytes, or none (the failure is logged).
using PageFetcher = std::function<std::optional<QByteArray>(const QUrl &url)>;
std::optional<QByteArray> fetchDownloadPage(const QUrl &url);

// What one page may cost: patterns come from the user, pages from strangers.
struct Limits {
    int matchTimeLimit = 2000;                 // the regular-expression engine's steps per match (about ms)
    qint64 pageTimeBudgetMilliseconds = 10000; // for all patterns of one step on one page
    qsizetype maximumURLsPerPage = 1000;
    qsizetype maximumURLsPerStep = 10000;
};

// Not on the main thread. Runs the cascade of the rule that matches the page's address: the file
// addresses (only http and https ones), or the page address itself when no rule matches, or
// nothing when a step found nothing. title receives the first page title found, when asked for.
QList<QUrl> URLsFromDownloadPageWithTitle(const QUrl &pageURL, const QVariantList &rules, QString *title,
                                          const PageFetcher &fetcher = fetchDownloadPage,
                                          const Limits &limits = Limits());

} // namespace ZRPageRules
