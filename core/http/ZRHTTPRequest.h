// One HTTP or HTTPS request: builds the message, runs it on the request thread, follows redirects,
// re-uses persistent connections, times out on inactivity, retries, and reports headers, body
// bytes, completion and failure to its delegate on the caller's thread.
#pragma once

#include "core/http/ZRHTTPAuthentication.h"
#include "core/http/ZRHTTPConnectionPool.h"
#include "core/http/ZRHTTPError.h"
#include "core/http/ZRHTTPHeaders.h"
#include "core/http/ZRHTTPReadStream.h"
#include "core/http/ZRHTTPRequestThread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class ZRDataDecompressor;
class ZRHTTPInputStream;
class ZRHTTPRequestDelegate;
class ZRHTTPRequestQueue;

class ZRHTTPRequest final : public std::enable_shared_from_this<ZRHTTPRequest>, private ZRHTTPReadStreamClient {
public:
    using Clock = std::chrono::steady_clock;
    // Runs a callback on the caller's thread, later, in the order given; must not block.
    using CallbackExecutor = std::function<void(std::function<void()>)>;

    // HTTP and HTTPS proxies (the scheme names how we talk to the proxy); SOCKS 4, 4a, 5 and 5h
    // (4a and 5h let the proxy resolve the host name). "socks" is SOCKS 5 with the proxy resolving.
    enum class ProxyType { http, https, socks4, socks4a, socks5, socks5h, socks = socks5h };

    // One proxy the system settings name for a URL: direct (empty host), a proxy, or a script.
    struct Proxy {
        ProxyType type = ProxyType::http;
        std::string host;
        int port = 0;
        std::string autoConfigurationURL;
        std::string username;
        std::string password;
    };
    // The system's proxy settings. Request thread; may block briefly. None: the platform gave no
    // list at all (the request fails with code 6); an empty list means direct.
    class ProxyResolver {
    public:
        virtual ~ProxyResolver() = default;
        virtual std::optional<std::vector<Proxy>> proxiesForURL(const std::string &url) = 0;
        // The proxies a script names for a URL; none when it cannot be evaluated.
        virtual std::optional<std::vector<Proxy>> proxiesFromScript(const std::string &script, const std::string &url)
        {
            (void)script, (void)url;
            return std::nullopt;
        }
    };

    // Any thread.
    static std::shared_ptr<ZRHTTPRequest> requestWithURL(const std::string &url);
    ~ZRHTTPRequest();
    ZRHTTPRequest(const ZRHTTPRequest &) = delete;
    ZRHTTPRequest &operator=(const ZRHTTPRequest &) = delete;

    // Caller's thread, before startAsynchronous(). Each setter and reader is also safe later.
    void setDelegate(ZRHTTPRequestDelegate *delegate);
    ZRHTTPRequestDelegate *delegate() const;
    // A different URL drops the built message and any pending redirect target.
    void setURL(const std::string &url);
    std::string url() const;
    void setRequestMethod(const std::string &method);
    std::string requestMethod() const;
    void setRequestHeaders(const ZRHTTPHeaders &headers);
    void addRequestHeader(const std::string &name, const std::string &value);
    ZRHTTPHeaders requestHeaders() const;
    void setUserAgentString(const std::string &userAgent);
    void setTimeOutSeconds(double seconds);
    double timeOutSeconds() const;
    void setShouldRedirect(bool shouldRedirect);
    void setShouldUseRFC2616RedirectBehaviour(bool keep);
    void setShouldAttemptPersistentConnection(bool attempt);
    bool shouldAttemptPersistentConnection() const;
    void setPersistentConnectionTimeoutSeconds(double seconds);
    double persistentConnectionTimeoutSeconds() const;
    void setNumberOfTimesToRetryOnTimeout(int count);
    void setAllowCompressedResponse(bool allow);
    void setShouldWaitToInflateCompressedResponses(bool wait);
    void setUseCookiePersistence(bool use);
    void setUseSessionPersistence(bool use);
    void setUseKeychainPersistence(bool use);
    void setShouldPresentCredentialsBeforeChallenge(bool present);
    void setValidatesSecureCertificate(bool validates);
    void setUseHTTPVersionOne(bool use);
    void setCachePolicy(int policy);
    // An explicit proxy: used when the host is set and the port is not 0.
    void setProxyHost(const std::string &host);
    void setProxyPort(int port);
    void setProxyType(ProxyType type);
    std::string proxyHost() const;
    int proxyPort() const;
    ProxyType proxyType() const;
    // A proxy auto-configuration script to evaluate for this request's URL.
    void setPACurl(const std::string &url);
    std::string PACurl() const;

