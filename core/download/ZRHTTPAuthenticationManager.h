// The one place that asks the user for credentials: requests that a server or proxy challenged
// wait in a queue, one log-in question is asked at a time, and the answer goes to every waiting
// request for the same site at once.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ZRHTTPRequest;

namespace ZRAuthenticationDefaultsKeys {
inline const QString StorePasswordsInKeychain = QStringLiteral("Store Passwords In Keychain");
} // namespace ZRAuthenticationDefaultsKeys

// What the log-in question shows.
struct ZRAuthenticationQuestion {
    bool proxy = false;
    QString host;
    int port = 0;
    QString realm;
    QString scheme;
    QString filename;
    // "You need to log in before downloading ..." and "Your password will be submitted ...".
    QString explanation;
    QString securityInfo;
    // NTLM asks for an account domain too.
    bool showsDomain = false;
    // The check box "store in the keyring", as the user left it last time.
    bool storeInKeychain = true;
};

struct ZRAuthenticationAnswer {
    QString domain;
    QString username;
    QString password;
    bool storeInKeychain = true;
};

// Asks the question on the main thread and returns once the user answered; none means cancel.
using ZRAuthenticationPrompter = std::function<std::optional<ZRAuthenticationAnswer>(const ZRAuthenticationQuestion &)>;

// Main thread, all of it.
class ZRHTTPAuthenticationManager {
public:
    static ZRHTTPAuthenticationManager &defaultManager();

    // Without a prompter every question is answered "cancel".
    void setPrompter(ZRAuthenticationPrompter prompter);

    // The request waits for credentials: queued, and asked for when its turn comes.
    void acquireAuthenticationForRequest(const std::shared_ptr<ZRHTTPRequest> &request);
    // Withdraws the first occurrence of this very request (nothing for none).
    void cancelAuthenticationForRequest(const ZRHTTPRequest *request);
    void removePendingRequestAtIndex(int index);
    const std::vector<std::shared_ptr<ZRHTTPRequest>> &pendingRequests() const { return _pendingRequests; }
    bool isPrompting() const { return _prompting; }

    // The question for the first waiting request; none when nobody waits.
    std::optional<ZRAuthenticationQuestion> questionForNextAuthentication() const;
    // The answers of the question on screen: confirm gives the credentials to every waiting request
    // for the same site; cancel fails the first one with "Authentication needed".
    void applyCredentialsFromDialog(const ZRAuthenticationAnswer &answer);
    void cancelDialog();

    // Tests: forget the queue and the last answer.
    void resetForTesting();

private:
    ZRHTTPAuthenticationManager();
    void promptSoon();
    void promptForNextAuthentication();
    void giveCredentials(ZRHTTPRequest &request, int kind, const ZRAuthenticationAnswer &answer) const;

    std::vector<std::shared_ptr<ZRHTTPRequest>> _pendingRequests;
    ZRAuthenticationPrompter _prompter;
    bool _prompting = false;
    bool _promptScheduled = false;
    QObject _context;

    // The last confirmed answer and the request it was typed for: a request of the same site
    // challenged while the question was on screen is given it at once instead of asking again
    // (once: if it comes back, the answer did not work for it).
    struct Site {
        int kind = 0;
        QString host;
        std::optional<int> port;
        QString scheme;
        QString realm;
    };
    static Site siteOfRequest(const ZRHTTPRequest &request);
    static bool matches(const Site &site, const Site &shown, bool sameRequest);
    struct LastAnswer {
        Site site;
        ZRAuthenticationAnswer answer;
        std::vector<std::weak_ptr<ZRHTTPRequest>> served;
    };
    std::optional<LastAnswer> _lastAnswer;
};
