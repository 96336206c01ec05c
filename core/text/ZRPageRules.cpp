#include "core/text/ZRPageRules.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/http/ZRHTTPFormPosting.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRNaturalOrder.h"
#include "core/text/ZRPageRegex.h"
#include "core/text/ZRQSONSerialization.h"
#include "core/text/ZRStringExtensions.h"

#include <QElapsedTimer>
#include <QStringDecoder>

#include <algorithm>

using ZRPageRegex::Pattern;

namespace
{

constexpr int SourceOptions = ZRPageRegex::CaseInsensitive;
// The built-in rule's source, matched without compiling it: every download is
// checked against it.
const QString BuiltInSource = QStringLiteral("^https?://(www\\.)?tessaline\\.com/quorvel(/|$)");

constexpr int QueryOptions = ZRPageRegex::CaseInsensitive | ZRPageRegex::DotMatchesLineBreaks;

bool isBlank(const QString &string)
{
    return ZRExtensions::trimmedString(string).isEmpty();
}

bool isString(const QVariant &value)
{
    return value.typeId() == QMetaType::QString;
}

bool isList(const QVariant &value)
{
    return value.typeId() == QMetaType::QVariantList || value.typeId() == QMetaType::QStringList;
}

bool isMap(const QVariant &value)
{
    return value.typeId() == QMetaType::QVariantMap;
}

// A boolean reading as the property-list world gives one: numbers by value, strings by their first
// significant character ("Y", "y", "T", "t" or a digit 1-9 after blanks, a sign and zeros).
std::optional<bool> booleanReading(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble() != 0;
    case QMetaType::QString: {
        const QString text = value.toString().trimmed();
        qsizetype i = 0;
        if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
            ++i;
        while (i < text.size() && text[i] == QLatin1Char('0'))
            ++i;
        if (i >= text.size())
            return false;
        const QChar c = text[i];
        return c == QLatin1Char('Y') || c == QLatin1Char('y') || c == QLatin1Char('T') ||
               c == QLatin1Char('t') || (c >= QLatin1Char('1') && c <= QLatin1Char('9'));
    }
    default:
        return std::nullopt;
    }
}

QString compiledPatternFailure(const QVariant &value, int options)
{
    if (!isString(value))
        return QStringLiteral("is not a text");
    if (isBlank(value.toString()))
        return QStringLiteral("is blank");
    const Pattern pattern(value.toString(), options);
    if (!pattern.isValid())
        return QStringLiteral("does not compile (%1)").arg(pattern.error());
    return QString();
}

QString ruleFailure(const QVariant &rule, const QVariant &source)
{
    if (!isMap(rule))
        return QStringLiteral("is not a dictionary");
    const QString sourceFailure = compiledPatternFailure(source, SourceOptions);
    if (!sourceFailure.isEmpty())
        return QStringLiteral("\"Source\" %1").arg(sourceFailure);
    const QVariantMap map = rule.toMap();
    const QVariant cascade = map.value(ZRPageRuleKey::QueryCascade);
    if (!isList(cascade) || cascade.toList().isEmpty())
        return QStringLiteral("\"Query Cascade\" is not a non-empty list");
    const QVariantList steps = cascade.toList();
    for (qsizetype s = 0; s < steps.size(); ++s) {
        const QVariant &step = steps[s];
        if (!isString(step) && !isList(step))
            return QStringLiteral("step %1 of \"Query Cascade\" is neither a text nor a list").arg(s + 1);
        const QVariantList patterns = isList(step) ? step.toList() : QVariantList{step};
        for (qsizetype p = 0; p < patterns.size(); ++p) {
            const QString failure = compiledPatternFailure(patterns[p], QueryOptions);
            if (!failure.isEmpty())
                return QStringLiteral("pattern %1 of step %2 of \"Query Cascade\" %3")
                    .arg(p + 1)
                    .arg(s + 1)
                    .arg(failure);
        }
    }
    if (map.contains(ZRPageRuleKey::UseSourceName)) {
        const QVariant name = map.value(ZRPageRuleKey::UseSourceName);
        // Any text has a boolean reading too: only a value with none (a list, a dictionary) fails.
        if (!isString(name) && !booleanReading(name))
            return QStringLiteral("\"Use Source Name\" is neither a pattern nor a boolean");
    }
    return QString();
}