    // Credentials for the server, and for the proxy. The domain is NTLM's account domain.
    void setUsername(const std::string &username);
    void setPassword(const std::string &password);
    void setDomain(const std::string &domain);
    void setProxyUsername(const std::string &username);
    void setProxyPassword(const std::string &password);
    void setProxyDomain(const std::string &domain);
    std::string username() const;
    std::string domain() const;
    std::string proxyUsername() const;
    std::string proxyDomain() const;
    void setShouldPresentProxyAuthenticationDialog(bool present);
    // Of the last challenge: the scheme ("Basic", "Digest", "NTLM", "Negotiate") and the realm.
    std::string authenticationScheme() const;
    std::string proxyAuthenticationScheme() const;
    std::string authenticationRealm() const;
    std::string proxyAuthenticationRealm() const;
    bool useKeychainPersistence() const;
    int authenticationRetryCount() const;
    int proxyAuthenticationRetryCount() const;
    // A request body: bytes appended in memory, or a file streamed from disk.
    void appendPostData(const std::string &bytes);
    void setPostBodyFilePath(const std::string &path);
    // The file destination of the body (used only when the delegate does not take the bytes).
    void setDownloadDestinationPath(const std::string &path);
    void setTemporaryFileDownloadPath(const std::string &path);
    void setAllowResumeForFileDownloads(bool allow);

    // Caller's thread: hands the request to the shared queue and returns at once.
    void startAsynchronous();

    // Any thread.
    void cancel();
    // No callback reaches the old delegate after this returns.
    void clearDelegatesAndCancel();
    // The delegate's answer to requestWillRedirectToURL().
    void redirectToURL(const std::string &url);
    // The delegate's answer to an authentication question when it has no credentials: fails with code 3.
    void cancelAuthentication();
    // The delegate's answer once it has set the user name and password (and domain): the request
    // applies them and continues.
    void retryUsingSuppliedCredentials();
    // Whether the request waits for the delegate's answer to an authentication question.
    bool isWaitingForCredentials() const;

    // Any thread; meaningful after the matching callback.
    std::string originalURL() const;
    int responseStatusCode() const;
    std::string responseStatusMessage() const;
    ZRHTTPHeaders responseHeaders() const;
    ZRHTTPErrorPtr error() const;
    std::uint64_t contentLength() const;
    std::uint64_t totalBytesRead() const;
    std::uint64_t partialDownloadSize() const;
    int redirectCount() const;
    int retryCount() const;
    bool connectionCanBeReused() const;
    // The pool record's "id" of the last connection used, 0 when none.
    std::int32_t connectionID() const;
    std::uint32_t requestID() const;
    // 0 none, 1 server, 2 proxy.
    int authenticationNeeded() const;
    bool isResponseCompressed() const;
    // The in-memory body, inflated when it came compressed; none when inflation fails.
    std::optional<std::string> responseData() const;
    // The in-memory body as UTF-8, decoded from the charset of "Content-Type" (ISO Latin 1 otherwise).
    std::optional<std::string> responseString() const;
    std::string responseEncoding() const;
    bool isExecuting() const;
    bool isFinished() const;
    bool isCancelled() const;
    bool isComplete() const;

    // Class operations; thread-safe.
    static ZRHTTPRequestQueue &sharedQueue();
    static double defaultTimeOutSeconds();
    static void setDefaultTimeOutSeconds(double seconds);
    // "Name version (X11; Linux machine; locale)"; none until the application has named itself.
    static std::optional<std::string> defaultUserAgentString();
    static void setDefaultUserAgentApplication(const std::string &name, const std::string &shortVersion,
        const std::string &buildVersion = {});
    static std::optional<std::chrono::system_clock::time_point> dateFromRFC1123String(const std::string &text);
    // Where callbacks run. The application passes a queued call on its main loop; without one they
    // run on the request thread.
    static void setCallbackExecutor(CallbackExecutor executor);
    // Sets the engine up ahead of its first request (the TLS library, the request thread), so that
    // this can go on beside other start-up work. Thread-safe; the first request does it otherwise.
    static void startEngine();
    // Where the engine's log lines go (a redirect that leaves TLS, a response it refuses); called
    // on the request thread, so it must be thread-safe. Without one they are dropped.
    using LogFunction = std::function<void(const std::string &line)>;
    static void setLogFunction(LogFunction function);
    // The system proxy settings, asked for requests without an explicit proxy; without one they go direct.
    static void setProxyResolver(std::shared_ptr<ProxyResolver> resolver);
    // The keyring for useKeychainPersistence; without one nothing is stored or found there.
    static void setCredentialStorage(std::shared_ptr<ZRHTTPCredentialStorage> storage);

