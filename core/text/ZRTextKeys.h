// The user defaults and file names that the text operations read.
#pragma once

#include <QString>

namespace ZRTextDefaultsKeys
{

// Reduce an address that embeds a second address to the embedded one.
inline const QString SkipRedirectingServices = QStringLiteral("Skip Redirecting Services");
// Words left out in front of names when sorting ("a an the").
inline const QString IgnorableSortingPrefixes = QStringLiteral("Ignorable Sorting Prefixes");
// Read once, when the shared number formatter is made.
inline const QString NumbersFractionDigits = QStringLiteral("Numbers: Fraction Digits");
inline const QString NumbersDisableGroupingSeparator = QStringLiteral("Numbers: Disable Grouping Separator");
inline const QString NumbersLeaveUnlocalized = QStringLiteral("Numbers: Leave Unlocalized");

} // namespace ZRTextDefaultsKeys

namespace ZRReplacementKeys
{

// The user's rewrite rules in the application-support folder: an array of these dictionaries.
inline const QString FileName = QStringLiteral("Replacements.plist");
inline const QString Query = QStringLiteral("Query");
inline const QString Replacement = QStringLiteral("Replacement");
inline const QString RegularExpression = QStringLiteral("Regular Expression");

} // namespace ZRReplacementKeys
