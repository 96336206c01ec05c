// Folder rules (the program's "special cases") beneath the rule editor: their order, the
// applications that can serve a rule's extensions, and the date formats offered for subfolders.
#pragma once

#include <QLatin1String>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantList>

namespace ZRFolderRuleKey
{
inline constexpr QLatin1String Hosts("Hosts");
inline constexpr QLatin1String Extensions("Extensions");
inline constexpr QLatin1String DownloadsFolder("Downloads Folder");
inline constexpr QLatin1String Application("Application");
} // namespace ZRFolderRuleKey

namespace ZRExtensions
{

// Thread-safe, all of them.

// The rules ordered by their first host (rules with one first), then by their first extension,
// each in natural order; the order is stable for rules that compare equal.
void sortSpecialCases(QVariantList &rules);

// The applications that can open files with every one of the extensions (an extension that no
// application opens is left out of the test): desktop-file ID -> desktop-file path. Only desktop
// entries that exist as local files and have an ID are listed.
QMap<QString, QString> applicationsForExtensions(const QStringList &extensions);

// A rule's line in the folder menus: "hosts::extensions", each list joined by "//"; "-" with neither.
QString specialCaseMenuTitle(const QVariantMap &rule);

// One suggestion of the subfolder format fields: the date pattern and today's date written with
// it ("2026/12/09 (3 nested subfolders)" when it makes nested folders).
struct ZRSubdivisionFormatSuggestion {
    QString pattern;
    QString example;
    bool operator==(const ZRSubdivisionFormatSuggestion &) const = default;
};
inline constexpr QLatin1String SubdivisionFormatSuggestionsTitleSuffix("Example");
// "yyyy-MM-dd", "yyyy/MM/dd", then the locale's patterns for "yMd", "yMMMd" and "yMMMMd" (their
// "/" made "-" unless allowDashes), each once. Locale: the process's default (ICU) locale.
QList<ZRSubdivisionFormatSuggestion> subdivisionFormatSuggestions(bool allowDashesInLocalizedSuggestions);
// A date written with a date-format pattern, in the default locale.
QString stringFromDateWithFormat(qint64 msecsSinceEpoch, const QString &pattern);

} // namespace ZRExtensions
