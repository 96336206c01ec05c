#include "core/text/ZRFolderRules.h"

#include "core/text/ZRApplications.h"
#include "core/text/ZRStringExtensions.h"
#include "core/text/ZRTextICU.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSet>

#include <unicode/dtptngen.h>
#include <unicode/smpdtfmt.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace ZRExtensions
{

void sortSpecialCases(QVariantList &rules)
{
    std::stable_sort(rules.begin(), rules.end(), [](const QVariant &a, const QVariant &b) {
        return compareByFolderRule(a.toMap(), b.toMap()) < 0;
    });
}

QMap<QString, QString> applicationsForExtensions(const QStringList &extensions)
{
    QList<QUrl> candidates;
    bool haveCandidates = false;
    for (const QString &extension : extensions) {
        const QList<QUrl> applications = applicationURLsForExtension(extension);
        if (applications.isEmpty())
            continue;
        if (!haveCandidates) {
            candidates = applications;
            haveCandidates = true;
        } else {
            candidates.removeIf([&](const QUrl &url) { return !applications.contains(url); });
        }
    }
    QMap<QString, QString> result;
    for (const QUrl &url : std::as_const(candidates)) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        if (!QFileInfo(path).isFile())
            continue;
        const QString identifier = applicationBundleIDFromPath(path);
        if (!identifier.isEmpty())
            result.insert(identifier, path);
    }
    return result;
}

QString specialCaseMenuTitle(const QVariantMap &rule)
{
    const QString hosts = rule.value(ZRFolderRuleKey::Hosts).toStringList().join(QStringLiteral("//"));
    const QString extensions =
        rule.value(ZRFolderRuleKey::Extensions).toStringList().join(QStringLiteral("//"));
    if (!hosts.isEmpty() && !extensions.isEmpty())
        return QStringLiteral("%1::%2").arg(hosts, extensions);
    if (!hosts.isEmpty())
        return hosts;
    if (!extensions.isEmpty())
        return extensions;
    return QStringLiteral("-");
}

QString stringFromDateWithFormat(qint64 msecsSinceEpoch, const QString &pattern)
{
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat formatter(ZRTextICU::copy(pattern), status);
    if (U_FAILURE(status))
        return QString();
    icu::UnicodeString text;
    formatter.format(UDate(msecsSinceEpoch), text);
    return ZRTextICU::toQString(text);
}

QList<ZRSubdivisionFormatSuggestion> subdivisionFormatSuggestions(bool allowDashesInLocalizedSuggestions)
{
    QStringList patterns{QStringLiteral("yyyy-MM-dd"), QStringLiteral("yyyy/MM/dd")};
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::DateTimePatternGenerator> generator(
        icu::DateTimePatternGenerator::createInstance(icu::Locale::getDefault(), status));
    if (U_SUCCESS(status) && generator) {
        for (const char *skeleton : {"yMd", "yMMMd", "yMMMMd"}) {
            UErrorCode patternStatus = U_ZERO_ERROR;
            const icu::UnicodeString best =
                generator->getBestPattern(icu::UnicodeString::fromUTF8(skeleton), patternStatus);
            if (U_FAILURE(patternStatus))
                continue;
            QString pattern = ZRTextICU::toQString(best);
            if (!allowDashesInLocalizedSuggestions)
                pattern = cleanPathByReplacingDashesWithString(pattern, QStringLiteral("-"));
            patterns << pattern;
        }
    }
    QList<ZRSubdivisionFormatSuggestion> suggestions;
    QSet<QString> seen;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const QString &pattern : std::as_const(patterns)) {
        if (pattern.isEmpty() || seen.contains(pattern))
            continue;
        seen.insert(pattern);
        QString example = stringFromDateWithFormat(now, pattern);
        const qsizetype parts = example.split(QLatin1Char('/')).size();
        if (parts >= 2)
            example = QStringLiteral("%1 (%2 nested subfolders)").arg(example).arg(parts);
        suggestions.append({pattern, example});
    }
    return suggestions;
}

} // namespace ZRExtensions
