#include "app/control/ZRScriptCommands.h"

#include "app/control/ZRMainController.h"
#include "core/foundation/ZRLog.h"
#include "core/text/ZRAddressExtensions.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringDecoder>

namespace
{

// Browsers and desktops often deliver one click twice.
constexpr double duplicateInterval = 1.0;

// The last get-URL text handled and when it came, for the life of the process.
QString previousURLText;
double previousURLTime = -1e300;
std::function<double()> testClock;

double now()
{
    if (testClock)
        return testClock();
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

QString localized(const char *text)
{
    return QCoreApplication::translate("ZRURLHandlerCommand", text);
}

const QLatin1String linkedPrefix("quorvel://linked/");
const QLatin1String encodedPrefix("quorvel://encoded/");

std::optional<QString> decodedAddresses(const QString &escaped, QString *refusal)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(QByteArray::fromPercentEncoding(escaped.toUtf8()));
    if (decoder.hasError()) {
        if (refusal)
            *refusal = QStringLiteral("its escaped addresses are not UTF-8 text");
        return std::nullopt;
    }
    return text;
}

} // namespace

// --- The download command ---

ZRDownloadHandlerCommand::ZRDownloadHandlerCommand(ZRMainController &controller, QVariant directParameter,
                                                   QVariantMap evaluatedArguments)
    : _controller(controller), _directParameter(std::move(directParameter)),
      _evaluatedArguments(std::move(evaluatedArguments))
{
}

void ZRDownloadHandlerCommand::performDefaultImplementation()
{
    openURLStrings(_directParameter, true);
}

QList<QUrl> ZRDownloadHandlerCommand::URLsFromInput(const QVariant &input)
{
    QStringList strings;
    if (input.typeId() == QMetaType::QString)
        strings = ZRExtensions::componentsSeparatedByLineBreaks(input.toString());
    else if (input.typeId() == QMetaType::QStringList)
        strings = input.toStringList();
    else if (input.typeId() == QMetaType::QVariantList) {
        for (const QVariant &element : input.toList()) {
            if (element.typeId() == QMetaType::QString)
                strings.append(element.toString());
        }
    }
    QList<QUrl> urls;
    for (const QString &string : std::as_const(strings)) {
        const QString trimmed = ZRExtensions::trimmedString(string);
        if (trimmed.isEmpty())
            continue;
        const QUrl url(trimmed, QUrl::StrictMode);
        if (url.isValid())
            urls.append(url);
    }
    return urls;
}

bool ZRDownloadHandlerCommand::openURLStrings(const QVariant &input, bool forwardEvaluatedArguments)
{
    const QList<QUrl> urls = URLsFromInput(input);
    if (urls.isEmpty())
        return false;
    _controller.openURLsAfterDelay(urls, forwardEvaluatedArguments ? _evaluatedArguments : QVariantMap(), true);
    return true;
}

// --- The get-URL handler ---

ZRURLHandlerCommand::ZRURLHandlerCommand(ZRMainController &controller, QString urlText)
    : ZRDownloadHandlerCommand(controller, urlText), _urlText(std::move(urlText))
{
}

void ZRURLHandlerCommand::setClockForTesting(std::function<double()> clock)
{
    testClock = std::move(clock);
    previousURLText.clear();
    previousURLTime = -1e300;
}

bool ZRURLHandlerCommand::isOwnSchemeURLText(const QString &text)
{
    return text.startsWith(QLatin1String("quorvel:"), Qt::CaseInsensitive) ||
           text.startsWith(QLatin1String("securequorvel:"), Qt::CaseInsensitive);
}

QString ZRURLHandlerCommand::refusalForAddressFromURLScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        return {};
    return QStringLiteral("only web addresses (http, https) are taken from a quorvel: URL");
}

std::optional<QString> ZRURLHandlerCommand::addressTextForURLText(QString *refusal)
{
    const double arrival = now();
    const bool isRepeat = _urlText == previousURLText && arrival - previousURLTime < duplicateInterval;
    previousURLText = _urlText;
    previousURLTime = arrival;
    if (isRepeat) {
        ZRLogDebug(QStringLiteral("suppressing duplicate handling request within a %1 second interval for URL: <%2>")
                       .arg(QString::number(duplicateInterval, 'f', 6), _urlText));
        return std::nullopt;
    }

    const QString lower = _urlText.toLower();
    if (lower.startsWith(linkedPrefix)) {
        const std::optional<QString> text = decodedAddresses(_urlText.mid(linkedPrefix.size()), refusal);
        if (!text)
            return std::nullopt;
        const QStringList lines = text->split(QLatin1Char('\n'));
        if (lines.size() >= 2) {
            // Listing a few is enough to recognise them; the rest is a count.
            QStringList shown = lines.size() > 10 ? lines.mid(0, 9) : lines;
            if (lines.size() > 10)
                shown.append(localized("(%1 more)").arg(lines.size() - 9));
            const ZRAlert alert{localized("Download %1 Linked Files...").arg(lines.size()),
                                shown.join(QLatin1Char('\n')),
                                {localized("Download"), localized("Cancel")},
                                ZRAlert::Style::Informational};
            ZRUserInterface *userInterface = _controller.userInterface();
            if (userInterface && userInterface->runModalAlert(alert) != ZRAlertFirstButton)
                return std::nullopt;
        }
        return text;
    }
    if (lower.startsWith(encodedPrefix))
        return decodedAddresses(_urlText.mid(encodedPrefix.size()), refusal);
    if (lower.startsWith(QLatin1String("quorvel")))
        return QStringLiteral("http") + _urlText.mid(7);
    if (lower.startsWith(QLatin1String("securequorvel")))
        return QStringLiteral("https") + _urlText.mid(13);
    return _urlText;
}

void ZRURLHandlerCommand::performDefaultImplementation()
{
    if (_urlText.isEmpty())
        return;
    QString refusal;
    const std::optional<QString> text = addressTextForURLText(&refusal);
    if (!text) {
        if (!refusal.isEmpty())
            ZRLog(QStringLiteral("cannot handle URL <%1>: %2").arg(_urlText, refusal));
        return;
    }
    QList<QUrl> urls = URLsFromInput(*text);
    urls.removeIf([this](const QUrl &url) {
        const QString reason = refusalForAddressFromURLScheme(url);
        if (!reason.isEmpty())
            ZRLog(QStringLiteral("ignoring <%1> from URL <%2>: %3").arg(url.toString(), _urlText, reason));
        return !reason.isEmpty();
    });
    if (!urls.isEmpty())
        _controller.openURLsAfterDelay(urls, {}, true);
}
