// The queue of requests waiting for credentials and the one question asked at a time.
#include "core/download/ZRHTTPAuthenticationManager.h"

#include "core/foundation/ZRUserDefaults.h"
#include "core/http/ZRHTTPAuthentication.h"
#include "core/http/ZRHTTPRequest.h"
#include "core/text/ZRAddressExtensions.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

QString localized(const char *text)
{
    return QCoreApplication::translate("ZRHTTPAuthenticationManager", text);
}

QUrl urlOfRequest(const ZRHTTPRequest &request)
{
    return QUrl::fromEncoded(QByteArray::fromStdString(request.url()));
}

} // namespace

ZRHTTPAuthenticationManager &ZRHTTPAuthenticationManager::defaultManager()
{
    static ZRHTTPAuthenticationManager manager;
    return manager;
}

ZRHTTPAuthenticationManager::ZRHTTPAuthenticationManager()
{
    ZRUserDefaults::standardUserDefaults().registerDefaults({{ZRAuthenticationDefaultsKeys::StorePasswordsInKeychain, true}});
}

void ZRHTTPAuthenticationManager::setPrompter(ZRAuthenticationPrompter prompter)
{
    _prompter = std::move(prompter);
}

void ZRHTTPAuthenticationManager::resetForTesting()
{
    _pendingRequests.clear();
    _lastAnswer.reset();
    _prompting = false;
}

ZRHTTPAuthenticationManager::Site ZRHTTPAuthenticationManager::siteOfRequest(const ZRHTTPRequest &request)
{
    Site site;
    site.kind = request.authenticationNeeded();
    const QUrl url = urlOfRequest(request);
    site.host = url.host();
    if (url.port() >= 0)
        site.port = url.port();
    site.scheme = site.kind == 2 ? QString::fromStdString(request.proxyAuthenticationScheme()) : url.scheme();
    site.realm = QString::fromStdString(request.authenticationRealm());
    return site;
}

bool ZRHTTPAuthenticationManager::matches(const Site &site, const Site &shown, bool sameRequest)
{
    // Only an explicit port names the same server for sure.
    return sameRequest
        || (site.kind == shown.kind && site.host == shown.host && shown.port && site.port == shown.port
            && site.scheme == shown.scheme && site.realm == shown.realm);
}

void ZRHTTPAuthenticationManager::acquireAuthenticationForRequest(const std::shared_ptr<ZRHTTPRequest> &request)
{
    if (!request)
        return;
    // Challenged while the answer for its site was being typed: it gets that answer, once.
    if (_lastAnswer && matches(siteOfRequest(*request), _lastAnswer->site, false)) {
        auto &served = _lastAnswer->served;
        served.erase(std::remove_if(served.begin(), served.end(), [](const auto &weak) { return weak.expired(); }),
            served.end());
        const bool given = std::any_of(served.begin(), served.end(), [&](const auto &weak) {
            return weak.lock() == request;
        });
        if (!given) {
            served.push_back(request);
            giveCredentials(*request, request->authenticationNeeded(), _lastAnswer->answer);
            return;
        }
    }
    _pendingRequests.push_back(request);
    if (!_prompting)
        promptSoon();
}

void ZRHTTPAuthenticationManager::cancelAuthenticationForRequest(const ZRHTTPRequest *request)
{
    const auto found = std::find_if(_pendingRequests.begin(), _pendingRequests.end(),
        [&](const std::shared_ptr<ZRHTTPRequest> &each) { return each.get() == request; });
    if (found == _pendingRequests.end())
        return;
    removePendingRequestAtIndex(int(found - _pendingRequests.begin()));
}

void ZRHTTPAuthenticationManager::removePendingRequestAtIndex(int index)
{
    if (index < 0 || index >= int(_pendingRequests.size()))
        return;
    _pendingRequests.erase(_pendingRequests.begin() + index);
    // The one on screen went away: the next one is asked for (a question already on screen is
    // answered first, and its answer then goes to nobody).
    if (index == 0 && !_prompting)
        promptSoon();
}

void ZRHTTPAuthenticationManager::promptSoon()
{
    // After the callback that brought the request has returned, and after the other challenges
    // that arrived with it have joined the queue.
    if (_promptScheduled || _pendingRequests.empty())
        return;
    _promptScheduled = true;
    QTimer::singleShot(0, &_context, [this] {
        _promptScheduled = false;
        promptForNextAuthentication();
    });
}

