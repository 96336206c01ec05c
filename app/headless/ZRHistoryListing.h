// `quorvel --history`: the history of finished downloads as text, read from the file alone, so that
// it can run beside a Quorvel that keeps the history.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

#include <cstdio>

namespace ZRHistoryListing
{

// One line per item, newest first: name, date, file (or "missing"), address. With search strings,
// only the items whose name or address holds every one of them. Items without a name or an address
// are listed with what they have.
QString historyListing(const QVariantList &history, const QStringList &searchStrings);

// Prints the listing of History.plist to output; "History is empty" or "No Matches" go to errors.
// Returns the exit status: 0 when something was listed, 1 otherwise.
int printHistory(const QStringList &searchStrings, std::FILE *output, std::FILE *errors);

} // namespace ZRHistoryListing