// --- The old text form of property lists ---

class OldStyleParser
{
public:
    explicit OldStyleParser(const QString &text) : _text(text) {}

    std::optional<QVariant> parseDocument()
    {
        std::optional<QVariant> value = parseValue();
        skipBlanksAndComments();
        if (!value || _position != _text.size())
            return std::nullopt;
        return value;
    }

private:
    bool atEnd() const { return _position >= _text.size(); }
    QChar peek() const { return atEnd() ? QChar() : _text[_position]; }

    void skipBlanksAndComments()
    {
        while (!atEnd()) {
            if (peek().isSpace()) {
                ++_position;
            } else if (_text.mid(_position, 2) == QLatin1String("//")) {
                while (!atEnd() && peek() != QLatin1Char('\n'))
                    ++_position;
            } else if (_text.mid(_position, 2) == QLatin1String("/*")) {
                const qsizetype end = _text.indexOf(QLatin1String("*/"), _position + 2);
                _position = end < 0 ? _text.size() : end + 2;
            } else {
                return;
            }
        }
    }

    bool take(QChar c)
    {
        skipBlanksAndComments();
        if (peek() != c)
            return false;
        ++_position;
        return true;
    }

    static bool isBareCharacter(QChar c)
    {
        return c.isLetterOrNumber() || QStringLiteral("_$+/:.-").contains(c);
    }

    std::optional<QVariant> parseValue()
    {
        if (++_depth > 512)
            return std::nullopt;
        struct Leave {
            int &depth;
            ~Leave() { --depth; }
        } leave{_depth};
        skipBlanksAndComments();
        const QChar c = peek();
        if (c == QLatin1Char('{'))
            return parseDictionary();
        if (c == QLatin1Char('('))
            return parseArray();
        if (c == QLatin1Char('<'))
            return parseData();
        if (c == QLatin1Char('"') || c == QLatin1Char('\''))
            return parseQuotedString();
        if (isBareCharacter(c)) {
            const qsizetype start = _position;
            while (!atEnd() && isBareCharacter(peek()))
                ++_position;
            return QVariant(_text.mid(start, _position - start));
        }
        return std::nullopt;
    }

    std::optional<QVariant> parseDictionary()
    {
        ++_position;
        QVariantMap map;
        while (true) {
            if (take(QLatin1Char('}')))
                return QVariant(map);
            const std::optional<QVariant> key = parseValue();
            if (!key || !isString(*key) || !take(QLatin1Char('=')))
                return std::nullopt;
            const std::optional<QVariant> value = parseValue();
            if (!value || !take(QLatin1Char(';')))
                return std::nullopt;
            map.insert(key->toString(), *value);
        }
    }

    std::optional<QVariant> parseArray()
    {
        ++_position;
        QVariantList list;
        if (take(QLatin1Char(')')))
            return QVariant(list);
        while (true) {
            const std::optional<QVariant> value = parseValue();
            if (!value)
                return std::nullopt;
            list.append(*value);
            if (take(QLatin1Char(')')))
                return QVariant(list);
            if (!take(QLatin1Char(',')))
                return std::nullopt;
            if (take(QLatin1Char(')')))
                return QVariant(list);
        }
    }

    std::optional<QVariant> parseData()
    {
        ++_position;
        QByteArray hex;
        while (!atEnd() && peek() != QLatin1Char('>')) {
            const QChar c = peek();
            if (!c.isSpace()) {
                if (!isxdigit(c.toLatin1()))
                    return std::nullopt;
                hex.append(c.toLatin1());
            }
            ++_position;
        }
        if (atEnd() || hex.size() % 2 != 0)
            return std::nullopt;
        ++_position;
        return QVariant(QByteArray::fromHex(hex));
    }

