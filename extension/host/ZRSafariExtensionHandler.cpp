#include "extension/host/ZRSafariExtensionHandler.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"

#include <QMutexLocker>

#include <unicode/regex.h>

#include <chrono>
#include <memory>

namespace
{

// A filter the user wrote, run on addresses a stranger's page chose: a match that takes longer than
// this (steps of ICU's matcher, roughly milliseconds) is given up.
constexpr int32_t filterTimeLimit = 200;

icu::UnicodeString unicodeString(const QString &string)
{
    return icu::UnicodeString(reinterpret_cast<const char16_t *>(string.constData()), int32_t(string.size()));
}

QStringList stringList(const QVariant &value)
{
    QStringList strings;
    for (const QVariant &element : value.toList()) {
        if (element.typeId() == QMetaType::QString)
            strings.append(element.toString());
    }
    return strings;
}

} // namespace

ZRSafariExtensionHandler::ZRSafariExtensionHandler(FilterSource filterSource, Opener opener, Clock clock)
    : _filterSource(std::move(filterSource)), _opener(std::move(opener)), _clock(std::move(clock))
{
}

void ZRSafariExtensionHandler::messageReceivedWithName(const QString &name, const QVariantMap &userInfo)
{
    if (name != ZRSafariExtensionKey::ContextMessageName)
        return;
    QMutexLocker locker(&_lock);
    _pendingAddresses = stringList(userInfo.value(ZRSafariExtensionKey::Primary));
    if (_pendingAddresses.isEmpty())
        _pendingAddresses = addressesPassingFilter(stringList(userInfo.value(ZRSafariExtensionKey::Gathered)),
                                                   _filterSource ? _filterSource() : QString());
    _messageTime = _clock();
    _hasMessage = true;
}

ZRSafariExtensionHandler::Validation
ZRSafariExtensionHandler::validateContextMenuItemWithCommand(const QString &command) const
{
    Q_UNUSED(command);
    double age = 0;
    qsizetype count = 0;
    {
        QMutexLocker locker(&_lock);
        if (!_hasMessage)
            return {};
        age = _clock() - _messageTime;
        count = _pendingAddresses.size();
    }
    if (age >= 1.0 || count == 0)
        return {};
    if (count == 1)
        return {false, QStringLiteral("Download Linked File via Quorvel")};
    return {false, QStringLiteral("Download %1 Linked Files via Quorvel...").arg(count)};
}

bool ZRSafariExtensionHandler::contextMenuItemSelectedWithCommand(const QString &command)
{
    Q_UNUSED(command);
    std::optional<QString> url;
    {
        QMutexLocker locker(&_lock);
        if (_pendingAddresses.isEmpty())
            return false;
        url = handOffURLStringWithAddresses(_pendingAddresses);
    }
    // The pending links stay: the next "context" message replaces them.
    return url && _opener && _opener(*url);
}

std::optional<QString> ZRSafariExtensionHandler::handOffURLStringWithAddresses(const QStringList &addresses)
{
    if (addresses.isEmpty())
        return std::nullopt;
    // Everything but the unreserved characters is escaped, "%" and "#" included, so that the
    // application's one unescaping gives back the addresses exactly.
    const QString escaped = QString::fromLatin1(QUrl::toPercentEncoding(addresses.join(QLatin1Char('\n'))));
    const QString text = (addresses.size() == 1 ? ZRSafariExtensionKey::EncodedURLPrefix
                                                : ZRSafariExtensionKey::LinkedURLPrefix) +
                         escaped;
    if (!QUrl(text, QUrl::StrictMode).isValid())
        return std::nullopt;
    return text;
}

QStringList ZRSafariExtensionHandler::addressesPassingFilter(const QStringList &addresses,
                                                             const QString &filter)
{
    if (filter.trimmed().isEmpty())
        return addresses;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    const std::unique_ptr<icu::RegexPattern> pattern(
        icu::RegexPattern::compile(unicodeString(filter), UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_FAILURE(status) || !pattern) {
        ZRLog(QStringLiteral("ignoring extension filter that does not compile: <%1>").arg(filter));
        return addresses;
    }
    status = U_ZERO_ERROR;
    const std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(status));
    if (U_FAILURE(status) || !matcher)
        return addresses;
    matcher->setTimeLimit(filterTimeLimit, status);
    QStringList passing;
    for (const QString &address : addresses) {
        const icu::UnicodeString subject = unicodeString(address);
        status = U_ZERO_ERROR;
        matcher->reset(subject);
        const bool found = matcher->find(0, status);
        if (status == U_REGEX_TIME_OUT) {
            // A filter that cannot decide does not hide the link.
            ZRLog(QStringLiteral("extension filter took too long on <%1>; keeping it").arg(address));
            passing.append(address);
        } else if (U_SUCCESS(status) && found) {
            passing.append(address);
        }
    }
    return passing;
}

QString ZRSafariExtensionHandler::sharedDefaultsFilePath()
{
    return ZRConfigurationFolderPath() + QStringLiteral("/Shared.plist");
}

QString ZRSafariExtensionHandler::filterFromSharedDefaults()
{
    const std::optional<QVariant> defaults =
        ZRPropertyList::propertyListWithContentsOfFile(sharedDefaultsFilePath());
    if (!defaults)
        return {};
    const QVariant filter = defaults->toMap().value(ZRSafariExtensionKey::ExtensionFilter);
    return filter.typeId() == QMetaType::QString ? filter.toString() : QString();
}

double ZRSafariExtensionHandler::steadyClock()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
