// Address extraction, brace expansion, unescaping and the replacement rules.
#include "core/text/ZRAddressExtensions.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRTextICU.h"
#include "core/text/ZRTextKeys.h"

#include <QHash>
#include <QStringDecoder>
#include <QUrl>

#include <unicode/regex.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace
{

std::unique_ptr<icu::RegexPattern> compilePattern(const QString &pattern, QString *errorName = nullptr)
{
    UParseError parseError;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(ZRTextICU::copy(pattern), UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_FAILURE(status)) {
        if (errorName)
            *errorName = QString::fromLatin1(u_errorName(status));
        return nullptr;
    }
    return compiled;
}

// Every match replaced by the "$1"-style template; none when ICU refuses (errorName says why).
std::optional<QString> replaceAllMatches(const icu::RegexPattern &pattern, const QString &input,
                                         const QString &replacementTemplate, QString *errorName)
{
    const icu::UnicodeString subject = ZRTextICU::alias(input);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(subject, status));
    if (U_FAILURE(status) || !matcher) {
        *errorName = QString::fromLatin1(u_errorName(status));
        return std::nullopt;
    }
    const icu::UnicodeString result = matcher->replaceAll(ZRTextICU::copy(replacementTemplate), status);
    if (U_FAILURE(status)) {
        *errorName = QString::fromLatin1(u_errorName(status));
        return std::nullopt;
    }
    return ZRTextICU::toQString(result);
}

bool skipsRedirectingServices()
{
    return ZRUserDefaults::standardUserDefaults().boolForKey(ZRTextDefaultsKeys::SkipRedirectingServices);
}

// --- Replacement rules ---------------------------------------------------------------------------

// The built-in rules are written out by hand: they run on every address, and compiling even one
// pattern pulls in much of the regular-expression engine's tables for the rest of the run.
enum class BuiltInRule {
    None,
    // "^:?//" -> "http://": "//x" and "://x" get the scheme http.
    SchemeForSlashes,
    // "^h[^:/]+(ps?://)" -> "htt$1": disguised schemes such as "hxxp://" and "hxxps://".
    DisguisedScheme,
    // "^https?://[^'\"]*(https?://)" -> "$1": the last embedded address wins.
    LastEmbeddedAddress,
};

struct ReplacementRule {
    QString query;
    QString replacement;
    // Set for a regular-expression rule whose pattern compiles; such a rule without one is skipped.
    bool isRegularExpression = false;
    std::shared_ptr<const icu::RegexPattern> pattern;
    BuiltInRule builtIn = BuiltInRule::None;
};

ReplacementRule makeRule(const QString &query, const QString &replacement, bool isRegularExpression)
{
    ReplacementRule rule{query, replacement, isRegularExpression, nullptr};
    if (isRegularExpression) {
        QString errorName;
        rule.pattern = compilePattern(query, &errorName);
        if (!rule.pattern)
            ZRLogDebug(QStringLiteral("skipping replacement rule with malformed pattern <%1>: %2")
                           .arg(query, errorName));
    }
    return rule;
}

ReplacementRule makeBuiltInRule(BuiltInRule builtIn)
{
    ReplacementRule rule;
    rule.builtIn = builtIn;
    return rule;
}

// Case-insensitive as the patterns are: the letter itself, or its other case (and the long s,
// which folds to s).
bool isLetter(QChar c, char16_t lower)
{
    const char16_t u = c.unicode();
    return u == lower || u == lower - 32 || (lower == u's' && u == 0x017F);
}

// Length of "http://" or "https://" at position i (the s when it is there), 0 when neither.
qsizetype webSchemeLengthAt(const QString &string, qsizetype i)
{
    const qsizetype n = string.size();
    if (i + 7 > n || !isLetter(string.at(i), u'h') || !isLetter(string.at(i + 1), u't')
        || !isLetter(string.at(i + 2), u't') || !isLetter(string.at(i + 3), u'p'))
        return 0;
    qsizetype at = i + 4;
    if (isLetter(string.at(at), u's'))
        ++at;
    if (at + 3 > n || string.at(at) != u':' || string.at(at + 1) != u'/' || string.at(at + 2) != u'/')
        return 0;
    return at + 3 - i;
}

