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

// The http(s) addresses between quotes in the text, in order of appearance; the whole text when
// there are none. Never empty.
QStringList unearthedURLStrings(const QString &string);

// "a{1-3}b", "a{08-10}", "a{x-z}", "a{p,q}": one address per value of each brace range, left group
// first. Never empty.
QStringList explodedURLStrings(const QString &string);
QStringList explodedURLStrings(const QStringList &strings);

// Undoes percent escaping around redirected addresses and "&amp;".
QString unescapedURLString(const QString &string);
// unescapedURLString followed by the replacement rules. The rules (built-in ones, the preference
// "Skip Redirecting Services" and Replacements.plist) are read once, on the first call in the process.
QString unescacpedURLStringWithReplacementsApplied(const QString &string);

// The key for duplicate checks of address text.
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