    std::optional<QVariant> parseQuotedString()
    {
        const QChar quote = peek();
        ++_position;
        QString result;
        while (!atEnd()) {
            QChar c = peek();
            ++_position;
            if (c == quote)
                return QVariant(result);
            if (c != QLatin1Char('\\')) {
                result.append(c);
                continue;
            }
            if (atEnd())
                return std::nullopt;
            c = peek();
            ++_position;
            switch (c.unicode()) {
            case 'n':
                result.append(QLatin1Char('\n'));
                break;
            case 't':
                result.append(QLatin1Char('\t'));
                break;
            case 'r':
                result.append(QLatin1Char('\r'));
                break;
            case 'a':
                result.append(QChar(7));
                break;
            case 'b':
                result.append(QChar(8));
                break;
            case 'f':
                result.append(QChar(12));
                break;
            case 'v':
                result.append(QChar(11));
                break;
            case 'U': {
                bool ok = false;
                const ushort unit = _text.mid(_position, 4).toUShort(&ok, 16);
                if (!ok)
                    return std::nullopt;
                _position += 4;
                result.append(QChar(unit));
                break;
            }
            default:
                if (c >= QLatin1Char('0') && c <= QLatin1Char('7')) {
                    int value = c.unicode() - '0';
                    for (int k = 0;
                         k < 2 && !atEnd() && peek() >= QLatin1Char('0') && peek() <= QLatin1Char('7'); ++k)
                        value = value * 8 + (_text[_position++].unicode() - '0');
                    result.append(QChar(value));
                } else {
                    result.append(c);
                }
            }
        }
        return std::nullopt;
    }

    const QString &_text;
    qsizetype _position = 0;
    int _depth = 0;
};

QString loggableURL(const QUrl &url)
{
    return url.toString(QUrl::FullyEncoded);
}

} // namespace

