// File names, substrings, search matching, sort names, displayed constants, lists of strings and
// the sort comparators of menus and lists.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <optional>

class QUrl;

namespace ZRExtensions
{

// Thread-safe, all of them.

// Characters of displayed text.
QString ellipsisString();                 // U+2026
QString dashString();                     // U+2014 em dash
QString spacedDashString();               // " — "
QString bulletString();                   // U+2022
QString spacedBulletString();             // "• "
QString dotString();                      // U+00B7 middle dot
QString rightTriangleArrowString();       // U+25B8
QString spacedRightTriangleArrowString(); // " ▸ "

// Text for a terminal or a log: stringByEscapingControlCharacters, beside the log in
// core/foundation/ZRLog.h.

// --- File names ---

// Trimmed; control characters removed (tabs become spaces); ":" and "*" become "_"; a leading or
// trailing "." becomes "_". With a replacement every "/" becomes it; without one, runs of "/" are
// collapsed and "/" is removed from both ends.
QString cleanPathByReplacingDashesWithString(const QString &string,
                                             const std::optional<QString> &replacement);
// cleanPathByReplacingDashesWithString with "|": a name safe for one path component.
QString cleanFilename(const QString &string);

// A short stand-in for a name: first character, ellipsis and the runs of digits ("I…2·5·1.dmg").
QString anonymizedStringPreservingExtension(const QString &string, bool preserveExtension,
                                            bool convertToUppercase);

// Folder entries that do not count as content: hidden files, "_ds_store", our info files and the
// custom-icon file (a name ending in a carriage return).
bool isNegligibleFilename(const QString &name);

// --- Substrings ---
// The text in front of (before) or behind (after) the suffix or prefix, found literally and
// case-sensitively: the last occurrence when searching backwards, else the first. When it does not
// occur: a copy of the string when returnSelfIfNotFound, else none.
std::optional<QString> substringBeforeSuffix(const QString &string, const QString &suffix,
                                             bool searchBackwards, bool returnSelfIfNotFound);
std::optional<QString> substringBeforeSuffix(const QString &string, const QString &suffix,
                                             bool returnSelfIfNotFound);
std::optional<QString> substringAfterPrefix(const QString &string, const QString &prefix,
                                            bool searchBackwards, bool returnSelfIfNotFound);
std::optional<QString> substringAfterPrefix(const QString &string, const QString &prefix,
                                            bool returnSelfIfNotFound);

// Whether every search string occurs in the string, ignoring case, diacritics and width. True for
// an empty list.
bool isMatchForSearchStrings(const QString &string, const QStringList &searchStrings);

// --- Sort names ---

// The preference "Ignorable Sorting Prefixes", else "a an the".
QString sortPrefixesString();
// The prefixes, lower-cased, each followed by one space ("a ", "an ", "the "). Built on first use;
// rebuilt when forced (after the preference changed).
QStringList sortPrefixesByForcedRebuild(bool forcedRebuild);
// The string without its first ignorable prefix: "The Tool.zip" sorts as "Tool.zip".
QString sortString(const QString &string);

// --- Lists of strings ---

// A set of characters for trimming.
using ZRCharacterSet = std::function<bool(QChar)>;
// White space and line breaks.
bool isWhitespaceOrNewline(QChar character);

// The non-empty elements, each trimmed of the set when one is given, without those that become
// empty; none when nothing remains.
std::optional<QStringList> stringsByTrimmingCharactersInSet(const QStringList &strings,
                                                            const ZRCharacterSet &characterSet);
// The text split at white space and line breaks, empty items dropped; none when nothing remains.
std::optional<QStringList> stringValuesSeparatedByWhitespaceAndNewlines(const QString &text);
// The text split at line breaks, each item trimmed of white space, line breaks and "." at both
// ends, empty items dropped; none when nothing remains. For lists of file extensions.
std::optional<QStringList> dotTrimmedStringValuesSeparatedByNewlines(const QString &text);

// --- Sort comparators ---
// Natural order (case-insensitive, numbers by value), empty values after non-empty ones.
// Negative, 0 or positive.
int compareByString(const QString &a, const QString &b);
int compareByURLAbsoluteString(const QUrl &a, const QUrl &b);
// Folder rules: the first "Hosts" entry, then the first "Extensions" entry.
int compareByFolderRule(const QVariantMap &a, const QVariantMap &b);
// Menu items by title.
int compareByTitle(const QString &a, const QString &b);

} // namespace ZRExtensions
