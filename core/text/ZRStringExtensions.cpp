// File names, substrings, search matching, sort names, constants, string lists and comparators.
#include "core/text/ZRStringExtensions.h"

#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRNaturalOrder.h"
#include "core/text/ZRTextICU.h"
#include "core/text/ZRTextKeys.h"

#include <QCoreApplication>
#include <QUrl>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>

#include <mutex>

namespace
{

const QString FolderRuleHostsKey = QStringLiteral("Hosts");
const QString FolderRuleExtensionsKey = QStringLiteral("Extensions");

// The extension of the last path component: after its last ".", when that is neither its first
// nor its last character.
qsizetype extensionDot(const QString &string)
{
    const qsizetype slash = string.lastIndexOf(u'/');
    const qsizetype dot = string.lastIndexOf(u'.');
    if (dot <= slash + 1 || dot == string.size() - 1)
        return -1;
    return dot;
}

// Compatibility decomposition without combining marks, case-folded: equal for texts that differ
// only in case, diacritics or width.
QString searchKey(const QString &string)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2 *nfkd = icu::Normalizer2::getNFKDInstance(status);
    if (U_FAILURE(status))
        return string.toCaseFolded();
    icu::UnicodeString text = nfkd->normalize(ZRTextICU::alias(string), status);
    text.foldCase();
    text = nfkd->normalize(text, status);
    if (U_FAILURE(status))
        return string.toCaseFolded();
    icu::UnicodeString stripped;
    for (int32_t i = 0; i < text.length();) {
        const UChar32 c = text.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK)
            stripped.append(c);
        i += U16_LENGTH(c);
    }
    return ZRTextICU::toQString(stripped);
}

bool isLineBreak(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

QString trimmedBy(const QString &string, const ZRExtensions::ZRCharacterSet &characterSet)
{
    qsizetype start = 0;
    qsizetype end = string.size();
    while (start < end && characterSet(string.at(start)))
        ++start;
    while (end > start && characterSet(string.at(end - 1)))
        --end;
    return string.mid(start, end - start);
}

std::optional<QStringList> nonEmptyOrNone(QStringList list)
{
    if (list.isEmpty())
        return std::nullopt;
    return list;
}

QString firstEntry(const QVariantMap &map, const QString &key)
{
    const QVariantList list = map.value(key).toList();
    return list.isEmpty() ? QString() : list.first().toString();
}

} // namespace