QString applyBuiltInRule(BuiltInRule rule, const QString &string)
{
    const qsizetype n = string.size();
    switch (rule) {
    case BuiltInRule::None:
        break;
    case BuiltInRule::SchemeForSlashes: {
        const qsizetype colon = n > 0 && string.at(0) == u':' ? 1 : 0;
        if (colon + 2 <= n && string.at(colon) == u'/' && string.at(colon + 1) == u'/')
            return QStringLiteral("http://") + QStringView(string).mid(colon + 2);
        break;
    }
    case BuiltInRule::DisguisedScheme: {
        if (n == 0 || !isLetter(string.at(0), u'h'))
            break;
        qsizetype stop = 1;
        while (stop < n && string.at(stop) != u':' && string.at(stop) != u'/')
            ++stop;
        if (stop + 3 > n || string.at(stop) != u':' || string.at(stop + 1) != u'/' || string.at(stop + 2) != u'/')
            break;
        // At least one character between the h and the p (or ps) that ends the run.
        qsizetype group = -1;
        if (stop >= 3 && isLetter(string.at(stop - 1), u'p'))
            group = stop - 1;
        else if (stop >= 4 && isLetter(string.at(stop - 1), u's') && isLetter(string.at(stop - 2), u'p'))
            group = stop - 2;
        if (group > 0)
            return QStringLiteral("htt") + QStringView(string).mid(group);
        break;
    }
    case BuiltInRule::LastEmbeddedAddress: {
        const qsizetype prefix = webSchemeLengthAt(string, 0);
        if (prefix == 0)
            break;
        qsizetype quote = prefix;
        while (quote < n && string.at(quote) != u'\'' && string.at(quote) != u'"')
            ++quote;
        for (qsizetype j = quote; j >= prefix; --j) {
            if (webSchemeLengthAt(string, j) > 0)
                return string.mid(j);
        }
        break;
    }
    }
    return string;
}

void appendUserRules(std::vector<ReplacementRule> &rules)
{
    const QString path = ZRApplicationSupportFolderPath() + u'/' + ZRReplacementKeys::FileName;
    const std::optional<QVariant> list = ZRPropertyList::propertyListWithContentsOfFile(path);
    if (!list || list->typeId() != QMetaType::QVariantList)
        return;
    for (const QVariant &element : list->toList()) {
        const QVariantMap entry = element.toMap();
        const QVariant query = entry.value(ZRReplacementKeys::Query);
        const QVariant replacement = entry.value(ZRReplacementKeys::Replacement);
        if (element.typeId() != QMetaType::QVariantMap || query.typeId() != QMetaType::QString ||
            replacement.typeId() != QMetaType::QString) {
            ZRLog(QStringLiteral("ignoring replacement rule without query or replacement text in <%1>")
                      .arg(path));
            continue;
        }
        rules.push_back(makeRule(query.toString(), replacement.toString(),
                                 entry.value(ZRReplacementKeys::RegularExpression).toBool()));
    }
}

std::vector<ReplacementRule> buildReplacementRules()
{
    std::vector<ReplacementRule> rules;
    // "//x" and "://x" get the scheme http.
    rules.push_back(makeBuiltInRule(BuiltInRule::SchemeForSlashes));
    // Disguised schemes: "hxxp://", "hxxps://".
    rules.push_back(makeBuiltInRule(BuiltInRule::DisguisedScheme));
    // JSON-escaped slashes.
    rules.push_back(makeRule(QStringLiteral("\\/"), QStringLiteral("/"), false));
    if (skipsRedirectingServices()) {
        // Greedy: the last embedded address wins.
        rules.push_back(makeBuiltInRule(BuiltInRule::LastEmbeddedAddress));
    }
    appendUserRules(rules);
    return rules;
}

// Built once and read-only afterwards; later changes of the preference or the file wait for a restart.
const std::vector<ReplacementRule> &replacementRules()
{
    static std::once_flag once;
    static std::vector<ReplacementRule> rules;
    std::call_once(once, [] { rules = buildReplacementRules(); });
    return rules;
}

QString applyRule(const ReplacementRule &rule, const QString &string)
{
    if (rule.builtIn != BuiltInRule::None)
        return applyBuiltInRule(rule.builtIn, string);
    if (!rule.isRegularExpression) {
        if (rule.query.isEmpty())
            return string;
        return QString(string).replace(rule.query, rule.replacement, Qt::CaseInsensitive);
    }
    if (!rule.pattern)
        return string;
    QString errorName;
    const std::optional<QString> result =
        replaceAllMatches(*rule.pattern, string, rule.replacement, &errorName);
    if (!result) {
        ZRLog(QStringLiteral(
                  "ignoring regular expression exception: %1 (reason: cannot replace with <%2>) <= %3")
                  .arg(errorName, rule.replacement, rule.query));
        return string;
    }
    return *result;
}

// --- Brace expansion -----------------------------------------------------------------------------

