// Finding, expanding, unescaping and rewriting web addresses in text, and the file name a URL suggests.
//
// Every operation returns a new value and never fails: when a step cannot be carried out the text
// passes through unchanged.
#pragma once

#include <QString>
#include <QStringList>

class QUrl;

namespace ZRExtensions
{

// Thread-safe, all of them.

// Without leading and trailing white space and line breaks.
QString trimmedString(const QString &string);

// The text's lines, split at every kind of line break (CR LF as one): LF, VT, FF, CR, NEL, LS, PS.
QStringList componentsSeparatedByLineBreaks(const QString &string);

// The http(s) addresses between quotes in the text, in order of appearance; the whole text when
// there are none. Never empty.
QStringList unearthedURLStrings(const QString &string);

// A brace range can name billions of addresses: the expansion stops after this many.
inline constexpr qsizetype MaximumExplodedURLCount = 100000;

// "a{1-3}b", "a{08-10}", "a{x-z}", "a{p,q}": one address per value of each brace range, left group
// first, at most MaximumExplodedURLCount of them; truncated (when given) tells whether addresses
// were left out for that limit. Never empty.
QStringList explodedURLStrings(const QString &string, bool *truncated = nullptr);
QStringList explodedURLStrings(const QStringList &strings, bool *truncated = nullptr);

// Undoes percent escaping around redirected addresses and "&amp;".
QString unescapedURLString(const QString &string);
// unescapedURLString followed by the replacement rules. The rules (built-in ones, the preference
// "Skip Redirecting Services" and Replacements.plist) are read once, on the first call in the process.
QString unescacpedURLStringWithReplacementsApplied(const QString &string);

// The key for duplicate checks of address text: the address as the URL that the intake makes of
// it, in one normal form (scheme and host lower-case, the host in ASCII form, the path and query
// percent-encoded as UTF-8 with escapes of unreserved characters undone and the others upper-case,
// no default port, "/" for an empty path). Text that makes no URL is its own key.
QString comparisonURLString(const QString &string);
// Percent-escapes (as UTF-8) what may not stand in a URL; reserved characters stay.
QString URLEncodedString(const QString &string);
// Percent escapes decoded as UTF-8, else Latin-1, else ASCII; unchanged when malformed.
QString stringByReplacingPercentEscapesIfNecessary(const QString &string);
// "+" read as a space (unless that leaves nothing), then percent escapes decoded.
QString stringByReplacingPlusAndPercentEscapesIfNecessary(const QString &string);
// "file.zip?x=1" -> "file.zip"; "download?id=3" stays as it is.
QString filenameByRemovingURLParameters(const QString &string);

// The file name a URL suggests: its last path component, else its host ("www." dropped, dots as
// dashes), else "-".
QString filename(const QUrl &url);

} // namespace ZRExtensions