namespace ZRExtensions
{

QString ellipsisString()
{
    return QStringLiteral("\u2026");
}

QString dashString()
{
    return QStringLiteral("\u2014");
}

QString spacedDashString()
{
    return QStringLiteral(" \u2014 ");
}

QString bulletString()
{
    return QStringLiteral("\u2022");
}

QString spacedBulletString()
{
    return QStringLiteral("\u2022 ");
}

QString dotString()
{
    return QStringLiteral("\u00B7");
}

QString rightTriangleArrowString()
{
    return QStringLiteral("\u25B8");
}

QString spacedRightTriangleArrowString()
{
    return QStringLiteral(" \u25B8 ");
}

QString cleanPathByReplacingDashesWithString(const QString &string, const std::optional<QString> &replacement)
{
    // Names come from servers: no control character (NUL included) may reach the file system.
    QString result;
    const QString trimmed = trimmedString(string);
    result.reserve(trimmed.size());
    for (const QChar c : trimmed) {
        if (c == u'\t')
            result.append(u' ');
        else if (c == u':' || c == u'*')
            result.append(u'_');
        else if (c.category() != QChar::Other_Control)
            result.append(c);
    }
    // A control character at either end may have hidden white space from the first trim.
    if (result.size() != trimmed.size())
        result = trimmedString(result);
    if (result.startsWith(u'.'))
        result[0] = u'_';
    if (result.endsWith(u'.'))
        result[result.size() - 1] = u'_';
    if (replacement)
        return result.replace(u'/', *replacement);
    while (result.contains(u"//"))
        result.replace(QStringLiteral("//"), QStringLiteral("/"));
    while (result.startsWith(u'/'))
        result.remove(0, 1);
    while (result.endsWith(u'/'))
        result.chop(1);
    return result;
}

QString cleanFilename(const QString &string)
{
    return cleanPathByReplacingDashesWithString(string, QStringLiteral("|"));
}

QString anonymizedStringPreservingExtension(const QString &string, bool preserveExtension,
                                            bool convertToUppercase)
{
    if (string.isEmpty())
        return string;
    const qsizetype dot = preserveExtension ? extensionDot(string) : -1;
    const QString base = dot >= 0 ? string.left(dot) : string;
    const QString extension = dot >= 0 ? string.mid(dot + 1) : QString();
    // Never split a surrogate pair: half a character is no character in a file name.
    const qsizetype firstLength = string.at(0).isHighSurrogate() && string.size() > 1 ? 2 : 1;
    QString first = string.left(firstLength);
    if (convertToUppercase)
        first = first.toUpper();

    QStringList runs;
    if (base.size() >= 2) {
        QString run;
        for (const QChar c : QStringView(base).mid(firstLength)) {
            if (c.isDigit()) {
                run.append(c);
            } else if (!run.isEmpty()) {
                runs.append(run);
                run.clear();
            }
        }
        if (!run.isEmpty())
            runs.append(run);
    }
    QString result = first + ellipsisString();
    if (!runs.isEmpty()) {
        result += runs.join(dotString());
        if (!extension.isEmpty())
            result += u'.' + extension;
    } else {
        result += extension;
    }
    return result;
}

bool isNegligibleFilename(const QString &name)
{
    const QString lower = name.toLower();
    return lower.startsWith(u'.') || lower == u"_ds_store" || lower.endsWith(u".quorvelinfo") ||
           lower.endsWith(u'\r');
}

std::optional<QString> substringBeforeSuffix(const QString &string, const QString &suffix,
                                             bool searchBackwards, bool returnSelfIfNotFound)
{
    const qsizetype index =
        suffix.isEmpty() ? -1 : (searchBackwards ? string.lastIndexOf(suffix) : string.indexOf(suffix));
    if (index < 0)
        return returnSelfIfNotFound ? std::optional<QString>(string) : std::nullopt;
    return string.left(index);
}

std::optional<QString> substringBeforeSuffix(const QString &string, const QString &suffix,
                                             bool returnSelfIfNotFound)
{
    return substringBeforeSuffix(string, suffix, false, returnSelfIfNotFound);
}

std::optional<QString> substringAfterPrefix(const QString &string, const QString &prefix,
                                            bool searchBackwards, bool returnSelfIfNotFound)
{
    const qsizetype index =
        prefix.isEmpty() ? -1 : (searchBackwards ? string.lastIndexOf(prefix) : string.indexOf(prefix));
    if (index < 0)
        return returnSelfIfNotFound ? std::optional<QString>(string) : std::nullopt;
    return string.mid(index + prefix.size());
}

std::optional<QString> substringAfterPrefix(const QString &string, const QString &prefix,
                                            bool returnSelfIfNotFound)
{
    return substringAfterPrefix(string, prefix, false, returnSelfIfNotFound);
}

bool isMatchForSearchStrings(const QString &string, const QStringList &searchStrings)
{
    if (searchStrings.isEmpty())
        return true;
    const QString key = searchKey(string);
    for (const QString &searchString : searchStrings) {
        if (!key.contains(searchKey(searchString)))
            return false;
    }
    return true;
}

QString sortPrefixesString()
{
    const QVariant value =
        ZRUserDefaults::standardUserDefaults().objectForKey(ZRTextDefaultsKeys::IgnorableSortingPrefixes);
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    return QCoreApplication::translate("ZRExtensions", "a an the");
}

QStringList sortPrefixesByForcedRebuild(bool forcedRebuild)
{
    static std::mutex mutex;
    static std::optional<QStringList> prefixes;
    std::lock_guard lock(mutex);
    if (!prefixes || forcedRebuild) {
        QStringList list;
        for (const QString &item : sortPrefixesString().split(u' ')) {
            const QString prefix = trimmedString(item.toLower());
            // Doubled spaces in the preference would make " " a prefix.
            if (!prefix.isEmpty())
                list.append(prefix + u' ');
        }
        prefixes = list;
    }
    return *prefixes;
}

QString sortString(const QString &string)
{
    if (string.size() <= 1)
        return string;
    for (const QString &prefix : sortPrefixesByForcedRebuild(false)) {
        if (string.size() >= prefix.size() && string.left(prefix.size()).toLower() == prefix)
            return string.mid(prefix.size());
    }
    return string;
}

bool isWhitespaceOrNewline(QChar character)
{
    return character.isSpace();
}

std::optional<QStringList> stringsByTrimmingCharactersInSet(const QStringList &strings,
                                                            const ZRCharacterSet &characterSet)
{
    QStringList result;
    for (const QString &string : strings) {
        const QString trimmed = characterSet ? trimmedBy(string, characterSet) : string;
        if (!trimmed.isEmpty())
            result.append(trimmed);
    }
    return nonEmptyOrNone(result);
}

std::optional<QStringList> stringValuesSeparatedByWhitespaceAndNewlines(const QString &text)
{
    QStringList result;
    QString item;
    for (const QChar c : text) {
        if (c.isSpace()) {
            if (!item.isEmpty())
                result.append(item);
            item.clear();
        } else {
            item.append(c);
        }
    }
    if (!item.isEmpty())
        result.append(item);
    return nonEmptyOrNone(result);
}

std::optional<QStringList> dotTrimmedStringValuesSeparatedByNewlines(const QString &text)
{
    static const ZRCharacterSet dotsAndWhitespace = [](QChar c) { return c == u'.' || c.isSpace(); };
    QStringList result;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || isLineBreak(text.at(i))) {
            const QString item = trimmedBy(text.mid(start, i - start), dotsAndWhitespace);
            if (!item.isEmpty())
                result.append(item);
            start = i + 1;
        }
    }
    return nonEmptyOrNone(result);
}

int compareByString(const QString &a, const QString &b)
{
    return ZRNaturalCompare(a, b);
}

int compareByURLAbsoluteString(const QUrl &a, const QUrl &b)
{
    return ZRNaturalCompare(a.toString(QUrl::FullyEncoded), b.toString(QUrl::FullyEncoded));
}

int compareByFolderRule(const QVariantMap &a, const QVariantMap &b)
{
    const int hosts = ZRNaturalCompare(firstEntry(a, FolderRuleHostsKey), firstEntry(b, FolderRuleHostsKey));
    if (hosts != 0)
        return hosts;
    return ZRNaturalCompare(firstEntry(a, FolderRuleExtensionsKey), firstEntry(b, FolderRuleExtensionsKey));
}

int compareByTitle(const QString &a, const QString &b)
{
    return ZRNaturalCompare(a, b);
}

} // namespace ZRExtensions