std::optional<ZRAuthenticationQuestion> ZRHTTPAuthenticationManager::questionForNextAuthentication() const
{
    if (_pendingRequests.empty())
        return std::nullopt;
    const ZRHTTPRequest &request = *_pendingRequests.front();
    ZRAuthenticationQuestion question;
    const int kind = request.authenticationNeeded();
    question.proxy = kind == 2;
    question.scheme = QString::fromStdString(kind == 2 ? request.proxyAuthenticationScheme() : request.authenticationScheme());
    question.showsDomain = question.scheme == QLatin1String(ZRHTTPAuthenticationScheme::ntlm);
    const QUrl url = urlOfRequest(request);
    if (kind == 2) {
        question.host = QString::fromStdString(request.proxyHost());
        question.port = request.proxyPort();
        question.realm = QString::fromStdString(request.proxyAuthenticationRealm());
    } else {
        question.host = url.host();
        question.port = url.port();
        question.realm = QString::fromStdString(request.authenticationRealm());
    }
    question.filename = ZRExtensions::filename(url);
    question.explanation = question.realm.isEmpty()
        ? localized("You need to log in before downloading \"%1\".").arg(question.filename)
        : localized("You need to log in before downloading \"%1\" from \"%2\".").arg(question.filename, question.realm);
    // Basic sends the password as it is; only TLS to that very server (or proxy) protects it.
    const bool encrypted = kind == 2 ? request.proxyType() == ZRHTTPRequest::ProxyType::https
                                     : url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    const bool secure = encrypted || question.scheme != QLatin1String(ZRHTTPAuthenticationScheme::basic);
    question.securityInfo = secure ? localized("Your password will be submitted securely.")
                                   : localized("Your password will be submitted as plain text.");
    question.storeInKeychain =
        ZRUserDefaults::standardUserDefaults().boolForKey(ZRAuthenticationDefaultsKeys::StorePasswordsInKeychain);
    return question;
}

void ZRHTTPAuthenticationManager::promptForNextAuthentication()
{
    while (!_prompting && !_pendingRequests.empty()) {
        const auto question = questionForNextAuthentication();
        const std::shared_ptr<ZRHTTPRequest> shown = _pendingRequests.front();
        _prompting = true;
        const std::optional<ZRAuthenticationAnswer> answer = _prompter ? _prompter(*question) : std::nullopt;
        _prompting = false;
        // Withdrawn while the question was on screen: its answer serves nobody.
        if (_pendingRequests.empty() || _pendingRequests.front() != shown)
            continue;
        if (answer)
            applyCredentialsFromDialog(*answer);
        else
            cancelDialog();
    }
}

void ZRHTTPAuthenticationManager::giveCredentials(ZRHTTPRequest &request, int kind, const ZRAuthenticationAnswer &answer) const
{
    if (!answer.storeInKeychain)
        request.setUseKeychainPersistence(false);
    const bool ntlm = (kind == 2 ? request.proxyAuthenticationScheme() : request.authenticationScheme())
        == ZRHTTPAuthenticationScheme::ntlm;
    if (kind == 2) {
        if (ntlm)
            request.setProxyDomain(answer.domain.toStdString());
        request.setProxyUsername(answer.username.toStdString());
        request.setProxyPassword(answer.password.toStdString());
    } else {
        // The domain goes with NTLM, the one scheme that has one.
        if (ntlm)
            request.setDomain(answer.domain.toStdString());
        request.setUsername(answer.username.toStdString());
        request.setPassword(answer.password.toStdString());
    }
    request.retryUsingSuppliedCredentials();
}

void ZRHTTPAuthenticationManager::applyCredentialsFromDialog(const ZRAuthenticationAnswer &answer)
{
    if (_pendingRequests.empty())
        return;
    ZRUserDefaults::standardUserDefaults().setBool(answer.storeInKeychain,
        ZRAuthenticationDefaultsKeys::StorePasswordsInKeychain);
    const std::shared_ptr<ZRHTTPRequest> shown = _pendingRequests.front();
    const Site site = siteOfRequest(*shown);
    std::vector<std::shared_ptr<ZRHTTPRequest>> served;
    std::vector<std::shared_ptr<ZRHTTPRequest>> waiting;
    for (const std::shared_ptr<ZRHTTPRequest> &request : _pendingRequests) {
        if (matches(siteOfRequest(*request), site, request == shown)) {
            if (std::find(served.begin(), served.end(), request) == served.end())
                served.push_back(request);
        } else {
            waiting.push_back(request);
        }
    }
    _pendingRequests = std::move(waiting);
    LastAnswer last{site, answer, {}};
    for (const std::shared_ptr<ZRHTTPRequest> &request : served) {
        last.served.push_back(request);
        giveCredentials(*request, site.kind, answer);
    }
    _lastAnswer = std::move(last);
}

void ZRHTTPAuthenticationManager::cancelDialog()
{
    if (_pendingRequests.empty())
        return;
    const std::shared_ptr<ZRHTTPRequest> shown = _pendingRequests.front();
    shown->cancelAuthentication();
    removePendingRequestAtIndex(0);
}