namespace ZRPageRules
{

std::optional<QVariant> propertyListFromOldStyleText(const QString &text)
{
    OldStyleParser parser(text);
    return parser.parseDocument();
}

std::optional<QVariant> objectValueFromString(const QString &text, QString *decodingClassName)
{
    if (decodingClassName)
        decodingClassName->clear();
    if (isBlank(text))
        return std::nullopt;
    const QByteArray bytes = text.toUtf8();
    if (std::optional<QVariant> json = ZRQSONSerialization::objectWithJSONData(bytes)) {
        if (decodingClassName)
            *decodingClassName = ZRDecodingClassName::JSON;
        return json;
    }
    const QString converted = ZRQSONSerialization::JSONStringFromQSONString(text);
    if (converted != text) {
        if (std::optional<QVariant> qson = ZRQSONSerialization::objectWithJSONData(converted.toUtf8())) {
            if (decodingClassName)
                *decodingClassName = ZRDecodingClassName::QSON;
            return qson;
        }
    }
    std::optional<QVariant> list = ZRPropertyList::propertyListFromData(bytes);
    if (!list)
        list = propertyListFromOldStyleText(text);
    if (list && decodingClassName)
        *decodingClassName = ZRDecodingClassName::PropertyList;
    return list;
}

std::optional<QVariant> validateObjectValue(const QVariant &object, QString *failure)
{
    auto reject = [&](const QString &why) -> std::optional<QVariant> {
        if (failure)
            *failure = why;
        return std::nullopt;
    };
    if (isList(object)) {
        const QVariantList rules = object.toList();
        if (rules.isEmpty())
            return reject(QStringLiteral("the rules are an empty list"));
        for (qsizetype i = 0; i < rules.size(); ++i) {
            const QString why = ruleFailure(rules[i], rules[i].toMap().value(ZRPageRuleKey::Source));
            if (!why.isEmpty())
                return reject(QStringLiteral("rule %1: %2").arg(i + 1).arg(why));
        }
    } else if (isMap(object)) {
        const QVariantMap rules = object.toMap();
        if (rules.isEmpty())
            return reject(QStringLiteral("the rules are an empty dictionary"));
        for (auto it = rules.constBegin(); it != rules.constEnd(); ++it) {
            const QString why = ruleFailure(*it, it.key());
            if (!why.isEmpty())
                return reject(QStringLiteral("rule <%1>: %2").arg(it.key(), why));
        }
    } else {
        return reject(QStringLiteral("the rules are neither a list nor a dictionary"));
    }
    if (failure)
        failure->clear();
    return object;
}

QVariantList normalizedRules(const QVariant &validated)
{
    if (!isMap(validated))
        return validated.toList();
    const QVariantMap keyed = validated.toMap();
    QStringList keys = keyed.keys();
    std::stable_sort(keys.begin(), keys.end(), ZRNaturalLessThan);
    QVariantList rules;
    for (const QString &key : std::as_const(keys)) {
        QVariantMap rule = keyed.value(key).toMap();
        rule.insert(ZRPageRuleKey::Source, key);
        rules.append(rule);
    }
    return rules;
}

QVariantList defaultRules()
{
    static const QVariantList rules{QVariantMap{
        {ZRPageRuleKey::Source, BuiltInSource},
        {ZRPageRuleKey::QueryCascade, QVariantList{QStringLiteral("href\\s*=\\s*\"[^\"]*(/download/[^\"]+)\"")}},
        {ZRPageRuleKey::CollectAllMatches, true},
        {ZRPageRuleKey::UseSourceName, false},
    }};
    return rules;
}

QString defaultRulesText()
{
    static const QString text = ZRQSONSerialization::JSONStringWithObject(defaultRules()).value_or(QString());
    return text;
}

QVariantList rulesFromText(const QString &text, QString *failure)
{
    QString why;
    const std::optional<QVariant> object = objectValueFromString(text);
    if (!object) {
        why = QStringLiteral("the text is not JSON, QSON or a property list");
    } else if (const std::optional<QVariant> valid = validateObjectValue(*object, &why)) {
        if (failure)
            failure->clear();
        return normalizedRules(*valid);
    }
    if (failure)
        *failure = why;
    return {};
}

static bool matchesBuiltInSource(const QString &address)
{
    const auto startsWithAt = [&address](qsizetype at, QLatin1StringView text) {
        return QStringView(address).mid(at).startsWith(text, Qt::CaseInsensitive);
    };
    qsizetype at = 0;
    if (startsWithAt(0, QLatin1StringView("https://")))
        at = 8;
    else if (startsWithAt(0, QLatin1StringView("http://")))
        at = 7;
    else
        return false;
    const QLatin1StringView site("tessaline.com/quorvel");
    for (const qsizetype start : {at + 4, at}) {
        if (start == at + 4 && !startsWithAt(at, QLatin1StringView("www.")))
            continue;
        if (!startsWithAt(start, site))
            continue;
        const qsizetype end = start + site.size();
        if (end == address.size() || address.at(end) == u'/')
            return true;
    }
    return false;
}

Queries downloadPageQueries(const QUrl &url, const QVariantList &rules)
{
    Queries queries;
    const QString address = url.toString(QUrl::FullyEncoded);
    for (const QVariant &entry : rules) {
        const QVariantMap rule = entry.toMap();
        const QString sourceText = rule.value(ZRPageRuleKey::Source).toString();
        bool selected = false;
        if (sourceText == BuiltInSource) {
            selected = matchesBuiltInSource(address);
        } else {
            const Pattern source(sourceText, SourceOptions);
            if (!source.isValid())
                continue;
            source.enumerateMatches(
                address,
                [&](const Pattern::Match &match) {
                    selected = match.length > 0;
                    return false;
                },
                Limits().matchTimeLimit);
        }
        if (!selected)
            continue;
        queries.cascade = rule.value(ZRPageRuleKey::QueryCascade).toList();
        queries.findFirstMatchOnly =
            !booleanReading(rule.value(ZRPageRuleKey::CollectAllMatches)).value_or(false);
        if (rule.contains(ZRPageRuleKey::UseSourceName)) {
            const QVariant name = rule.value(ZRPageRuleKey::UseSourceName);
            if (isString(name)) {
                if (!isBlank(name.toString()) && Pattern(name.toString(), SourceOptions).isValid())
                    queries.namePattern = name.toString();
            } else if (booleanReading(name).value_or(false)) {
                queries.namePattern = QString();
            }
        }
        return queries;
    }
    return queries;
}

bool isDownloadPageURL(const QUrl &url, const QVariantList &rules)
{
    return !rules.isEmpty() && !downloadPageQueries(url, rules).cascade.isEmpty();
}

std::optional<QString> preservedNamePattern(const QUrl &url, const QVariantList &rules)
{
    if (rules.isEmpty())
        return std::nullopt;
    return downloadPageQueries(url, rules).namePattern;
}

QString filenameWithPreservedNamePattern(const QUrl &url, const QString &pattern,
                                         const QString &downloadPageTitle)
{
    using namespace ZRExtensions;
    QString name;
    if (!pattern.isEmpty()) {
        QString subject = url.toString(QUrl::FullyEncoded);
        QString namePattern = pattern;
        static const Pattern titlePrefix(QStringLiteral("^\\s*title\\s*:\\s*(?=\\S)"),
                                         ZRPageRegex::CaseInsensitive);
        titlePrefix.enumerateMatches(namePattern, [&](const Pattern::Match &match) {
            namePattern.remove(0, match.length);
            if (!downloadPageTitle.isEmpty())
                subject = downloadPageTitle;
            return false;
        });
        const Pattern compiled(namePattern, SourceOptions);
        compiled.enumerateMatches(
            subject,
            [&](const Pattern::Match &match) {
                if (match.groups.isEmpty())
                    name += match.whole;
                for (const QString &group : match.groups)
                    name += group;
                return true;
            },
            Limits().matchTimeLimit);
        if (!name.isEmpty())
            name = trimmedString(cleanFilename(stringByReplacingPlusAndPercentEscapesIfNecessary(name)));
    }
    if (name.isEmpty())
        name = filename(url);
    return name;
}

std::optional<QByteArray> fetchDownloadPage(const QUrl &url)
{
    std::optional<std::string> body = ZRHTTPFormPosting::dataByPostingForm(
        url.toString(QUrl::FullyEncoded).toStdString(), nullptr, nullptr,
        [](const std::string &line) { ZRLog(QString::fromStdString(line)); });
    if (!body)
        return std::nullopt;
    return QByteArray::fromStdString(*body);
}

QList<QUrl> URLsFromDownloadPageWithTitle(const QUrl &pageURL, const QVariantList &rules, QString *title,
                                          const PageFetcher &fetcher, const Limits &limits)
{
    using namespace ZRExtensions;
    ZRLogDebug(QStringLiteral("download page: <%1> {").arg(loggableURL(pageURL)));
    if (title)
        title->clear();
    // An entry is an address to read, or Base64 text that stands for a page (from "atob('...')").
    struct Entry {
        QUrl url;
        std::optional<QString> encoded;
    };
    QList<Entry> current{{pageURL, std::nullopt}};
    bool isEncoded = false;
    bool titleFound = false;
    const Queries queries = downloadPageQueries(pageURL, rules);
    static const Pattern titlePattern(QStringLiteral("<title>([^<]+)</title>"), ZRPageRegex::CaseInsensitive);

    auto describe = [](const QList<Entry> &entries) {
        QStringList texts;
        for (const Entry &entry : entries)
            texts << (entry.encoded ? *entry.encoded : loggableURL(entry.url));
        return texts.join(QStringLiteral(", "));
    };

    for (const QVariant &step : queries.cascade) {
        ZRLogDebug(
            QStringLiteral("query: %1")
                .arg(isList(step) ? step.toStringList().join(QStringLiteral(" | ")) : step.toString()));
        const QList<Entry> pages = current;
        current.clear();
        const QVariantList patterns = isList(step) ? step.toList() : QVariantList{step};
        for (const Entry &page : pages) {
            if (current.size() >= limits.maximumURLsPerStep)
                break;
            std::optional<QByteArray> bytes;
            if (page.encoded) {
                bytes = QByteArray::fromBase64(page.encoded->toLatin1());
                isEncoded = false;
            } else if (fetcher) {
                bytes = fetcher(page.url);
            }
            if (!bytes || bytes->isEmpty())
                continue;
            QStringDecoder decoder(QStringDecoder::Utf8);
            const QString text = decoder.decode(*bytes);
            if (decoder.hasError())
                continue;

            if (title && !titleFound) {
                titlePattern.enumerateMatches(
                    text,
                    [&](const Pattern::Match &match) {
                        const QString found = trimmedString(unescapedURLString(match.groups.value(0)));
                        if (!found.isEmpty()) {
                            *title = found;
                            titleFound = true;
                        }
                        return false;
                    },
                    limits.matchTimeLimit);
            }

            QElapsedTimer clock;
            clock.start();
            qsizetype fromThisPage = 0;
            for (const QVariant &patternText : patterns) {
                const Pattern pattern(patternText.toString(), QueryOptions);
                const Pattern::Outcome outcome = pattern.enumerateMatches(
                    text,
                    [&](const Pattern::Match &match) {
                        QString s;
                        if (match.groups.isEmpty())
                            s = match.whole;
                        for (const QString &group : match.groups)
                            s += group;
                        if (s.isEmpty())
                            return true;
                        s = unescacpedURLStringWithReplacementsApplied(s);
                        std::optional<QString> encoded;
                        if (s.startsWith(QLatin1String("atob("))) {
                            const qsizetype open = s.indexOf(QLatin1Char('\''));
                            const qsizetype close = open < 0 ? -1 : s.indexOf(QLatin1Char('\''), open + 1);
                            if (close > open) {
                                s = s.mid(open + 1, close - open - 1);
                                encoded = s;
                                isEncoded = true;
                            }
                        }
                        Entry entry{QUrl(s, QUrl::StrictMode), encoded};
                        if (!encoded &&
                            (!entry.url.isValid() || entry.url.isRelative() || entry.url.host().isEmpty()))
                            entry.url = page.url.resolved(QUrl(s));
                        const QString source =
                            page.encoded ? QStringLiteral("(decoded page)") : loggableURL(page.url);
                        if (!encoded && !entry.url.isValid()) {
                            ZRLogDebug(QStringLiteral("<%1> => invalid match: <%2>").arg(source, s));
                            return true;
                        }
                        // Only web addresses leave a page: never a local file or another scheme.
                        const QString scheme = entry.url.scheme().toLower();
                        if (!encoded && scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
                            ZRLogDebug(QStringLiteral("<%1> => not a web address: <%2>").arg(source, s));
                            return true;
                        }
                        const bool duplicate =
                            std::any_of(current.cbegin(), current.cend(), [&](const Entry &e) {
                                return e.encoded == entry.encoded && (entry.encoded || e.url == entry.url);
                            });
                        if (duplicate) {
                            ZRLogDebug(
                                QStringLiteral("<%1> => duplicate: <%2>").arg(source, describe({entry})));
                            return true;
                        }
                        ZRLogDebug(QStringLiteral("<%1> => <%2>").arg(source, describe({entry})));
                        current.append(entry);
                        ++fromThisPage;
                        if (fromThisPage >= limits.maximumURLsPerPage ||
                            current.size() >= limits.maximumURLsPerStep) {
                            ZRLog(QStringLiteral("download page <%1>: stopped after %2 addresses")
                                      .arg(source)
                                      .arg(fromThisPage));
                            return false;
                        }
                        if (clock.elapsed() > limits.pageTimeBudgetMilliseconds) {
                            ZRLog(QStringLiteral("download page <%1>: stopped searching after %2 ms")
                                      .arg(source)
                                      .arg(clock.elapsed()));
                            return false;
                        }
                        return !(queries.findFirstMatchOnly || isEncoded);
                    },
                    limits.matchTimeLimit);
                if (outcome == Pattern::Outcome::TimedOut)
                    ZRLog(QStringLiteral("download page <%1>: pattern <%2> took too long and was stopped")
                              .arg(loggableURL(page.url), patternText.toString()));
                if (queries.findFirstMatchOnly && !current.isEmpty())
                    break;
                if (fromThisPage >= limits.maximumURLsPerPage ||
                    clock.elapsed() > limits.pageTimeBudgetMilliseconds)
                    break;
            }
        }
        if (current.isEmpty()) {
            ZRLogDebug(QStringLiteral("} dead end: %1").arg(describe(pages)));
            return {};
        }
    }
    QList<QUrl> result;
    for (const Entry &entry : std::as_const(current)) {
        if (!entry.encoded)
            result << entry.url;
    }
    if (!result.isEmpty())
        ZRLogDebug(QStringLiteral("} final URLs: %1").arg(describe(current)));
    return result;
}

} // namespace ZRPageRules