    // Bandwidth, class-wide; thread-safe.
    static void setMaxBandwidthPerSecond(std::uint64_t bytesPerSecond);
    static std::uint64_t maxBandwidthPerSecond();
    static bool isBandwidthThrottled();
    static void incrementBandwidthUsedInLastSecond(std::uint64_t bytes);
    static std::uint64_t averageBandwidthUsedPerSecond();
    static void measureBandwidthUsage();
    static std::uint64_t maxUploadReadLength();

private:
    friend class ZRHTTPRequestQueue;
    explicit ZRHTTPRequest(const std::string &url);

    // Queue: the request now holds a slot.
    void start();

    // Request thread; each takes _cancelledLock.
    void main();
    void buildRequestHeaders();
    void startRequest();
    bool chooseConnection(ZRHTTPReadStream &stream);
    void scheduleReadStream();
    void unscheduleReadStream();
    void readStreamHandleEvent(ZRHTTPReadStream &stream, ZRHTTPStreamEvent event) override;
    void handleBytesAvailable();
    void readResponseHeaders();
    void handleStreamComplete();
    void handleStreamError();
    void checkRequestStatus();
    void performThrottling();
    void performThrottlingLocked();
    void performRedirect();
    void cancelOnRequestThread();
    // Credentials.
    void applyAuthorizationHeader();
    void applyProxyAuthorizationHeader();
    void attemptToApplyCredentialsAndResume(bool proxy);
    bool applyCredentials(bool proxy, const ZRHTTPCredentialsPtr &credentials);
    std::optional<ZRHTTPCredentials> findCredentials(bool proxy);
    std::optional<ZRHTTPSessionCredentials> sessionCredentials(bool proxy) const;
    bool askDelegateForCredentials(bool proxy);
    void saveAcceptedCredentials();
    void forgetServerCredentials(bool includingCaller);
    // Proxies.
    bool configureProxies();
    void fetchPACFile();
    void pacFileDidEnd(const std::optional<std::string> &script);
    void applyProxy(const Proxy &proxy);
    void cancelLoad();
    void destroyReadStream();
    void stopStatusTimer();
    void stopThrottleReleaseTimer();
    void markAsFinished();
    void failWithError(const ZRHTTPErrorPtr &error);
    void updatePartialDownloadSize();
    bool writeChunkToFiles(const std::string &chunk, const std::string *inflated);
    void finishFileDestination();
    void closeFileDestination(bool keepTemporaryFile);

    enum class Callback { started, responseHeaders, redirected, data, willRedirect, authentication,
        proxyAuthentication, finished, failed };
    void queueCallback(Callback callback, std::shared_ptr<const void> argument = nullptr);

    mutable std::recursive_mutex _cancelledLock;

    // Configuration.
    ZRHTTPRequestDelegate *_delegate = nullptr;
    std::string _url;
    std::string _originalURL;
    std::string _redirectURL;
    std::string _requestMethod = "GET";
    ZRHTTPHeaders _requestHeaders;
    std::string _userAgentString;
    double _timeOutSeconds;
    bool _shouldRedirect = true;
    bool _shouldUseRFC2616RedirectBehaviour = false;
    bool _shouldAttemptPersistentConnection = true;
    double _persistentConnectionTimeoutSeconds = 60.0;
    int _numberOfTimesToRetryOnTimeout = 0;
    bool _allowCompressedResponse = true;
    bool _shouldWaitToInflateCompressedResponses = true;
    bool _useCookiePersistence = true;
    bool _useSessionPersistence = true;
    bool _useKeychainPersistence = false;
    bool _shouldPresentCredentialsBeforeChallenge = true;
    bool _validatesSecureCertificate = true;
    bool _useHTTPVersionOne = false;
    int _cachePolicy = 0;
    std::string _proxyHost;
    int _proxyPort = 0;
    ProxyType _proxyType = ProxyType::http;
    std::string _pacURL;
    bool _isPACFileRequest = false;
    std::shared_ptr<ZRHTTPRequest> _pacFileRequest;
    std::shared_ptr<ZRHTTPRequestDelegate> _pacFileDelegate;
    bool _proxyResolved = false;
    bool _proxyCredentialsFromSettings = false;