// Leading white space, a sign and decimal digits; anything else reads as 0. Clamped to int.
qint64 integerValue(const QString &string)
{
    qsizetype i = 0;
    while (i < string.size() && string.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < string.size() && (string.at(i) == u'-' || string.at(i) == u'+')) {
        negative = string.at(i) == u'-';
        ++i;
    }
    qint64 value = 0;
    for (; i < string.size() && string.at(i) >= u'0' && string.at(i) <= u'9'; ++i) {
        value = value * 10 + (string.at(i).unicode() - u'0');
        if (value > qint64(INT_MAX) + 1)
            value = qint64(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    return std::clamp<qint64>(value, INT_MIN, INT_MAX);
}

// One level of expansion of the first brace group, appending at most limit strings to emitted;
// false when the string has no group or the group yields nothing. cut tells whether the limit
// kept a string out.
bool expandFirstBraceGroup(const QString &string, QStringList &emitted, qsizetype limit, bool &cut)
{
    const qsizetype open = string.indexOf(u'{');
    if (open < 0)
        return false;
    const qsizetype close = string.indexOf(u'}', open);
    if (close < 0)
        return false;
    const QStringView prefix = QStringView(string).left(open);
    const QStringView suffix = QStringView(string).mid(close + 1);
    const QString inner = string.mid(open + 1, close - open - 1);
    const qsizetype before = emitted.size();
    const auto emit = [&](const QString &middle) {
        if (emitted.size() - before >= limit) {
            cut = true;
            return false;
        }
        emitted.append(prefix + middle + suffix);
        return true;
    };
    for (const QString &item : inner.split(u',')) {
        const QStringList parts = item.split(u'-');
        if (parts.size() != 2) {
            emit(ZRExtensions::trimmedString(item));
        } else {
            const QString lower = ZRExtensions::trimmedString(parts.at(0));
            const QString upper = ZRExtensions::trimmedString(parts.at(1));
            if (lower.isEmpty() || upper.isEmpty())
                continue;
            const qint64 upperValue = integerValue(upper);
            if (lower.size() > 1 || upperValue > 0) {
                const int width = lower.startsWith(u'0') ? int(lower.size()) : 1;
                for (qint64 n = integerValue(lower); n <= upperValue; ++n) {
                    if (!emit(QStringLiteral("%1").arg(n, width, 10, QLatin1Char('0'))))
                        break;
                }
            } else {
                for (char16_t c = lower.at(0).unicode(), last = upper.at(0).unicode(); c <= last; ++c) {
                    if (!emit(QString(QChar(c))) || c == last)
                        break;
                }
            }
        }
        if (cut)
            break;
    }
    return emitted.size() > before;
}

// --- Percent escapes -----------------------------------------------------------------------------

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

enum class EscapeEncoding { UTF8, Latin1, ASCII };

std::optional<QString> decodeBytes(const QByteArray &bytes, EscapeEncoding encoding)
{
    switch (encoding) {
    case EscapeEncoding::UTF8: {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString text = decoder.decode(bytes);
        if (decoder.hasError())
            return std::nullopt;
        return text;
    }
    case EscapeEncoding::Latin1:
        return QString::fromLatin1(bytes);
    case EscapeEncoding::ASCII:
        for (char byte : bytes) {
            if (static_cast<unsigned char>(byte) > 0x7F)
                return std::nullopt;
        }
        return QString::fromLatin1(bytes);
    }
    return std::nullopt;
}

// Each run of escapes is read as bytes in the encoding; none for a malformed escape or bytes that
// the encoding cannot read.
std::optional<QString> decodePercentEscapes(const QString &string, EscapeEncoding encoding)
{
    QString result;
    result.reserve(string.size());
    qsizetype i = 0;
    while (i < string.size()) {
        if (string.at(i) != u'%') {
            result.append(string.at(i++));
            continue;
        }
        QByteArray bytes;
        while (i < string.size() && string.at(i) == u'%') {
            if (i + 2 >= string.size())
                return std::nullopt;
            const int high = hexValue(string.at(i + 1));
            const int low = hexValue(string.at(i + 2));
            if (high < 0 || low < 0)
                return std::nullopt;
            bytes.append(char(high * 16 + low));
            i += 3;
        }
        const std::optional<QString> decoded = decodeBytes(bytes, encoding);
        if (!decoded)
            return std::nullopt;
        result.append(*decoded);
    }
    return result;
}

bool hasPathExtension(const QString &path)
{
    QStringView view(path);
    while (view.size() > 1 && view.endsWith(u'/'))
        view.chop(1);
    const QStringView component = view.mid(view.lastIndexOf(u'/') + 1);
    const qsizetype dot = component.lastIndexOf(u'.');
    return dot > 0 && dot < component.size() - 1;
}

} // namespace

namespace ZRExtensions
{

QString trimmedString(const QString &string)
{
    // QChar::isSpace is the Unicode white-space-and-line-break set (separators, tab, CR, LF, NEL...).
    return string.trimmed();
}

QStringList componentsSeparatedByLineBreaks(const QString &string)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < string.size(); ++i) {
        const char16_t c = string.at(i).unicode();
        if ((c < 0x0a || c > 0x0d) && c != 0x85 && c != 0x2028 && c != 0x2029)
            continue;
        lines.append(string.mid(start, i - start));
        if (c == u'\r' && i + 1 < string.size() && string.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    lines.append(string.mid(start));
    return lines;
}

QStringList unearthedURLStrings(const QString &string)
{
    if (string.isEmpty())
        return {string};
    // Every quoted web address in order: a quote, "http://" or "https://" (any case), at least one
    // more character, and the next quote of either kind.
    const auto isQuote = [](QChar c) { return c == u'"' || c == u'\''; };
    QStringList found;
    const qsizetype n = string.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (!isQuote(string.at(i)))
            continue;
        const qsizetype scheme = webSchemeLengthAt(string, i + 1);
        if (scheme == 0)
            continue;
        qsizetype close = i + 1 + scheme;
        while (close < n && !isQuote(string.at(close)))
            ++close;
        if (close >= n || close == i + 1 + scheme)
            continue;
        found.append(string.mid(i + 1, close - i - 1));
        i = close;
    }
    if (found.isEmpty())
        return {string};
    return found;
}

QStringList explodedURLStrings(const QStringList &strings, bool *truncated)
{
    // Depth first with an explicit stack, so that a text with thousands of groups cannot exhaust the
    // call stack; the order is that of expanding each string in turn. Every pending string gives at
    // least one address, so the room for a new group is what neither the result nor they take.
    QStringList result;
    std::vector<QString> pending(strings.rbegin(), strings.rend());
    bool cut = false;
    while (!pending.empty() && result.size() < MaximumExplodedURLCount) {
        QString string = std::move(pending.back());
        pending.pop_back();
        QStringList emitted;
        const qsizetype limit = MaximumExplodedURLCount - result.size() - qsizetype(pending.size());
        if (!expandFirstBraceGroup(string, emitted, std::max<qsizetype>(limit, 1), cut)) {
            result.append(string);
            continue;
        }
        for (auto it = emitted.rbegin(); it != emitted.rend(); ++it)
            pending.push_back(std::move(*it));
    }
    if (truncated)
        *truncated = cut || !pending.empty();
    return result;
}

QStringList explodedURLStrings(const QString &string, bool *truncated)
{
    return explodedURLStrings(QStringList{string}, truncated);
}

QString unescapedURLString(const QString &string)
{
    QString result = string;
    const QString lower = string.toLower();
    if (lower.startsWith(u"http%3a") || lower.startsWith(u"https%3a") || lower.startsWith(u"%2f") ||
        ((lower.contains(u"=http%3a") || lower.contains(u"=https%3a")) && skipsRedirectingServices()))
        result = stringByReplacingPercentEscapesIfNecessary(string);
    return result.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
}

QString unescacpedURLStringWithReplacementsApplied(const QString &string)
{
    const std::vector<ReplacementRule> &rules = replacementRules();
    QString result = unescapedURLString(string);
    for (const ReplacementRule &rule : rules)
        result = applyRule(rule, result);
    return result;
}

namespace {

QString comparisonURLStringOfText(const QString &string)
{
    // Made as the intake makes its URLs: as it stands, else percent-escaped.
    QUrl url(string, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        url = QUrl(URLEncodedString(string), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return string;
    // QUrl lower-cases scheme and host, writes the host in ASCII (IDNA) and keeps escapes in one
    // form; what is left are the scheme's defaults.
    static const QHash<QString, int> defaultPorts = {
        {QStringLiteral("http"), 80}, {QStringLiteral("https"), 443}, {QStringLiteral("ftp"), 21}};
    const auto defaultPort = defaultPorts.constFind(url.scheme());
    if (defaultPort != defaultPorts.constEnd()) {
        if (url.port() == *defaultPort)
            url.setPort(-1);
        if (url.path().isEmpty() && !url.host().isEmpty())
            url.setPath(QStringLiteral("/"));
    }
    return url.toString(QUrl::FullyEncoded);
}

} // namespace

QString comparisonURLString(const QString &string)
{
    // The intake asks this of the same text several times (as given, as made into a URL, as the
    // download's): the parse is the cost, and the answer depends on the text alone.
    constexpr qsizetype keptAnswers = 4096;
    thread_local QHash<QString, QString> answers;
    if (const auto found = answers.constFind(string); found != answers.cend())
        return *found;
    if (answers.size() >= keptAnswers)
        answers.clear();
    const QString answer = comparisonURLStringOfText(string);
    answers.insert(string, answer);
    return answer;
}

QString URLEncodedString(const QString &string)
{
    // Brackets belong to an IPv6 host only: find where the authority ends.
    qsizetype authorityEnd = 0;
    const qsizetype schemeEnd = string.indexOf(u"://");
    if (schemeEnd >= 0) {
        authorityEnd = string.size();
        for (qsizetype i = schemeEnd + 3; i < string.size(); ++i) {
            const QChar c = string.at(i);
            if (c == u'/' || c == u'?' || c == u'#') {
                authorityEnd = i;
                break;
            }
        }
    }
    static const char hex[] = "0123456789ABCDEF";
    QByteArray result;
    result.reserve(string.size());
    bool seenFragment = false;
    const QByteArray utf8 = string.toUtf8();
    qsizetype position = 0; // in UTF-16 units, for the authority test
    // A host outside ASCII ("bücher.example") is a name for IDNA, never percent escapes.
    bool isInAuthority = false;
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8.at(i));
        if ((byte & 0xC0) != 0x80)
            isInAuthority = schemeEnd >= 0 && position >= schemeEnd + 3 && position < authorityEnd;
        bool escape = byte <= 0x20 || byte == 0x7F || (byte >= 0x80 && !isInAuthority);
        switch (byte) {
        case '"':
        case '<':
        case '>':
        case '\\':
        case '^':
        case '`':
        case '{':
        case '|':
        case '}':
            escape = true;
            break;
        case '[':
        case ']':
            escape = position >= authorityEnd;
            break;
        case '#':
            // Only the first one starts the fragment.
            escape = seenFragment;
            seenFragment = true;
            break;
        case '%':
            // Existing escapes stay; a lone percent sign is escaped itself.
            escape = !(i + 2 < utf8.size() && hexValue(QLatin1Char(utf8.at(i + 1))) >= 0 &&
                       hexValue(QLatin1Char(utf8.at(i + 2))) >= 0);
            break;
        default:
            break;
        }
        if (escape) {
            result.append('%');
            result.append(hex[byte >> 4]);
            result.append(hex[byte & 0xF]);
        } else {
            result.append(char(byte));
        }
        // Count UTF-16 units at the first byte of each UTF-8 sequence (4-byte sequences are two units).
        if ((byte & 0xC0) != 0x80)
            position += byte >= 0xF0 ? 2 : 1;
    }
    return QString::fromUtf8(result);
}

QString stringByReplacingPercentEscapesIfNecessary(const QString &string)
{
    if (!string.contains(u'%'))
        return string;
    for (EscapeEncoding encoding : {EscapeEncoding::UTF8, EscapeEncoding::Latin1, EscapeEncoding::ASCII}) {
        if (std::optional<QString> decoded = decodePercentEscapes(string, encoding))
            return *decoded;
    }
    return string;
}

QString stringByReplacingPlusAndPercentEscapesIfNecessary(const QString &string)
{
    QString result = string;
    if (string.contains(u'+')) {
        const QString spaced = trimmedString(QString(string).replace(u'+', u' '));
        if (!spaced.isEmpty())
            result = spaced;
    }
    return stringByReplacingPercentEscapesIfNecessary(result);
}

QString filenameByRemovingURLParameters(const QString &string)
{
    const qsizetype question = string.indexOf(u'?');
    if (question <= 0)
        return string;
    const QString head = string.left(question);
    return hasPathExtension(head) ? head : string;
}

QString filename(const QUrl &url)
{
    QString path = url.path(QUrl::FullyDecoded);
    if (path != u"/") {
        while (path.size() > 1 && path.endsWith(u'/'))
            path.chop(1);
        const QString component = path.mid(path.lastIndexOf(u'/') + 1);
        const QString name = trimmedString(
            stringByReplacingPlusAndPercentEscapesIfNecessary(filenameByRemovingURLParameters(component)));
        if (!name.isEmpty())
            return name;
    }
    QString host = url.host(QUrl::FullyDecoded);
    const qsizetype www = host.indexOf(u"www.");
    if (www >= 0)
        host = host.mid(www + 4);
    host = trimmedString(host.replace(u'.', u'-'));
    return host.isEmpty() ? QStringLiteral("-") : host;
}

} // namespace ZRExtensions
