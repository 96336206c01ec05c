#include "app/headless/ZRHistoryListing.h"

#include "core/foundation/ZRLog.h"
#include "core/text/ZRHistorian.h"
#include "core/text/ZRPathExtensions.h"
#include "core/text/ZRStringExtensions.h"

#include <QDateTime>

namespace ZRHistoryListing
{

QString historyListing(const QVariantList &history, const QStringList &searchStrings)
{
    const QString dash = QStringLiteral(" \u2014 ");
    QString text;
    for (auto each = history.crbegin(); each != history.crend(); ++each) {
        const QVariantMap item = each->toMap();
        const QString name = item.value(ZRHistoryKeys::Name).toString();
        const QString address = item.value(ZRHistoryKeys::OriginalURL).toString();
        if (!searchStrings.isEmpty() && !ZRExtensions::isMatchForSearchStrings(name, searchStrings) &&
            !ZRExtensions::isMatchForSearchStrings(address, searchStrings))
            continue;
        const QDateTime date = ZRHistorian::dateOfHistoryItem(item);
        const QString file = ZRExtensions::existingPathWithFallBackAliasData(
            item.value(ZRHistoryKeys::Path).toString(), item.value(ZRHistoryKeys::Alias).toByteArray());
        const QString line =
            (name.isEmpty() ? QStringLiteral("(no name)") : name) + dash +
            (date.isValid() ? date.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                            : QStringLiteral("(no date)")) +
            dash + (file.isEmpty() ? QStringLiteral("missing") : file) + dash +
            (address.isEmpty() ? QStringLiteral("(no address)") : address);
        // Names and addresses come from servers: one line each, nothing that acts on a terminal.
        text += ZRExtensions::stringByEscapingControlCharacters(line) + QLatin1Char('\n');
    }
    return text;
}

int printHistory(const QStringList &searchStrings, std::FILE *output, std::FILE *errors)
{
    const QVariantList history = ZRHistorian::historyWithContentsOfFile(ZRHistorian::historyArchivePath());
    const QString text = historyListing(history, searchStrings);
    if (text.isEmpty()) {
        std::fputs(history.isEmpty() ? "History is empty\n" : "No Matches\n", errors);
        return 1;
    }
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), output);
    std::fflush(output);
    return 0;
}

} // namespace ZRHistoryListing