    // Credentials and the state of the challenges.
    std::string _username;
    std::string _password;
    std::string _domain;
    std::string _proxyUsername;
    std::string _proxyPassword;
    std::string _proxyDomain;
    bool _shouldPresentProxyAuthenticationDialog = true;
    std::string _authenticationScheme;
    std::string _proxyAuthenticationScheme;
    std::string _authenticationRealm;
    std::string _proxyAuthenticationRealm;
    ZRHTTPAuthenticationPtr _requestAuthentication;
    ZRHTTPAuthenticationPtr _proxyAuthentication;
    ZRHTTPCredentialsPtr _requestCredentials;
    ZRHTTPCredentialsPtr _proxyCredentials;
    // Credentials the server or proxy refused: not offered again by themselves.
    std::optional<ZRHTTPCredentials> _rejectedCredentials;
    std::optional<ZRHTTPCredentials> _rejectedProxyCredentials;
    // Saved to the keyring once the server (or proxy) has accepted them.
    bool _keychainSavePending = false;
    bool _proxyKeychainSavePending = false;
    int _authenticationRetryCount = 0;
    int _proxyAuthenticationRetryCount = 0;
    // What the message carries: a Basic field of ours, or the one scheme libcurl answers with.
    std::string _authorizationHeader;
    std::string _proxyAuthorizationHeader;
    ZRHTTPAuthentication::Application _libraryAuthentication;
    ZRHTTPAuthentication::Application _libraryProxyAuthentication;
    // The stream whose response was the challenge: its handle carries the next attempt.
    std::unique_ptr<ZRHTTPReadStream> _challengedStream;
    std::string _postBody;
    std::string _postBodyFilePath;
    bool _haveBody = false;
    std::string _downloadDestinationPath;
    std::string _temporaryFileDownloadPath;
    std::string _temporaryUncompressedDataDownloadPath;
    bool _allowResumeForFileDownloads = false;

    // Life cycle.
    bool _inProgress = false;
    bool _complete = false;
    bool _downloadComplete = false;
    bool _finished = false;
    bool _cancelled = false;
    bool _needsRedirect = false;
    bool _waitingForRedirectDecision = false;
    bool _waitingForCredentials = false;
    int _authenticationNeeded = 0;
    bool _willRetryRequest = false;
    bool _haveBuiltRequestHeaders = false;
    bool _headerRead = false;
    ZRHTTPErrorPtr _error;
    ZRHTTPErrorPtr _fileError;

    // Response.
    int _responseStatusCode = 0;
    std::string _responseStatusMessage;
    ZRHTTPHeaders _responseHeaders;
    std::string _responseEncoding;
    std::uint64_t _contentLength = 0;
    std::uint64_t _totalBytesRead = 0;
    std::uint64_t _totalBytesSent = 0;
    std::uint64_t _lastBytesSent = 0;
    std::uint64_t _partialDownloadSize = 0;
    std::string _rawResponseData;
    bool _requestCarriedRange = false;
    int _redirectCount = 0;
    int _retryCount = 0;

    // Connection.
    bool _connectionCanBeReused = false;
    ZRHTTPConnectionPool::RecordPtr _connectionInfo;
    std::uint32_t _requestID = 0;
    std::int32_t _connectionID = 0;
    std::unique_ptr<ZRHTTPReadStream> _readStream;
    bool _readStreamIsScheduled = false;
    std::unique_ptr<ZRHTTPInputStream> _postBodyReadStream;
    std::unique_ptr<ZRDataDecompressor> _dataDecompressor;
    Clock::time_point _lastActivityTime;
    bool _haveLastActivityTime = false;
    std::optional<ZRHTTPRequestThread::TimerID> _statusTimer;
    std::optional<ZRHTTPRequestThread::TimerID> _throttleReleaseTimer;

    // Body bytes handed to the callback executor and not yet delivered; reading waits while there
    // are too many, so a slow caller's thread cannot make the engine buffer without bound.
    std::atomic<std::uint64_t> _undeliveredBytes{0};
    std::atomic<bool> _readingHeld{false};

    // File destination.
    int _fileDownloadOutput = -1;
    int _inflatedFileDownloadOutput = -1;
    bool _temporaryFileIsOurs = false;
};
