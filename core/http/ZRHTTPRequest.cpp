// The request's life cycle on the request thread: building the message, connections, events,
// redirects, time-outs, retries, cancellation, body destinations and the class-wide settings.
#include "core/http/ZRHTTPRequest.h"

#include "core/http/ZRDataDecompressor.h"
#include "core/http/ZRHTTPBandwidth.h"
#include "core/http/ZRHTTPBodyBuffer.h"
#include "core/http/ZRHTTPCookieStore.h"
#include "core/http/ZRHTTPDate.h"
#include "core/http/ZRHTTPInputStream.h"
#include "core/http/ZRHTTPRequestDelegate.h"
#include "core/http/ZRHTTPRequestQueue.h"
#include "core/http/ZRHTTPURL.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <typeinfo>
#include <unistd.h>

namespace {

constexpr auto statusCheckInterval = std::chrono::milliseconds(250);
constexpr auto throttleReleaseInterval = std::chrono::milliseconds(10);
constexpr int maximumRedirectCount = 5;
// Body bytes that may wait for the caller's thread per request before reading pauses.
constexpr std::uint64_t maximumUndeliveredBytes = 512 * 1024;
// Compressed bytes read at once when the body is inflated as it arrives.
constexpr std::size_t inflatingReadLength = 4096;

// A proxy script larger than this is not a script we evaluate.
constexpr std::size_t maximumPACFileSize = 1024 * 1024;
constexpr std::size_t pacFileReadLength = 16384;

struct ClassState {
    std::mutex mutex;
    std::shared_ptr<ZRHTTPRequest::ProxyResolver> proxyResolver;
    double defaultTimeOutSeconds = 10.0;
    std::optional<std::string> defaultUserAgent;
    std::shared_ptr<const ZRHTTPRequest::CallbackExecutor> executor;
    std::shared_ptr<const ZRHTTPRequest::LogFunction> logFunction;
};

ClassState &classState()
{
    static ClassState state;
    return state;
}

constexpr const char *pacFailureLogFormat = "cannot use the proxy script <%s>: %s; going direct";
constexpr const char *leftTLSLogFormat =
    "redirect from <%s> to <%s> leaves TLS: the download goes on unencrypted, without Referer";

void log(const std::string &line)
{
    std::shared_ptr<const ZRHTTPRequest::LogFunction> function;
    {
        std::lock_guard lock(classState().mutex);
        function = classState().logFunction;
    }
    if (function && *function)
        (*function)(line);
}

std::string formatted(const char *format, const std::string &first, const std::string &second = {})
{
    std::string result;
    std::size_t argument = 0;
    for (const char *c = format; *c; ++c) {
        if (c[0] == '%' && c[1] == 's') {
            result += argument++ == 0 ? first : second;
            ++c;
        } else {
            result += *c;
        }
    }
    return result;
}

ZRHTTPErrorPtr posixError(int code)
{
    return ZRHTTPError::make(code, std::strerror(code), nullptr, ZRPOSIXErrorDomain);
}

ZRHTTPErrorPtr fileError(const std::string &message, int posixCode)
{
    return ZRHTTPError::make(ZRHTTPFileManagementErrorCode, message, posixCode ? posixError(posixCode) : nullptr);
}

bool isRetryableTransportError(CURLcode code)
{
    return code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING;
}

bool isTLSTransportError(CURLcode code)
{
    switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
        return true;
    default:
        return false;
    }
}

bool fileExists(const std::string &path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

bool writeAll(int descriptor, const char *data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(descriptor, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

std::string temporaryDirectory()
{
    const char *folder = std::getenv("TMPDIR");
    return folder && *folder ? folder : "/tmp";
}

// A new empty file with a name no other request uses.
std::string makeUniqueTemporaryFile()
{
    std::string pattern = temporaryDirectory() + "/quorvel-body-XXXXXX";
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0)
        return {};
    ::close(descriptor);
    return pattern;
}

// rename(2) cannot cross file systems; the temporary folder is often on another one.
int moveFile(const std::string &source, const std::string &destination)
{
    if (::rename(source.c_str(), destination.c_str()) == 0)
        return 0;
    if (errno != EXDEV)
        return errno;
    const int input = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0)
        return errno;
    const int output = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) {
        const int error = errno;
        ::close(input);
        return error;
    }
    std::string buffer(262144, '\0');
    int error = 0;
    for (;;) {
        const ssize_t count = ::read(input, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            error = errno;
            break;
        }
        if (count == 0)
            break;
        if (!writeAll(output, buffer.data(), static_cast<std::size_t>(count))) {
            error = errno;
            break;
        }
    }
    ::close(input);
    if (::close(output) != 0 && !error)
        error = errno;
    if (error) {
        ::unlink(destination.c_str());
        return error;
    }
    ::unlink(source.c_str());
    return 0;
}

std::string demangledName(const std::type_info &type)
{
    int status = 0;
    char *name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string result = status == 0 && name ? name : type.name();
    std::free(name);
    return result;
}

std::string localeIdentifier()
{
    for (const char *variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *value = std::getenv(variable);
        if (!value || !*value)
            continue;
        std::string locale(value);
        locale = locale.substr(0, locale.find_first_of(".@"));
        if (locale.empty() || locale == "C" || locale == "POSIX")
            return "en_US_POSIX";
        return locale;
    }
    return "en_US_POSIX";
}

std::string machineArchitecture()
{
    struct utsname names {};
    if (::uname(&names) != 0)
        return "unknown";
    return names.machine;
}

} // namespace

// MARK: - Creation and configuration

std::shared_ptr<ZRHTTPRequest> ZRHTTPRequest::requestWithURL(const std::string &url)
{
    return std::shared_ptr<ZRHTTPRequest>(new ZRHTTPRequest(url));
}

ZRHTTPRequest::ZRHTTPRequest(const std::string &url) : _url(url), _timeOutSeconds(defaultTimeOutSeconds()) {}

ZRHTTPRequest::~ZRHTTPRequest()
{
    closeFileDestination(true);
    // Easy handles and timers belong to the request thread.
    if ((_readStream || _challengedStream || _statusTimer || _throttleReleaseTimer) && !ZRHTTPRequestThread::hasStopped()) {
        auto &thread = ZRHTTPRequestThread::shared();
        std::shared_ptr<ZRHTTPReadStream> stream(std::move(_readStream));
        std::shared_ptr<ZRHTTPReadStream> challenged(std::move(_challengedStream));
        const auto timer = _statusTimer;
        const auto releaseTimer = _throttleReleaseTimer;
        auto cleanUp = [stream, challenged, timer, releaseTimer]() mutable {
            for (const auto &each : {timer, releaseTimer}) {
                if (each)
                    ZRHTTPRequestThread::shared().removeTimer(*each);
            }
            stream.reset();
            challenged.reset();
        };
        if (thread.isCurrentThread())
            cleanUp();
        else
            thread.post(std::move(cleanUp));
    }
}

void ZRHTTPRequest::setDelegate(ZRHTTPRequestDelegate *delegate)
{
    std::lock_guard lock(_cancelledLock);
    _delegate = delegate;
}

ZRHTTPRequestDelegate *ZRHTTPRequest::delegate() const
{
    std::lock_guard lock(_cancelledLock);
    return _delegate;
}

void ZRHTTPRequest::setURL(const std::string &url)
{
    std::lock_guard lock(_cancelledLock);
    if (url == _url)
        return;
    _url = url;
    _redirectURL.clear();
}

std::string ZRHTTPRequest::url() const
{
    std::lock_guard lock(_cancelledLock);
    return _url;
}

void ZRHTTPRequest::setRequestMethod(const std::string &method)
{
    std::lock_guard lock(_cancelledLock);
    _requestMethod = method;
    // A request that changes the server's state is not sent on a connection that may have gone stale.
    if (method == "POST" || method == "PUT" || _haveBody)
        _shouldAttemptPersistentConnection = false;
}

std::string ZRHTTPRequest::requestMethod() const
{
    std::lock_guard lock(_cancelledLock);
    return _requestMethod;
}

void ZRHTTPRequest::setRequestHeaders(const ZRHTTPHeaders &headers)
{
    std::lock_guard lock(_cancelledLock);
    _requestHeaders = headers;
}

void ZRHTTPRequest::addRequestHeader(const std::string &name, const std::string &value)
{
    std::lock_guard lock(_cancelledLock);
    _requestHeaders.insert_or_assign(name, value);
}

ZRHTTPHeaders ZRHTTPRequest::requestHeaders() const
{
    std::lock_guard lock(_cancelledLock);
    return _requestHeaders;
}

#define ZR_LOCKED_SETTER(function, type, field)                                                                         \
    void ZRHTTPRequest::function(type value)                                                                            \
    {                                                                                                                   \
        std::lock_guard lock(_cancelledLock);                                                                           \
        field = value;                                                                                                  \
    }

ZR_LOCKED_SETTER(setUserAgentString, const std::string &, _userAgentString)
ZR_LOCKED_SETTER(setTimeOutSeconds, double, _timeOutSeconds)
ZR_LOCKED_SETTER(setShouldRedirect, bool, _shouldRedirect)
ZR_LOCKED_SETTER(setShouldUseRFC2616RedirectBehaviour, bool, _shouldUseRFC2616RedirectBehaviour)
ZR_LOCKED_SETTER(setShouldAttemptPersistentConnection, bool, _shouldAttemptPersistentConnection)
ZR_LOCKED_SETTER(setPersistentConnectionTimeoutSeconds, double, _persistentConnectionTimeoutSeconds)
ZR_LOCKED_SETTER(setNumberOfTimesToRetryOnTimeout, int, _numberOfTimesToRetryOnTimeout)
ZR_LOCKED_SETTER(setAllowCompressedResponse, bool, _allowCompressedResponse)
ZR_LOCKED_SETTER(setShouldWaitToInflateCompressedResponses, bool, _shouldWaitToInflateCompressedResponses)
ZR_LOCKED_SETTER(setUseCookiePersistence, bool, _useCookiePersistence)
ZR_LOCKED_SETTER(setUseSessionPersistence, bool, _useSessionPersistence)
ZR_LOCKED_SETTER(setUseKeychainPersistence, bool, _useKeychainPersistence)
ZR_LOCKED_SETTER(setShouldPresentCredentialsBeforeChallenge, bool, _shouldPresentCredentialsBeforeChallenge)
ZR_LOCKED_SETTER(setValidatesSecureCertificate, bool, _validatesSecureCertificate)
ZR_LOCKED_SETTER(setUseHTTPVersionOne, bool, _useHTTPVersionOne)
ZR_LOCKED_SETTER(setCachePolicy, int, _cachePolicy)
ZR_LOCKED_SETTER(setProxyHost, const std::string &, _proxyHost)
ZR_LOCKED_SETTER(setProxyPort, int, _proxyPort)
ZR_LOCKED_SETTER(setProxyType, ProxyType, _proxyType)
ZR_LOCKED_SETTER(setPACurl, const std::string &, _pacURL)
ZR_LOCKED_SETTER(setUsername, const std::string &, _username)
ZR_LOCKED_SETTER(setPassword, const std::string &, _password)
ZR_LOCKED_SETTER(setDomain, const std::string &, _domain)
ZR_LOCKED_SETTER(setProxyUsername, const std::string &, _proxyUsername)
ZR_LOCKED_SETTER(setProxyPassword, const std::string &, _proxyPassword)
ZR_LOCKED_SETTER(setProxyDomain, const std::string &, _proxyDomain)
ZR_LOCKED_SETTER(setShouldPresentProxyAuthenticationDialog, bool, _shouldPresentProxyAuthenticationDialog)
ZR_LOCKED_SETTER(setDownloadDestinationPath, const std::string &, _downloadDestinationPath)
ZR_LOCKED_SETTER(setTemporaryFileDownloadPath, const std::string &, _temporaryFileDownloadPath)
ZR_LOCKED_SETTER(setAllowResumeForFileDownloads, bool, _allowResumeForFileDownloads)

#undef ZR_LOCKED_SETTER

double ZRHTTPRequest::timeOutSeconds() const
{
    std::lock_guard lock(_cancelledLock);
    return _timeOutSeconds;
}

bool ZRHTTPRequest::shouldAttemptPersistentConnection() const
{
    std::lock_guard lock(_cancelledLock);
    return _shouldAttemptPersistentConnection;
}

double ZRHTTPRequest::persistentConnectionTimeoutSeconds() const
{
    std::lock_guard lock(_cancelledLock);
    return _persistentConnectionTimeoutSeconds;
}

void ZRHTTPRequest::appendPostData(const std::string &bytes)
{
    std::lock_guard lock(_cancelledLock);
    _postBody += bytes;
    _postBodyFilePath.clear();
    _haveBody = true;
}

void ZRHTTPRequest::setPostBodyFilePath(const std::string &path)
{
    std::lock_guard lock(_cancelledLock);
    _postBodyFilePath = path;
    _postBody.clear();
    _haveBody = !path.empty();
}

// MARK: - Control

void ZRHTTPRequest::startAsynchronous()
{
    sharedQueue().addOperation(shared_from_this());
}

void ZRHTTPRequest::start()
{
    {
        std::lock_guard lock(_cancelledLock);
        _inProgress = true;
    }
    ZRHTTPRequestThread::shared().post([self = shared_from_this()] { self->main(); });
}

void ZRHTTPRequest::cancel()
{
    ZRHTTPRequestThread::shared().post([self = shared_from_this()] { self->cancelOnRequestThread(); });
}

void ZRHTTPRequest::clearDelegatesAndCancel()
{
    {
        std::lock_guard lock(_cancelledLock);
        _delegate = nullptr;
    }
    cancel();
}

void ZRHTTPRequest::redirectToURL(const std::string &url)
{
    ZRHTTPRequestThread::shared().post([self = shared_from_this(), url] {
        std::lock_guard lock(self->_cancelledLock);
        if (self->_cancelled || self->_finished || self->_error)
            return;
        self->_redirectURL = url;
        self->_waitingForRedirectDecision = false;
        self->performRedirect();
    });
}

void ZRHTTPRequest::cancelAuthentication()
{
    ZRHTTPRequestThread::shared().post([self = shared_from_this()] {
        std::lock_guard lock(self->_cancelledLock);
        if (!self->_waitingForCredentials)
            return;
        self->_waitingForCredentials = false;
        self->failWithError(ZRHTTPError::authenticationError());
    });
}

void ZRHTTPRequest::retryUsingSuppliedCredentials()
{
    ZRHTTPRequestThread::shared().post([self = shared_from_this()] {
        std::lock_guard lock(self->_cancelledLock);
        if (!self->_waitingForCredentials || self->_cancelled || self->_error)
            return;
        self->_waitingForCredentials = false;
        self->attemptToApplyCredentialsAndResume(self->_authenticationNeeded == 2);
    });
}

// MARK: - Building and sending

void ZRHTTPRequest::main()
{
    auto self = shared_from_this();
    std::lock_guard lock(_cancelledLock);
    try {
        // Cancelled while it waited in the queue: no connection is made.
        if (_error) {
            _complete = true;
            markAsFinished();
            return;
        }
        _complete = false;
        if (_url.empty() || !ZRHTTPURL::partsOfURL(_url)) {
            failWithError(ZRHTTPError::unableToCreateRequestError());
            return;
        }
        if (_haveBody) {
            std::uint64_t length = _postBody.size();
            if (!_postBodyFilePath.empty()) {
                struct stat status {};
                if (::stat(_postBodyFilePath.c_str(), &status) != 0) {
                    failWithError(fileError(formatted(ZRHTTPErrorMessage::attributesOfFileFormat, _postBodyFilePath), errno));
                    return;
                }
                length = static_cast<std::uint64_t>(status.st_size);
            }
            _requestHeaders.insert_or_assign("Content-Length", std::to_string(length));
            if (_requestMethod == "GET" || _requestMethod == "DELETE" || _requestMethod == "HEAD")
                setRequestMethod("POST");
        }
        if (!_haveBuiltRequestHeaders) {
            buildRequestHeaders();
            if (_error)
                return;
        }
        // A CR, LF or NUL would end a field early and let the rest pass for fields of its own.
        if (auto name = ZRHTTPHeaderFields::unsafeHeaderFieldName(_requestHeaders)) {
            failWithError(ZRHTTPError::make(ZRHTTPUnableToCreateRequestErrorCode,
                formatted(ZRHTTPErrorMessage::invalidHeaderFieldFormat, *name)));
            return;
        }
        if (_requestMethod.empty() || _requestMethod.find_first_of(std::string_view(" \t\r\n\0", 5)) != std::string::npos) {
            failWithError(ZRHTTPError::unableToCreateRequestError());
            return;
        }
        applyAuthorizationHeader();
        if (configureProxies())
            startRequest();
    } catch (const std::exception &exception) {
        const std::string name = demangledName(typeid(exception));
        auto underlying = std::make_shared<ZRHTTPError>();
        underlying->domain = ZRHTTPRequestErrorDomain;
        underlying->code = ZRHTTPUnhandledExceptionErrorCode;
        underlying->localizedDescription = name;
        underlying->failureReason = exception.what();
        auto error = std::make_shared<ZRHTTPError>(*underlying);
        error->underlyingError = underlying;
        failWithError(error);
    }
}

void ZRHTTPRequest::buildRequestHeaders()
{
    _haveBuiltRequestHeaders = true;
    if (!_requestHeaders.count("User-Agent")) {
        if (!_userAgentString.empty())
            _requestHeaders.insert_or_assign("User-Agent", _userAgentString);
        else if (auto userAgent = defaultUserAgentString())
            _requestHeaders.insert_or_assign("User-Agent", *userAgent);
    }
    if (_allowCompressedResponse)
        _requestHeaders.insert_or_assign("Accept-Encoding", "gzip");
    updatePartialDownloadSize();
    if (_error)
        return;
    if (_partialDownloadSize > 0)
        _requestHeaders.insert_or_assign("Range", "bytes=" + std::to_string(_partialDownloadSize) + "-");
}

void ZRHTTPRequest::updatePartialDownloadSize()
{
    if (!_allowResumeForFileDownloads || _downloadDestinationPath.empty() || _temporaryFileDownloadPath.empty())
        return;
    struct stat status {};
    if (::stat(_temporaryFileDownloadPath.c_str(), &status) != 0) {
        if (errno != ENOENT)
            failWithError(fileError(formatted(ZRHTTPErrorMessage::attributesOfFileFormat, _temporaryFileDownloadPath), errno));
        return;
    }
    _partialDownloadSize = static_cast<std::uint64_t>(status.st_size);
}

void ZRHTTPRequest::startRequest()
{
    if (_cancelled)
        return;
    queueCallback(Callback::started);

    _downloadComplete = false;
    _complete = false;
    _totalBytesRead = 0;
    _contentLength = 0;
    _totalBytesSent = 0;
    _lastBytesSent = 0;
    _responseHeaders.clear();
    _headerRead = false;
    _authenticationNeeded = 0;
    _needsRedirect = false;
    if (_redirectCount == 0)
        _originalURL = _url;
    if (_downloadDestinationPath.empty())
        _rawResponseData.clear();
    _dataDecompressor.reset();
    destroyReadStream();

    // An answer to a challenge goes out on the handle that got the challenge: libcurl keeps what it
    // learnt from it there.
    std::unique_ptr<ZRHTTPReadStream> stream;
    // Basic is ours: its answer needs nothing of the old handle.
    if (!_libraryAuthentication.curlScheme && !_libraryProxyAuthentication.curlScheme)
        _challengedStream.reset();
    if (_challengedStream) {
        stream = std::make_unique<ZRHTTPReadStream>(static_cast<ZRHTTPReadStreamClient *>(this),
            _challengedStream->releaseHandle());
        _challengedStream.reset();
    } else {
        stream = std::make_unique<ZRHTTPReadStream>(static_cast<ZRHTTPReadStreamClient *>(this));
    }
    if (!stream->isValid()) {
        failWithError(ZRHTTPError::make(ZRHTTPInternalErrorWhileBuildingRequestCode,
            ZRHTTPErrorMessage::unableToCreateReadStream));
        return;
    }
    CURL *handle = stream->handle();
    // Credentials written into the URL are answered to a challenge by us, never sent by libcurl.
    const std::string wireURL = ZRHTTPURL::urlWithoutCredentials(_url);
    curl_easy_setopt(handle, CURLOPT_URL, wireURL.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, _useHTTPVersionOne ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);

    if (_haveBody) {
        _postBodyReadStream = _postBodyFilePath.empty()
            ? ZRHTTPInputStream::inputStreamWithData(_postBody, [this] { performThrottlingLocked(); })
            : ZRHTTPInputStream::inputStreamWithFileAtPath(_postBodyFilePath, [this] { performThrottlingLocked(); });
        const std::uint64_t length = _postBodyFilePath.empty() ? _postBody.size()
                                                               : ZRHTTPHeaderFields::contentLengthFromString(
                                                                   _requestHeaders["Content-Length"]);
        stream->setBody(&ZRHTTPInputStream::curlReadCallback, &ZRHTTPInputStream::curlSeekCallback,
            _postBodyReadStream.get(), length);
        if (_requestMethod != "POST")
            curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, _requestMethod.c_str());
    } else if (_requestMethod == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (_requestMethod != "GET") {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, _requestMethod.c_str());
    }

    curl_slist *headerList = nullptr;
    std::string callerCookies;
    for (const auto &[name, value] : _requestHeaders) {
        if (_useCookiePersistence && ZRHTTPHeaderFields::lowercased(name) == "cookie") {
            callerCookies = value;
            continue;
        }
        // "Name;" is curl's way of sending a field with an empty value.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        headerList = curl_slist_append(headerList, line.c_str());
    }
    // The caller's own field wins over ours.
    if (!_authorizationHeader.empty() && !_requestHeaders.count("Authorization"))
        headerList = curl_slist_append(headerList, ("Authorization: " + _authorizationHeader).c_str());
    if (_haveBody) {
        // curl would otherwise add fields of its own to a body it sends.
        if (!_requestHeaders.count("Content-Type"))
            headerList = curl_slist_append(headerList, "Content-Type:");
        headerList = curl_slist_append(headerList, "Expect:");
    }
    stream->setHeaderList(headerList);
    _requestCarriedRange = _requestHeaders.count("Range") > 0;

    // The store's cookies for this URL and the caller's own go out in one "Cookie" field.
    if (_useCookiePersistence) {
        ZRHTTPCookieStore::sharedStore().attachToHandle(handle);
        if (!callerCookies.empty())
            curl_easy_setopt(handle, CURLOPT_COOKIE, callerCookies.c_str());
    }

    if (!_validatesSecureCertificate) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    }

    // Exactly one scheme, named by the challenge, and only on the stream answering it: libcurl never
    // picks a scheme or sends credentials on its own.
    curl_easy_setopt(handle, CURLOPT_HTTPAUTH, _libraryAuthentication.curlScheme ? _libraryAuthentication.curlScheme
                                                                                 : long(CURLAUTH_BASIC));
    curl_easy_setopt(handle, CURLOPT_USERNAME, _libraryAuthentication.curlScheme ? _libraryAuthentication.username.c_str() : nullptr);
    curl_easy_setopt(handle, CURLOPT_PASSWORD, _libraryAuthentication.curlScheme ? _libraryAuthentication.password.c_str() : nullptr);

    // Always explicit, so that proxy variables of the environment never apply.
    const bool usesProxy = !_proxyHost.empty() && _proxyPort != 0;
    std::string proxy;
    if (usesProxy) {
        const bool ipv6 = _proxyHost.find(':') != std::string::npos && _proxyHost.front() != '[';
        const std::string host = ipv6 ? "[" + _proxyHost + "]" : _proxyHost;
        const char *scheme = "http://";
        switch (_proxyType) {
        case ProxyType::http: scheme = "http://"; break;
        case ProxyType::https: scheme = "https://"; break;
        case ProxyType::socks4: scheme = "socks4://"; break;
        case ProxyType::socks4a: scheme = "socks4a://"; break;
        case ProxyType::socks5: scheme = "socks5://"; break;
        case ProxyType::socks5h: scheme = "socks5h://"; break;
        }
        proxy = scheme + host + ":" + std::to_string(_proxyPort);
        if (_proxyAuthorizationHeader.empty() && !_libraryProxyAuthentication.curlScheme)
            applyProxyAuthorizationHeader();
    }
    curl_easy_setopt(handle, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
    if (!_validatesSecureCertificate) {
        curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
    }
    // The proxy's credentials go to the proxy alone (in the CONNECT request when tunnelling), the
    // server's to the server alone.
    curl_easy_setopt(handle, CURLOPT_HEADEROPT, long(CURLHEADER_SEPARATE));
    const bool socks = usesProxy && _proxyType != ProxyType::http && _proxyType != ProxyType::https;
    curl_slist *proxyHeaderList = nullptr;
    if (usesProxy && !socks && !_proxyAuthorizationHeader.empty())
        proxyHeaderList = curl_slist_append(proxyHeaderList, ("Proxy-Authorization: " + _proxyAuthorizationHeader).c_str());
    stream->setProxyHeaderList(proxyHeaderList);
    const bool libraryProxyAuthentication = usesProxy && !socks && _libraryProxyAuthentication.curlScheme;
    curl_easy_setopt(handle, CURLOPT_PROXYAUTH,
        libraryProxyAuthentication ? _libraryProxyAuthentication.curlScheme : long(CURLAUTH_BASIC));
    // A SOCKS 5 proxy takes its user name and password in its own greeting.
    const bool socksCredentials = socks && (_proxyType == ProxyType::socks5 || _proxyType == ProxyType::socks5h)
        && !_proxyUsername.empty();
    curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, libraryProxyAuthentication ? _libraryProxyAuthentication.username.c_str()
            : socksCredentials ? _proxyUsername.c_str() : nullptr);
    curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, libraryProxyAuthentication ? _libraryProxyAuthentication.password.c_str()
            : socksCredentials ? _proxyPassword.c_str() : nullptr);
    stream->setLibraryAnswersChallenges(_libraryAuthentication.curlScheme || libraryProxyAuthentication);
    const auto urlParts = ZRHTTPURL::partsOfURL(_url);
    stream->setExpectsTunnel(usesProxy && !socks && urlParts && urlParts->scheme == "https");

    chooseConnection(*stream);
    stream->setAttemptsPersistentConnection(_shouldAttemptPersistentConnection);
    stream->setReceiveBufferLimit(ZRHTTPBandwidth::shared().throttledReceiveBufferSize());
    _readStream = std::move(stream);
    _readStreamIsScheduled = false;

    // While throttled streams are parked, a new one waits with them.
    if (!ZRHTTPBandwidth::shared().isThrottleResumeTimeInFuture())
        scheduleReadStream();
    if (!_readStream->open()) {
        _connectionCanBeReused = false;
        destroyReadStream();
        failWithError(ZRHTTPError::make(ZRHTTPInternalErrorWhileBuildingRequestCode,
            ZRHTTPErrorMessage::unableToStartConnection));
        return;
    }
    _lastActivityTime = Clock::now();
    _haveLastActivityTime = true;
    if (!_statusTimer) {
        std::weak_ptr<ZRHTTPRequest> weak = weak_from_this();
        _statusTimer = ZRHTTPRequestThread::shared().addRepeatingTimer(statusCheckInterval, [weak] {
            if (auto request = weak.lock())
                request->checkRequestStatus();
        });
    }
}

bool ZRHTTPRequest::chooseConnection(ZRHTTPReadStream &stream)
{
    auto &pool = ZRHTTPConnectionPool::shared();
    const auto parts = ZRHTTPURL::partsOfURL(_url);
    if (!parts || parts->host.empty() || parts->scheme.empty())
        _shouldAttemptPersistentConnection = false;
    if (!_shouldAttemptPersistentConnection) {
        pool.expireIdleRecords();
        _connectionInfo.reset();
        _connectionID = 0;
        curl_easy_setopt(stream.handle(), CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(stream.handle(), CURLOPT_FORBID_REUSE, 1L);
        return false;
    }
    if (!_requestID)
        _requestID = pool.nextRequestID();
    const auto choice = pool.chooseRecord(_connectionInfo, parts->host, parts->scheme, parts->port, _requestID);
    _connectionInfo = choice.record;
    _connectionID = choice.record->id;
    // Without an idle record for this server there is no connection we mean to re-use.
    if (choice.isNewConnection)
        curl_easy_setopt(stream.handle(), CURLOPT_FRESH_CONNECT, 1L);
    return !choice.isNewConnection;
}

void ZRHTTPRequest::scheduleReadStream()
{
    if (!_readStream || _readStreamIsScheduled)
        return;
    _readStream->setScheduled(true);
    _readStreamIsScheduled = true;
    ZRHTTPConnectionPool::shared().streamWasScheduled();
    _lastActivityTime = Clock::now();
    _haveLastActivityTime = true;
}

void ZRHTTPRequest::unscheduleReadStream()
{
    if (!_readStream || !_readStreamIsScheduled)
        return;
    _readStream->setScheduled(false);
    _readStreamIsScheduled = false;
    ZRHTTPConnectionPool::shared().streamWasUnscheduled();
}

void ZRHTTPRequest::destroyReadStream()
{
    if (!_readStream)
        return;
    unscheduleReadStream();
    _readStream->close();
    _readStream.reset();
}

void ZRHTTPRequest::stopStatusTimer()
{
    stopThrottleReleaseTimer();
    if (!_statusTimer)
        return;
    ZRHTTPRequestThread::shared().removeTimer(*_statusTimer);
    _statusTimer.reset();
}

// MARK: - Events

void ZRHTTPRequest::readStreamHandleEvent(ZRHTTPReadStream &stream, ZRHTTPStreamEvent event)
{
    auto self = shared_from_this();
    std::lock_guard lock(_cancelledLock);
    if (&stream != _readStream.get() || _complete || _cancelled)
        return;
    switch (event) {
    case ZRHTTPStreamEvent::endEncountered:
        handleStreamComplete();
        break;
    case ZRHTTPStreamEvent::errorOccurred:
        handleStreamError();
        break;
    case ZRHTTPStreamEvent::bytesAvailable:
        handleBytesAvailable();
        break;
    case ZRHTTPStreamEvent::none:
        break;
    }
    performThrottling();

    if (_downloadComplete && _needsRedirect && !_cancelled && !_error) {
        if (_delegate && _delegate->respondsToWillRedirect()) {
            const std::string target = _redirectURL;
            _redirectURL.clear();
            _waitingForRedirectDecision = true;
            queueCallback(Callback::willRedirect, std::make_shared<const std::string>(target));
        } else {
            performRedirect();
        }
    } else if (_downloadComplete && _authenticationNeeded && !_cancelled && !_error && !_waitingForCredentials) {
        attemptToApplyCredentialsAndResume(_authenticationNeeded == 2);
    }
}

void ZRHTTPRequest::handleBytesAvailable()
{
    if (!_headerRead) {
        readResponseHeaders();
        if (_complete || !_headerRead)
            return;
    }
    if (!_readStream || _readStream->bytesAvailable() == 0)
        return;
    if (_undeliveredBytes >= maximumUndeliveredBytes) {
        _readingHeld = true;
        // The caller's thread may have caught up in between; it only wakes us when it saw the hold.
        if (_undeliveredBytes >= maximumUndeliveredBytes)
            return;
        _readingHeld = false;
    }

    std::size_t bufferSize =
        ZRHTTPReadStream::readLengthForContentLength(_contentLength);
    _readStream->setPreferredReadLength(bufferSize);
    auto &bandwidth = ZRHTTPBandwidth::shared();
    // The cap may have changed since the stream started.
    _readStream->setReceiveBufferLimit(bandwidth.throttledReceiveBufferSize());
    if (bandwidth.isBandwidthThrottled())
        bufferSize = bandwidth.readLengthForBufferSize(bufferSize);
    const bool compressed = _responseHeaders.count("Content-Encoding")
        && _responseHeaders.at("Content-Encoding").find("gzip") != std::string::npos;
    const bool inflatesChunks = compressed && !_shouldWaitToInflateCompressedResponses;
    // Small compressed reads keep what one read inflates to within a few MiB.
    if (inflatesChunks)
        bufferSize = std::min(bufferSize, inflatingReadLength);

    std::string chunk = _readStream->read(bufferSize);
    if (chunk.empty())
        return;
    const std::size_t rawLength = chunk.size();

    std::optional<std::string> inflated;
    if (inflatesChunks) {
        if (!_dataDecompressor)
            _dataDecompressor = ZRDataDecompressor::decompressor();
        ZRHTTPErrorPtr error;
        inflated = _dataDecompressor->uncompressBytes(chunk.data(), chunk.size(), &error);
        if (error) {
            cancelLoad();
            failWithError(error);
            return;
        }
        if (!inflated)
            inflated = std::string();
    }

    _totalBytesRead += rawLength;
    _lastActivityTime = Clock::now();
    bandwidth.incrementBandwidthUsedInLastSecond(rawLength);

    // The body of a redirect must not end up in a file that the next response resumes.
    if (_needsRedirect && _shouldRedirect && _allowResumeForFileDownloads)
        return;

    if (_delegate && _delegate->respondsToDidReceiveData()) {
        // Not const: the caller's thread gives the buffer back to the pool once delivered.
        auto bytes = std::make_shared<std::string>(inflated ? std::move(*inflated) : std::move(chunk));
        _undeliveredBytes += bytes->size();
        if (inflated)
            ZRHTTPBodyBuffer::recycle(std::move(chunk));
        queueCallback(Callback::data, std::move(bytes));
    } else if (!_downloadDestinationPath.empty()) {
        if (!writeChunkToFiles(chunk, inflated ? &*inflated : nullptr)) {
            cancelLoad();
            failWithError(_fileError);
        }
        ZRHTTPBodyBuffer::recycle(std::move(chunk));
    } else {
        _rawResponseData += inflated ? *inflated : chunk;
        ZRHTTPBodyBuffer::recycle(std::move(chunk));
        // A proxy script is small; anything larger is not one.
        if (_isPACFileRequest && _rawResponseData.size() > maximumPACFileSize) {
            cancelLoad();
            failWithError(ZRHTTPError::make(ZRHTTPFileManagementErrorCode, "proxy script too large"));
        }
    }
}

void ZRHTTPRequest::readResponseHeaders()
{
    if (!_readStream || !_readStream->isResponseHeaderComplete())
        return;
    _headerRead = true;
    _authenticationNeeded = 0;
    _responseHeaders = _readStream->responseHeaders();
    _responseStatusCode = _readStream->statusCode();
    _responseStatusMessage = _readStream->statusLine();
    if (_responseStatusCode == 401)
        _authenticationNeeded = 1;
    else if (_responseStatusCode == 407)
        _authenticationNeeded = 2;
    saveAcceptedCredentials();

    const auto contentType = _responseHeaders.find("Content-Type");
    _responseEncoding = contentType != _responseHeaders.end()
        ? ZRHTTPHeaderFields::charsetFromContentType(contentType->second)
        : std::string();

    const auto location = _responseHeaders.find("Location");
    std::optional<std::string> target;
    if (_shouldRedirect && location != _responseHeaders.end() && ZRHTTPHeaderFields::isRedirectStatus(_responseStatusCode))
        target = ZRHTTPURL::resolvedURL(_url, location->second);
    if (target) {
        queueCallback(Callback::redirected);
        const bool keepMessage = ZRHTTPHeaderFields::redirectKeepsMethod(_responseStatusCode)
            || (_responseStatusCode != 303 && _shouldUseRFC2616RedirectBehaviour);
        if (!keepMessage) {
            setRequestMethod("GET");
            _postBody.clear();
            _postBodyFilePath.clear();
            _haveBody = false;
            ZRHTTPHeaders kept;
            for (const char *name : {"User-Agent", "Accept"}) {
                auto found = _requestHeaders.find(name);
                if (found != _requestHeaders.end())
                    kept.insert(*found);
            }
            _requestHeaders = std::move(kept);
            _haveBuiltRequestHeaders = false;
        }
        _redirectURL = *target;
        _needsRedirect = true;
    } else {
        const auto length = _responseHeaders.find("Content-Length");
        _contentLength = length != _responseHeaders.end() ? ZRHTTPHeaderFields::contentLengthFromString(length->second) : 0;
    }

    _connectionCanBeReused = _readStream->canConnectionBeReused();
    if (const auto timeout = _readStream->persistentConnectionTimeoutSeconds())
        _persistentConnectionTimeoutSeconds = *timeout;

    queueCallback(Callback::responseHeaders, std::make_shared<const ZRHTTPHeaders>(_responseHeaders));
}

void ZRHTTPRequest::handleStreamComplete()
{
    stopStatusTimer();
    _downloadComplete = true;
    if (!_headerRead)
        readResponseHeaders();
    if (_readStream)
        _totalBytesSent = _readStream->bytesWritten();
    _complete = true;
    if (_contentLength == 0)
        _contentLength = _totalBytesRead;
    if (_postBodyReadStream)
        _postBodyReadStream->close();
    if (_dataDecompressor) {
        _dataDecompressor->closeStream();
        _dataDecompressor.reset();
    }
    if (!_downloadDestinationPath.empty() && !(_needsRedirect && _allowResumeForFileDownloads))
        finishFileDestination();

    auto &pool = ZRHTTPConnectionPool::shared();
    if (!_connectionCanBeReused)
        unscheduleReadStream();
    pool.releaseRecord(_connectionInfo,
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(_persistentConnectionTimeoutSeconds)));
    // curl keeps a re-usable connection in its cache after the easy handle is gone. A challenge
    // keeps its handle for the answer.
    if (_authenticationNeeded && _readStream) {
        unscheduleReadStream();
        _readStream->close();
        _challengedStream = std::move(_readStream);
    }
    destroyReadStream();

    if (_needsRedirect || _authenticationNeeded)
        return;
    if (_fileError) {
        failWithError(_fileError);
    } else {
        queueCallback(Callback::finished);
        markAsFinished();
    }
}

void ZRHTTPRequest::handleStreamError()
{
    if (_error) {
        cancelLoad();
        return;
    }
    const CURLcode code = _readStream ? _readStream->transferResult() : CURLE_RECV_ERROR;
    // A response that has begun reaching the delegate is not sent for again: its header and bytes
    // stay delivered, and the failure follows them.
    const bool responseBegun = _headerRead || (_readStream && _readStream->bytesTaken() > 0);
    // Asking again would bring the same header: a failure with its reason, not a retry.
    if (_readStream && _readStream->wasResponseHeaderTooLarge()) {
        cancelLoad();
        failWithError(
            ZRHTTPError::make(ZRHTTPResponseHeaderTooLargeErrorCode, ZRHTTPErrorMessage::responseHeaderTooLarge));
        return;
    }
    if (isRetryableTransportError(code) && _retryCount == 0 && !responseBegun) {
        // The connection went away under us (often a re-used one the server had closed): once more, on a new one.
        _willRetryRequest = true;
        cancelLoad();
        _willRetryRequest = false;
        if (_connectionInfo)
            ZRHTTPConnectionPool::shared().removeRecord(_connectionInfo);
        _connectionInfo.reset();
        ++_retryCount;
        startRequest();
        return;
    }
    std::string message = ZRHTTPErrorMessage::connectionFailure;
    if (isTLSTransportError(code))
        message = formatted(ZRHTTPErrorMessage::sslProblemFormat, message);
    auto underlying = ZRHTTPError::make(static_cast<int>(code), _readStream ? _readStream->errorMessage() : std::string(),
        nullptr, ZRHTTPTransportErrorDomain);
    cancelLoad();
    failWithError(ZRHTTPError::make(ZRHTTPConnectionFailureErrorCode, message, underlying));
}

void ZRHTTPRequest::checkRequestStatus()
{
    auto self = shared_from_this();
    std::lock_guard lock(_cancelledLock);
    if (!_inProgress) {
        stopStatusTimer();
        return;
    }
    if (_cancelled || _complete)
        return;
    performThrottling();
    if (!_readStream)
        return;

    const auto now = Clock::now();
    // Waiting for the caller's thread to take the bytes read so far is not inactivity of the server.
    if (_readingHeld)
        _lastActivityTime = now;
    const double idle = std::chrono::duration<double>(now - _lastActivityTime).count();
    bool timedOut = _readStreamIsScheduled && _haveLastActivityTime && _timeOutSeconds > 0 && idle > _timeOutSeconds;
    // A body may sit in buffers on its way out; give it longer before calling the request dead.
    if (timedOut && _haveBody)
        timedOut = idle > 1.5 * _timeOutSeconds;
    if (timedOut) {
        if (_retryCount < _numberOfTimesToRetryOnTimeout) {
            updatePartialDownloadSize();
            if (_error)
                return;
            if (_partialDownloadSize > 0)
                _requestHeaders.insert_or_assign("Range", "bytes=" + std::to_string(_partialDownloadSize) + "-");
            ++_retryCount;
            closeFileDestination(true);
            destroyReadStream();
            // The stalled connection is not one to come back to.
            if (_connectionInfo)
                ZRHTTPConnectionPool::shared().removeRecord(_connectionInfo);
            _connectionInfo.reset();
            startRequest();
            return;
        }
        failWithError(ZRHTTPError::requestTimedOutError());
        cancelLoad();
        _complete = true;
        return;
    }
    if (_haveBody) {
        // The body stream counts what it hands over; here only the activity matters.
        const std::uint64_t sent = _readStream->bytesWritten();
        if (sent > _lastBytesSent) {
            _lastBytesSent = sent;
            _lastActivityTime = now;
        }
    }
}

void ZRHTTPRequest::performThrottling()
{
    if (!_readStream)
        return;
    bool parked = false;
    ZRHTTPBandwidth::shared().throttleStream(_readStreamIsScheduled, [this, &parked](bool schedule) {
        if (schedule) {
            scheduleReadStream();
        } else {
            unscheduleReadStream();
            parked = true;
        }
    });
    // A parked stream is released soon after its resume time, not at the next status check: the
    // pace moves on in steps much shorter than a status check.
    if (parked && !_throttleReleaseTimer) {
        std::weak_ptr<ZRHTTPRequest> weak = weak_from_this();
        _throttleReleaseTimer = ZRHTTPRequestThread::shared().addRepeatingTimer(throttleReleaseInterval,
            [weak] {
                if (auto request = weak.lock())
                    request->performThrottlingLocked();
            });
    } else if (_throttleReleaseTimer && _readStreamIsScheduled) {
        stopThrottleReleaseTimer();
    }
}

void ZRHTTPRequest::stopThrottleReleaseTimer()
{
    if (!_throttleReleaseTimer)
        return;
    ZRHTTPRequestThread::shared().removeTimer(*_throttleReleaseTimer);
    _throttleReleaseTimer.reset();
}

// The body stream calls this from inside curl, where the request's lock is not held yet.
void ZRHTTPRequest::performThrottlingLocked()
{
    std::lock_guard lock(_cancelledLock);
    performThrottling();
}

void ZRHTTPRequest::performRedirect()
{
    auto self = shared_from_this();
    std::lock_guard lock(_cancelledLock);
    if (_cancelled || _finished)
        return;
    const std::string target = _redirectURL;
    if (target.empty() || !ZRHTTPURL::partsOfURL(target)) {
        failWithError(ZRHTTPError::unableToCreateRequestError());
        return;
    }
    // A new URL gets a new message: no answer to the old one's challenge goes with it.
    _requestAuthentication.reset();
    _authorizationHeader.clear();
    _libraryAuthentication = {};
    _challengedStream.reset();
    if (_proxyResolved) {
        // The system settings may name another proxy for the new URL.
        _proxyHost.clear();
        _proxyPort = 0;
        _proxyResolved = false;
        // The settings' credentials were for the proxy they named.
        if (_proxyCredentialsFromSettings) {
            _proxyUsername.clear();
            _proxyPassword.clear();
            _proxyCredentialsFromSettings = false;
        }
        _proxyAuthorizationHeader.clear();
        _libraryProxyAuthentication = {};
        _proxyAuthentication.reset();
    }
    // Fields given for one site (credentials, cookies, Referer, the caller's own) never travel to another.
    if (!ZRHTTPURL::haveSameOrigin(_url, target)) {
        forgetServerCredentials(true);
        for (auto field = _requestHeaders.begin(); field != _requestHeaders.end();) {
            if (ZRHTTPHeaderFields::isFieldKeptAcrossOrigins(field->first))
                ++field;
            else
                field = _requestHeaders.erase(field);
        }
    }
    const auto from = ZRHTTPURL::partsOfURL(_url);
    const auto to = ZRHTTPURL::partsOfURL(target);
    if (from && to && from->scheme == "https" && to->scheme != "https") {
        _requestHeaders.erase("Referer");
        log(formatted(leftTLSLogFormat, ZRHTTPURL::urlWithoutCredentials(_url), ZRHTTPURL::urlWithoutCredentials(target)));
    }
    _url = target;
    _redirectURL.clear();
    _complete = true;
    _needsRedirect = false;
    ++_redirectCount;
    if (_redirectCount <= maximumRedirectCount) {
        main();
    } else {
        failWithError(ZRHTTPError::tooMuchRedirectionError());
        _complete = true;
    }
}

// MARK: - Credentials

namespace {

int effectivePort(const ZRHTTPURLParts &parts)
{
    if (parts.port)
        return parts.port;
    return parts.scheme == "https" ? 443 : parts.scheme == "http" ? 80 : 0;
}

constexpr const char *proxyProtocol = "http-proxy";

} // namespace

void ZRHTTPRequest::forgetServerCredentials(bool includingCaller)
{
    if (includingCaller) {
        _username.clear();
        _password.clear();
        _domain.clear();
    }
    _authenticationScheme.clear();
    _authenticationRealm.clear();
    _requestAuthentication.reset();
    _requestCredentials.reset();
    _rejectedCredentials.reset();
    _keychainSavePending = false;
    _authorizationHeader.clear();
    _libraryAuthentication = {};
    _challengedStream.reset();
}

std::optional<ZRHTTPSessionCredentials> ZRHTTPRequest::sessionCredentials(bool proxy) const
{
    auto &store = ZRHTTPCredentialStore::shared();
    if (proxy)
        return store.sessionProxyCredentials(_proxyHost, _proxyPort);
    std::optional<ZRHTTPCredentials> own;
    if (!_username.empty() && !_password.empty())
        own = ZRHTTPCredentials{_username, _password, _domain};
    return store.sessionCredentialsForURL(_url,
        _authenticationRealm.empty() ? std::nullopt : std::optional<std::string>(_authenticationRealm), own);
}

void ZRHTTPRequest::applyAuthorizationHeader()
{
    if (!_shouldPresentCredentialsBeforeChallenge || _requestHeaders.count("Authorization")
        || !_authorizationHeader.empty() || _libraryAuthentication.curlScheme)
        return;
    if (!_username.empty() && !_password.empty() && _authenticationScheme == ZRHTTPAuthenticationScheme::basic) {
        _authorizationHeader = ZRHTTPAuthentication::basicHeaderValue(_username, _password);
        return;
    }
    if (!_useSessionPersistence)
        return;
    const auto entry = sessionCredentials(false);
    if (!entry || !entry->credentials)
        return;
    if (!entry->authentication) {
        _authorizationHeader = ZRHTTPAuthentication::basicHeaderValue(entry->credentials->username, entry->credentials->password);
        _authenticationScheme = ZRHTTPAuthenticationScheme::basic;
        return;
    }
    // The other schemes need the server's challenge on this very stream before libcurl can answer
    // it: they are answered from the session store when the challenge comes, without asking anyone.
    if (entry->authentication->scheme() != ZRHTTPAuthenticationScheme::basic)
        return;
    auto application = entry->authentication->applicationForCredentials(*entry->credentials);
    if (!application) {
        ZRHTTPCredentialStore::shared().removeAuthenticationCredentials(entry->credentials);
        return;
    }
    _requestAuthentication = std::make_shared<ZRHTTPAuthentication>(*entry->authentication);
    _requestCredentials = entry->credentials;
    _authenticationScheme = _requestAuthentication->scheme();
    _authenticationRealm = _requestAuthentication->realm();
    _authorizationHeader = application->headerValue;
}

void ZRHTTPRequest::applyProxyAuthorizationHeader()
{
    if (!_shouldPresentCredentialsBeforeChallenge || !_useSessionPersistence)
        return;
    const auto entry = sessionCredentials(true);
    if (!entry || !entry->credentials)
        return;
    if (entry->authentication && entry->authentication->scheme() != ZRHTTPAuthenticationScheme::basic)
        return;
    if (!entry->authentication) {
        _proxyAuthorizationHeader = ZRHTTPAuthentication::basicHeaderValue(entry->credentials->username, entry->credentials->password);
        return;
    }
    auto application = entry->authentication->applicationForCredentials(*entry->credentials);
    if (!application) {
        ZRHTTPCredentialStore::shared().removeProxyAuthenticationCredentials(entry->credentials);
        return;
    }
    _proxyAuthentication = std::make_shared<ZRHTTPAuthentication>(*entry->authentication);
    _proxyCredentials = entry->credentials;
    _proxyAuthenticationScheme = _proxyAuthentication->scheme();
    _proxyAuthenticationRealm = _proxyAuthentication->realm();
    _proxyAuthorizationHeader = application->headerValue;
}

std::optional<ZRHTTPCredentials> ZRHTTPRequest::findCredentials(bool proxy)
{
    const ZRHTTPAuthenticationPtr &authentication = proxy ? _proxyAuthentication : _requestAuthentication;
    const std::optional<ZRHTTPCredentials> &rejected = proxy ? _rejectedProxyCredentials : _rejectedCredentials;
    const auto parts = ZRHTTPURL::partsOfURL(_url);
    std::vector<ZRHTTPCredentials> candidates;
    if (!proxy) {
        if (parts && !parts->user.empty())
            candidates.push_back({parts->user, parts->password, _domain});
        candidates.push_back({_username, _password, _domain});
    } else {
        candidates.push_back({_proxyUsername, _proxyPassword, _proxyDomain});
        if (authentication && authentication->scheme() == ZRHTTPAuthenticationScheme::ntlm)
            candidates.push_back({_username, _password, _proxyDomain.empty() ? _domain : _proxyDomain});
    }
    auto storage = ZRHTTPCredentialStore::shared().credentialStorage();
    auto usable = [&](const ZRHTTPCredentials &credentials) {
        return !credentials.username.empty() && !credentials.password.empty() && credentials != rejected;
    };
    std::optional<ZRHTTPCredentials> found;
    for (const ZRHTTPCredentials &candidate : candidates) {
        if (usable(candidate)) {
            found = candidate;
            break;
        }
    }
    if (!found && _useKeychainPersistence && storage && parts) {
        std::optional<ZRHTTPCredentials> saved = proxy
            ? storage->savedCredentials(_proxyHost, _proxyPort, proxyProtocol, _proxyAuthenticationRealm)
            : storage->savedCredentials(parts->host, effectivePort(*parts), parts->scheme, _authenticationRealm);
        if (saved && usable(*saved))
            found = saved;
    }
    if (!found)
        return std::nullopt;
    // NTLM wants an account domain: "DOMAIN\user" names it when the request has none.
    const std::string &requestDomain = proxy ? _proxyDomain : _domain;
    if (authentication && authentication->requiresAccountDomain() && requestDomain.empty()) {
        const std::size_t slash = found->username.find('\\');
        if (slash != std::string::npos && found->username.find('\\', slash + 1) == std::string::npos) {
            found->domain = found->username.substr(0, slash);
            found->username = found->username.substr(slash + 1);
        } else if (!proxy || _domain.empty()) {
            found->domain.clear();
        } else {
            found->domain = _domain;
        }
    }
    return found;
}

bool ZRHTTPRequest::applyCredentials(bool proxy, const ZRHTTPCredentialsPtr &credentials)
{
    ++(proxy ? _proxyAuthenticationRetryCount : _authenticationRetryCount);
    const ZRHTTPAuthenticationPtr &authentication = proxy ? _proxyAuthentication : _requestAuthentication;
    if (!credentials || !authentication)
        return false;
    auto &store = ZRHTTPCredentialStore::shared();
    const auto application = authentication->applicationForCredentials(*credentials);
    if (!application) {
        if (proxy)
            store.removeProxyAuthenticationCredentials(credentials);
        else
            store.removeAuthenticationCredentials(credentials);
        return false;
    }
    if (proxy) {
        _proxyAuthorizationHeader = application->headerValue;
        _libraryProxyAuthentication = application->curlScheme ? *application : ZRHTTPAuthentication::Application{};
        _proxyAuthenticationScheme = authentication->scheme();
        // Saved once the proxy has taken them: a mistyped password is not kept.
        _proxyKeychainSavePending = _useKeychainPersistence && !credentials->username.empty();
        if (_useSessionPersistence) {
            ZRHTTPSessionCredentials entry;
            entry.authentication = authentication;
            entry.credentials = credentials;
            entry.host = _proxyHost;
            entry.port = _proxyPort;
            entry.authenticationScheme = authentication->scheme();
            store.storeProxyAuthenticationCredentials(entry);
        }
        _proxyCredentials = credentials;
    } else {
        _authorizationHeader = application->headerValue;
        _libraryAuthentication = application->curlScheme ? *application : ZRHTTPAuthentication::Application{};
        _authenticationScheme = authentication->scheme();
        _keychainSavePending = _useKeychainPersistence && !credentials->username.empty();
        if (_useSessionPersistence) {
            ZRHTTPSessionCredentials entry;
            entry.authentication = authentication;
            entry.credentials = credentials;
            entry.url = ZRHTTPURL::urlWithoutCredentials(_url);
            entry.authenticationScheme = authentication->scheme();
            if (!_authenticationRealm.empty())
                entry.authenticationRealm = _authenticationRealm;
            store.storeAuthenticationCredentials(entry);
        }
        _requestCredentials = credentials;
    }
    return true;
}

void ZRHTTPRequest::saveAcceptedCredentials()
{
    auto storage = ZRHTTPCredentialStore::shared().credentialStorage();
    if (_keychainSavePending && _responseStatusCode != 401) {
        _keychainSavePending = false;
        const auto parts = ZRHTTPURL::partsOfURL(_url);
        if (storage && parts && _requestCredentials)
            storage->saveCredentials(*_requestCredentials, parts->host, effectivePort(*parts), parts->scheme,
                _authenticationRealm);
    }
    if (_proxyKeychainSavePending && _responseStatusCode != 407) {
        _proxyKeychainSavePending = false;
        if (storage && _proxyCredentials)
            storage->saveCredentials(*_proxyCredentials, _proxyHost, _proxyPort, proxyProtocol, _proxyAuthenticationRealm);
    }
    // Credentials the caller set, sent at once and taken: later requests to the site send them too.
    if (_responseStatusCode != 401 && _responseStatusCode != 407 && !_requestAuthentication
        && _authenticationScheme == ZRHTTPAuthenticationScheme::basic && !_username.empty() && !_password.empty()
        && _useSessionPersistence && !_authorizationHeader.empty()) {
        ZRHTTPSessionCredentials entry;
        entry.credentials = std::make_shared<const ZRHTTPCredentials>(ZRHTTPCredentials{_username, _password, _domain});
        entry.url = ZRHTTPURL::urlWithoutCredentials(_url);
        entry.authenticationScheme = ZRHTTPAuthenticationScheme::basic;
        if (!_authenticationRealm.empty())
            entry.authenticationRealm = _authenticationRealm;
        ZRHTTPCredentialStore::shared().storeAuthenticationCredentials(entry);
    }
}

bool ZRHTTPRequest::askDelegateForCredentials(bool proxy)
{
    if (!_delegate || !_delegate->respondsToAuthenticationNeeded())
        return false;
    if (proxy && !_shouldPresentProxyAuthenticationDialog)
        return false;
    _waitingForCredentials = true;
    queueCallback(proxy ? Callback::proxyAuthentication : Callback::authentication);
    return true;
}

void ZRHTTPRequest::attemptToApplyCredentialsAndResume(bool proxy)
{
    if (_error || _cancelled)
        return;
    ZRHTTPAuthenticationPtr &authentication = proxy ? _proxyAuthentication : _requestAuthentication;
    ZRHTTPCredentialsPtr &applied = proxy ? _proxyCredentials : _requestCredentials;
    std::string &scheme = proxy ? _proxyAuthenticationScheme : _authenticationScheme;
    std::string &realm = proxy ? _proxyAuthenticationRealm : _authenticationRealm;
    std::optional<ZRHTTPCredentials> &rejected = proxy ? _rejectedProxyCredentials : _rejectedCredentials;
    const char *applyFailure =
        proxy ? ZRHTTPErrorMessage::failedToApplyProxyCredentials : ZRHTTPErrorMessage::failedToApplyCredentials;
    auto &store = ZRHTTPCredentialStore::shared();

    // A challenge for another scheme than the one we answered with (session credentials sent at
    // once as Basic to a site that wants Digest) refuses nothing: start again from this challenge.
    if (authentication) {
        const auto offered = ZRHTTPAuthentication::authenticationFromResponseHeaders(_responseHeaders, proxy);
        if (offered && offered->scheme() != authentication->scheme()) {
            authentication.reset();
            applied.reset();
        }
    }
    // A challenge that answers credentials we sent: they were refused (or a nonce went stale).
    if (authentication && applied)
        authentication->challengeAfterCredentials(_responseHeaders);
    if (!authentication) {
        authentication = ZRHTTPAuthentication::authenticationFromResponseHeaders(_responseHeaders, proxy);
        if (!authentication) {
            cancelLoad();
            failWithError(ZRHTTPError::make(ZRHTTPInternalErrorWhileApplyingCredentialsCode,
                ZRHTTPErrorMessage::noAuthenticationObject));
            return;
        }
        scheme = authentication->scheme();
    }
    realm.clear();
    if (!authentication->requiresAccountDomain())
        realm = authentication->realm();

    int reason = ZRHTTPAuthenticationValid;
    if (authentication->isValid(&reason)) {
        cancelLoad();
        if (applied) {
            const int attempts = proxy ? _proxyAuthenticationRetryCount : _authenticationRetryCount;
            const bool ntlm = scheme == ZRHTTPAuthenticationScheme::ntlm;
            if ((ntlm && attempts > 1) || !applyCredentials(proxy, applied)) {
                failWithError(ntlm && attempts == 2
                        ? ZRHTTPError::authenticationError()
                        : ZRHTTPError::make(ZRHTTPInternalErrorWhileApplyingCredentialsCode, applyFailure));
                return;
            }
            startRequest();
            return;
        }
        if (!authentication->requiresUsernameAndPassword()) {
            // Negotiate: the Kerberos ticket answers, once.
            if (applyCredentials(proxy, std::make_shared<const ZRHTTPCredentials>()))
                startRequest();
            else
                failWithError(ZRHTTPError::authenticationError());
            return;
        }
        std::lock_guard promptLock(store.credentialPromptLock());
        if (_error || _cancelled)
            return;
        if (_useSessionPersistence) {
            const auto entry = sessionCredentials(proxy);
            if (entry && entry->credentials && *entry->credentials != rejected && applyCredentials(proxy, entry->credentials)) {
                startRequest();
                return;
            }
        }
        if (auto found = findCredentials(proxy)) {
            if (applyCredentials(proxy, std::make_shared<const ZRHTTPCredentials>(*found)))
                startRequest();
            else
                failWithError(ZRHTTPError::make(ZRHTTPInternalErrorWhileApplyingCredentialsCode, applyFailure));
            return;
        }
        if (!askDelegateForCredentials(proxy))
            failWithError(ZRHTTPError::authenticationError());
        return;
    }

    authentication.reset();
    if (reason == ZRHTTPAuthenticationBadUserName || reason == ZRHTTPAuthenticationBadPassword) {
        std::lock_guard promptLock(store.credentialPromptLock());
        if (applied) {
            if (proxy)
                store.removeProxyAuthenticationCredentials(applied);
            else
                store.removeAuthenticationCredentials(applied);
            rejected = *applied;
        }
        applied.reset();
        if (proxy) {
            _proxyAuthorizationHeader.clear();
            _libraryProxyAuthentication = {};
        } else {
            _authorizationHeader.clear();
            _libraryAuthentication = {};
        }
        // Another request may meanwhile have stored credentials that work.
        if (_useSessionPersistence) {
            const auto entry = sessionCredentials(proxy);
            if (entry && entry->credentials && *entry->credentials != rejected) {
                authentication = ZRHTTPAuthentication::authenticationFromResponseHeaders(_responseHeaders, proxy);
                if (authentication && applyCredentials(proxy, entry->credentials)) {
                    cancelLoad();
                    startRequest();
                    return;
                }
                authentication.reset();
            }
        }
        _haveLastActivityTime = false;
        if (askDelegateForCredentials(proxy))
            return;
    }
    cancelLoad();
    failWithError(ZRHTTPError::authenticationError());
}

// MARK: - Proxies

bool ZRHTTPRequest::configureProxies()
{
    if (_isPACFileRequest || !_proxyHost.empty() || _proxyPort != 0)
        return true;
    if (!_pacURL.empty()) {
        fetchPACFile();
        return false;
    }
    std::shared_ptr<ProxyResolver> resolver;
    {
        std::lock_guard lock(classState().mutex);
        resolver = classState().proxyResolver;
    }
    if (!resolver)
        return true;
    const auto proxies = resolver->proxiesForURL(ZRHTTPURL::urlWithoutCredentials(_url));
    if (proxies && !proxies->empty() && !proxies->front().autoConfigurationURL.empty()) {
        _pacURL = proxies->front().autoConfigurationURL;
        fetchPACFile();
        return false;
    }
    if (!proxies) {
        destroyReadStream();
        failWithError(ZRHTTPError::make(ZRHTTPInternalErrorWhileBuildingRequestCode, ZRHTTPErrorMessage::proxyInformation));
        return false;
    }
    if (!proxies->empty())
        applyProxy(proxies->front());
    return true;
}

void ZRHTTPRequest::applyProxy(const Proxy &proxy)
{
    if (proxy.host.empty() || proxy.port == 0)
        return;
    _proxyHost = proxy.host;
    _proxyPort = proxy.port;
    _proxyType = proxy.type;
    _proxyResolved = true;
    if (_proxyUsername.empty() && !proxy.username.empty()) {
        _proxyUsername = proxy.username;
        _proxyPassword = proxy.password;
        _proxyCredentialsFromSettings = true;
    }
}

namespace {

// Hears the end of a proxy-script fetch on the request thread and hands the script on.
class PACFileDelegate final : public ZRHTTPRequestDelegate {
public:
    explicit PACFileDelegate(std::function<void(const std::optional<std::string> &)> done) : _done(std::move(done)) {}
    void requestFinished(ZRHTTPRequest &request) override
    {
        if (request.responseStatusCode() / 100 == 2)
            _done(request.responseData());
        else
            _done(std::nullopt);
    }
    void requestFailed(ZRHTTPRequest &) override { _done(std::nullopt); }

private:
    std::function<void(const std::optional<std::string> &)> _done;
};

// UTF-8 as it is, anything else read as ISO Latin 1.
std::string scriptText(const std::string &bytes)
{
    std::size_t at = 0;
    bool utf8 = true;
    while (at < bytes.size() && utf8) {
        const unsigned char c = static_cast<unsigned char>(bytes[at]);
        const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (!length || at + length > bytes.size())
            utf8 = false;
        for (std::size_t index = 1; utf8 && index < length; ++index)
            utf8 = (static_cast<unsigned char>(bytes[at + index]) >> 6) == 2;
        at += length ? length : 1;
    }
    if (utf8)
        return bytes;
    std::string text;
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

} // namespace

void ZRHTTPRequest::fetchPACFile()
{
    const auto parts = ZRHTTPURL::partsOfURL(_pacURL);
    const std::string scheme = parts ? parts->scheme : std::string();
    if (scheme == "file") {
        // A local script: read in pieces, at most the size we evaluate.
        std::string path = _pacURL.substr(std::string("file://").size());
        const std::size_t slash = path.find('/');
        path = slash == std::string::npos ? std::string() : path.substr(slash);
        std::optional<std::string> script;
        const int input = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (input >= 0) {
            std::string text;
            std::string buffer(pacFileReadLength, '\0');
            bool failed = false;
            const auto deadline = Clock::now()
                + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(_timeOutSeconds > 0 ? _timeOutSeconds : 10.0));
            for (;;) {
                const ssize_t count = ::read(input, buffer.data(), buffer.size());
                if (count < 0 && errno == EINTR)
                    continue;
                if (count < 0 || text.size() + std::size_t(std::max<ssize_t>(count, 0)) > maximumPACFileSize
                    || Clock::now() > deadline) {
                    failed = true;
                    break;
                }
                if (count == 0)
                    break;
                text.append(buffer.data(), std::size_t(count));
            }
            ::close(input);
            if (!failed)
                script = std::move(text);
        }
        pacFileDidEnd(script);
        return;
    }
    if (scheme != "http" && scheme != "https") {
        startRequest();
        return;
    }
    std::weak_ptr<ZRHTTPRequest> weak = weak_from_this();
    auto delegate = std::make_shared<PACFileDelegate>([weak](const std::optional<std::string> &script) {
        auto self = weak.lock();
        if (!self)
            return;
        // The fetch reports on the request thread, inside its own handling: continue after it.
        ZRHTTPRequestThread::shared().post([self, script] {
            std::lock_guard lock(self->_cancelledLock);
            if (!self->_pacFileRequest)
                return;
            self->_pacFileRequest.reset();
            ZRHTTPRequest::sharedQueue().setMaxConcurrentOperationCount(
                ZRHTTPRequest::sharedQueue().maxConcurrentOperationCount() - 1);
            if (self->_cancelled || self->_error)
                return;
            self->pacFileDidEnd(script);
        });
    });
    _pacFileRequest = requestWithURL(_pacURL);
    _pacFileRequest->_isPACFileRequest = true;
    _pacFileRequest->_pacFileDelegate = delegate;
    _pacFileRequest->setDelegate(delegate.get());
    _pacFileRequest->setTimeOutSeconds(_timeOutSeconds);
    _pacFileRequest->setUseCookiePersistence(false);
    _pacFileRequest->setShouldAttemptPersistentConnection(false);
    _pacFileRequest->setValidatesSecureCertificate(_validatesSecureCertificate);
    // The waiting requests must not starve the fetch they wait for.
    sharedQueue().setMaxConcurrentOperationCount(sharedQueue().maxConcurrentOperationCount() + 1);
    sharedQueue().addOperation(_pacFileRequest, true);
}

void ZRHTTPRequest::pacFileDidEnd(const std::optional<std::string> &script)
{
    std::shared_ptr<ProxyResolver> resolver;
    {
        std::lock_guard lock(classState().mutex);
        resolver = classState().proxyResolver;
    }
    std::optional<std::vector<Proxy>> proxies;
    const std::string address = ZRHTTPURL::urlWithoutCredentials(_url);
    if (!script)
        log(formatted(pacFailureLogFormat, ZRHTTPURL::urlWithoutCredentials(_pacURL), "it could not be read"));
    else if (!resolver || !(proxies = resolver->proxiesFromScript(scriptText(*script), address)))
        log(formatted(pacFailureLogFormat, ZRHTTPURL::urlWithoutCredentials(_pacURL), "it could not be evaluated"));
    if (proxies && !proxies->empty())
        applyProxy(proxies->front());
    startRequest();
}

// MARK: - Cancelling, failing, finishing

void ZRHTTPRequest::cancelOnRequestThread()
{
    auto self = shared_from_this();
    std::lock_guard lock(_cancelledLock);
    if (_cancelled || _finished)
        return;
    if (_complete && !_waitingForCredentials && !_waitingForRedirectDecision)
        return;
    failWithError(ZRHTTPError::requestCancelledError());
    _complete = true;
    cancelLoad();
    _cancelled = true;
    _waitingForCredentials = false;
    _waitingForRedirectDecision = false;
    // Still waiting for a slot: leave the queue now instead of when a slot frees.
    if (!_inProgress && sharedQueue().removeWaitingOperation(this))
        _finished = true;
}

void ZRHTTPRequest::cancelLoad()
{
    destroyReadStream();
    if (_postBodyReadStream) {
        _postBodyReadStream->close();
        _postBodyReadStream.reset();
    }
    if (!_downloadComplete)
        _rawResponseData.clear();
    closeFileDestination(_allowResumeForFileDownloads);
}

void ZRHTTPRequest::failWithError(const ZRHTTPErrorPtr &error)
{
    _complete = true;
    if (!error)
        return;
    auto &pool = ZRHTTPConnectionPool::shared();
    if (error->code != ZRHTTPAuthenticationErrorCode && error->code != ZRHTTPTooMuchRedirectionErrorCode) {
        if (_connectionInfo)
            pool.removeRecord(_connectionInfo);
        destroyReadStream();
    }
    if (_connectionCanBeReused && _connectionInfo)
        pool.setExpires(_connectionInfo,
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(_persistentConnectionTimeoutSeconds)));
    // Only the first failure is reported.
    if (_cancelled || _error)
        return;
    _error = error;
    queueCallback(Callback::failed);
    if (_inProgress)
        markAsFinished();
}

void ZRHTTPRequest::markAsFinished()
{
    stopStatusTimer();
    if (_finished)
        return;
    _requestAuthentication.reset();
    _proxyAuthentication.reset();
    _challengedStream.reset();
    if (_pacFileRequest) {
        _pacFileRequest->clearDelegatesAndCancel();
        _pacFileRequest.reset();
    }
    _postBodyReadStream.reset();
    _inProgress = false;
    _finished = true;
    sharedQueue().operationDidFinish(this);
}

// MARK: - Body destinations

bool ZRHTTPRequest::writeChunkToFiles(const std::string &chunk, const std::string *inflated)
{
    if (_fileDownloadOutput < 0) {
        bool append = false;
        if (_temporaryFileDownloadPath.empty()) {
            _temporaryFileDownloadPath = makeUniqueTemporaryFile();
            _temporaryFileIsOurs = true;
            if (_temporaryFileDownloadPath.empty()) {
                _fileError = fileError(formatted(ZRHTTPErrorMessage::writeFileFormat, temporaryDirectory()), errno);
                return false;
            }
        } else if (_allowResumeForFileDownloads && _requestCarriedRange) {
            if (_responseHeaders.count("Content-Range"))
                append = true;
            else
                _partialDownloadSize = 0; // the server sent the whole body: start over
        }
        const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
        _fileDownloadOutput = ::open(_temporaryFileDownloadPath.c_str(), flags, 0644);
        if (_fileDownloadOutput < 0) {
            _fileError = fileError(formatted(ZRHTTPErrorMessage::writeFileFormat, _temporaryFileDownloadPath), errno);
            return false;
        }
        if (inflated) {
            if (_temporaryUncompressedDataDownloadPath.empty())
                _temporaryUncompressedDataDownloadPath = makeUniqueTemporaryFile();
            _inflatedFileDownloadOutput = ::open(_temporaryUncompressedDataDownloadPath.c_str(), flags, 0644);
            if (_inflatedFileDownloadOutput < 0) {
                _fileError = fileError(
                    formatted(ZRHTTPErrorMessage::writeFileFormat, _temporaryUncompressedDataDownloadPath), errno);
                return false;
            }
        }
    }
    if (!writeAll(_fileDownloadOutput, chunk.data(), chunk.size())) {
        _fileError = fileError(formatted(ZRHTTPErrorMessage::writeFileFormat, _temporaryFileDownloadPath), errno);
        return false;
    }
    if (inflated && _inflatedFileDownloadOutput >= 0
        && !writeAll(_inflatedFileDownloadOutput, inflated->data(), inflated->size())) {
        _fileError = fileError(
            formatted(ZRHTTPErrorMessage::writeFileFormat, _temporaryUncompressedDataDownloadPath), errno);
        return false;
    }
    return true;
}

void ZRHTTPRequest::closeFileDestination(bool keepTemporaryFile)
{
    if (_fileDownloadOutput >= 0) {
        ::close(_fileDownloadOutput);
        _fileDownloadOutput = -1;
    }
    if (_inflatedFileDownloadOutput >= 0) {
        ::close(_inflatedFileDownloadOutput);
        _inflatedFileDownloadOutput = -1;
    }
    if (!keepTemporaryFile) {
        if (!_temporaryFileDownloadPath.empty() && (_temporaryFileIsOurs || !_allowResumeForFileDownloads))
            ::unlink(_temporaryFileDownloadPath.c_str());
        if (!_temporaryUncompressedDataDownloadPath.empty())
            ::unlink(_temporaryUncompressedDataDownloadPath.c_str());
        _temporaryUncompressedDataDownloadPath.clear();
        if (_temporaryFileIsOurs) {
            _temporaryFileDownloadPath.clear();
            _temporaryFileIsOurs = false;
        }
    }
}

void ZRHTTPRequest::finishFileDestination()
{
    const bool inflatedOnTheFly = _inflatedFileDownloadOutput >= 0;
    closeFileDestination(true);
    if (_fileError)
        return;
    if (_temporaryFileDownloadPath.empty() || !fileExists(_temporaryFileDownloadPath)) {
        // An empty body never opened the temporary file.
        const int output = ::open(_downloadDestinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (output < 0)
            _fileError = fileError(formatted(ZRHTTPErrorMessage::writeFileFormat, _downloadDestinationPath), errno);
        else
            ::close(output);
        return;
    }
    const bool compressed = _responseHeaders.count("Content-Encoding")
        && _responseHeaders.at("Content-Encoding").find("gzip") != std::string::npos;
    if (compressed) {
        if (_shouldWaitToInflateCompressedResponses || !inflatedOnTheFly) {
            ZRHTTPErrorPtr error;
            if (!ZRDataDecompressor::uncompressDataFromFile(_temporaryFileDownloadPath, _downloadDestinationPath, &error))
                _fileError = error;
        } else {
            ::unlink(_downloadDestinationPath.c_str());
            if (int code = moveFile(_temporaryUncompressedDataDownloadPath, _downloadDestinationPath))
                _fileError = fileError(formatted(ZRHTTPErrorMessage::moveFileFormat,
                    _temporaryUncompressedDataDownloadPath, _downloadDestinationPath), code);
        }
        if (::unlink(_temporaryFileDownloadPath.c_str()) != 0 && !_fileError && errno != ENOENT)
            _fileError = fileError(formatted(ZRHTTPErrorMessage::deleteFileFormat, _temporaryFileDownloadPath), errno);
    } else {
        if (fileExists(_downloadDestinationPath) && ::unlink(_downloadDestinationPath.c_str()) != 0) {
            _fileError = fileError(formatted(ZRHTTPErrorMessage::deleteFileFormat, _downloadDestinationPath), errno);
            return;
        }
        if (int code = moveFile(_temporaryFileDownloadPath, _downloadDestinationPath))
            _fileError = fileError(
                formatted(ZRHTTPErrorMessage::moveFileFormat, _temporaryFileDownloadPath, _downloadDestinationPath), code);
    }
    if (_temporaryFileIsOurs) {
        _temporaryFileDownloadPath.clear();
        _temporaryFileIsOurs = false;
    }
    if (!_temporaryUncompressedDataDownloadPath.empty())
        ::unlink(_temporaryUncompressedDataDownloadPath.c_str());
    _temporaryUncompressedDataDownloadPath.clear();
}

// MARK: - Callbacks

void ZRHTTPRequest::queueCallback(Callback callback, std::shared_ptr<const void> argument)
{
    std::shared_ptr<const CallbackExecutor> executor;
    {
        std::lock_guard lock(classState().mutex);
        executor = classState().executor;
    }
    // A failure that comes after a response header does not take the header back: the body bytes
    // queued after it are delivered, and they need it. A cancel still drops it.
    const bool failedBeforeQueued = _error != nullptr;
    auto deliver = [self = shared_from_this(), callback, argument = std::move(argument), failedBeforeQueued] {
        if (callback == Callback::data) {
            // Counted as delivered before the delegate runs: it may cancel or drop the request.
            const std::uint64_t size = std::static_pointer_cast<const std::string>(argument)->size();
            const std::uint64_t remaining = self->_undeliveredBytes -= size;
            if (remaining < maximumUndeliveredBytes / 2 && self->_readingHeld.exchange(false)) {
                ZRHTTPRequestThread::shared().post([self] {
                    std::lock_guard lock(self->_cancelledLock);
                    if (self->_readStream)
                        self->_readStream->resumeEvents();
                });
            }
        }
        ZRHTTPRequestDelegate *delegate = nullptr;
        {
            std::lock_guard lock(self->_cancelledLock);
            delegate = self->_delegate;
            bool droppedAfterError = callback == Callback::started || callback == Callback::redirected
                || callback == Callback::willRedirect || callback == Callback::finished;
            if (callback == Callback::responseHeaders)
                droppedAfterError = failedBeforeQueued
                    || (self->_error && self->_error->code == ZRHTTPRequestCancelledErrorCode);
            if (!delegate || (droppedAfterError && self->_error))
                return;
        }
        ZRHTTPRequest &request = *self;
        switch (callback) {
        case Callback::started:
            delegate->requestStarted(request);
            break;
        case Callback::responseHeaders:
            delegate->requestDidReceiveResponseHeaders(request, *std::static_pointer_cast<const ZRHTTPHeaders>(argument));
            break;
        case Callback::redirected:
            delegate->requestRedirected(request);
            break;
        case Callback::data:
            delegate->requestDidReceiveSharedData(request, std::static_pointer_cast<const std::string>(argument));
            // Nobody else holds the bytes now: their memory serves the next block.
            if (argument.use_count() == 1)
                ZRHTTPBodyBuffer::recycle(std::move(*std::const_pointer_cast<std::string>(
                    std::static_pointer_cast<const std::string>(argument))));
            break;
        case Callback::willRedirect:
            delegate->requestWillRedirectToURL(request, *std::static_pointer_cast<const std::string>(argument));
            break;
        case Callback::authentication:
            delegate->authenticationNeededForRequest(request);
            break;
        case Callback::proxyAuthentication:
            delegate->proxyAuthenticationNeededForRequest(request);
            break;
        case Callback::finished:
            delegate->requestFinished(request);
            break;
        case Callback::failed:
            delegate->requestFailed(request);
            break;
        }
    };
    if (executor && *executor && !_isPACFileRequest)
        (*executor)(std::move(deliver));
    else
        deliver();
}

// MARK: - Results

#define ZR_LOCKED_GETTER(function, type, expression)                                                                    \
    type ZRHTTPRequest::function() const                                                                                \
    {                                                                                                                   \
        std::lock_guard lock(_cancelledLock);                                                                           \
        return expression;                                                                                              \
    }

ZR_LOCKED_GETTER(originalURL, std::string, _originalURL)
ZR_LOCKED_GETTER(proxyHost, std::string, _proxyHost)
ZR_LOCKED_GETTER(proxyPort, int, _proxyPort)
ZR_LOCKED_GETTER(proxyType, ZRHTTPRequest::ProxyType, _proxyType)
ZR_LOCKED_GETTER(PACurl, std::string, _pacURL)
ZR_LOCKED_GETTER(username, std::string, _username)
ZR_LOCKED_GETTER(domain, std::string, _domain)
ZR_LOCKED_GETTER(proxyUsername, std::string, _proxyUsername)
ZR_LOCKED_GETTER(proxyDomain, std::string, _proxyDomain)
ZR_LOCKED_GETTER(authenticationScheme, std::string, _authenticationScheme)
ZR_LOCKED_GETTER(proxyAuthenticationScheme, std::string, _proxyAuthenticationScheme)
ZR_LOCKED_GETTER(authenticationRealm, std::string, _authenticationRealm)
ZR_LOCKED_GETTER(proxyAuthenticationRealm, std::string, _proxyAuthenticationRealm)
ZR_LOCKED_GETTER(useKeychainPersistence, bool, _useKeychainPersistence)
ZR_LOCKED_GETTER(authenticationRetryCount, int, _authenticationRetryCount)
ZR_LOCKED_GETTER(proxyAuthenticationRetryCount, int, _proxyAuthenticationRetryCount)
ZR_LOCKED_GETTER(isWaitingForCredentials, bool, _waitingForCredentials)
ZR_LOCKED_GETTER(responseStatusCode, int, _responseStatusCode)
ZR_LOCKED_GETTER(responseStatusMessage, std::string, _responseStatusMessage)
ZR_LOCKED_GETTER(responseHeaders, ZRHTTPHeaders, _responseHeaders)
ZR_LOCKED_GETTER(error, ZRHTTPErrorPtr, _error)
ZR_LOCKED_GETTER(contentLength, std::uint64_t, _contentLength)
ZR_LOCKED_GETTER(totalBytesRead, std::uint64_t, _totalBytesRead)
ZR_LOCKED_GETTER(partialDownloadSize, std::uint64_t, _partialDownloadSize)
ZR_LOCKED_GETTER(redirectCount, int, _redirectCount)
ZR_LOCKED_GETTER(retryCount, int, _retryCount)
ZR_LOCKED_GETTER(connectionCanBeReused, bool, _connectionCanBeReused)
ZR_LOCKED_GETTER(connectionID, std::int32_t, _connectionID)
ZR_LOCKED_GETTER(requestID, std::uint32_t, _requestID)
ZR_LOCKED_GETTER(authenticationNeeded, int, _authenticationNeeded)
ZR_LOCKED_GETTER(isExecuting, bool, _inProgress)
ZR_LOCKED_GETTER(isFinished, bool, _finished)
ZR_LOCKED_GETTER(isCancelled, bool, _cancelled)
ZR_LOCKED_GETTER(isComplete, bool, _complete)
ZR_LOCKED_GETTER(responseEncoding, std::string, _responseEncoding.empty() ? std::string("ISO-8859-1") : _responseEncoding)

#undef ZR_LOCKED_GETTER

bool ZRHTTPRequest::isResponseCompressed() const
{
    std::lock_guard lock(_cancelledLock);
    const auto encoding = _responseHeaders.find("Content-Encoding");
    return encoding != _responseHeaders.end() && encoding->second.find("gzip") != std::string::npos;
}

std::optional<std::string> ZRHTTPRequest::responseData() const
{
    std::lock_guard lock(_cancelledLock);
    if (isResponseCompressed() && _shouldWaitToInflateCompressedResponses) {
        if (_rawResponseData.empty())
            return std::string();
        return ZRDataDecompressor::uncompressData(_rawResponseData, nullptr);
    }
    return _rawResponseData;
}

std::optional<std::string> ZRHTTPRequest::responseString() const
{
    const auto data = responseData();
    if (!data)
        return std::nullopt;
    std::string encoding = responseEncoding();
    iconv_t converter = ::iconv_open("UTF-8", encoding.c_str());
    // An unknown charset name falls back to the default, as a missing one does.
    if (converter == reinterpret_cast<iconv_t>(-1))
        converter = ::iconv_open("UTF-8", "ISO-8859-1");
    if (converter == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string input = *data;
    std::string output(input.size() * 4 + 16, '\0');
    char *in = input.data();
    std::size_t inLeft = input.size();
    char *out = output.data();
    std::size_t outLeft = output.size();
    const std::size_t result = ::iconv(converter, &in, &inLeft, &out, &outLeft);
    ::iconv_close(converter);
    if (result == static_cast<std::size_t>(-1))
        return std::nullopt;
    output.resize(output.size() - outLeft);
    return output;
}

// MARK: - Class operations

ZRHTTPRequestQueue &ZRHTTPRequest::sharedQueue()
{
    static ZRHTTPRequestQueue queue;
    return queue;
}

double ZRHTTPRequest::defaultTimeOutSeconds()
{
    std::lock_guard lock(classState().mutex);
    return classState().defaultTimeOutSeconds;
}

void ZRHTTPRequest::setDefaultTimeOutSeconds(double seconds)
{
    std::lock_guard lock(classState().mutex);
    classState().defaultTimeOutSeconds = seconds;
}

std::optional<std::string> ZRHTTPRequest::defaultUserAgentString()
{
    std::lock_guard lock(classState().mutex);
    return classState().defaultUserAgent;
}

void ZRHTTPRequest::setDefaultUserAgentApplication(const std::string &name, const std::string &shortVersion,
    const std::string &buildVersion)
{
    std::optional<std::string> userAgent;
    if (!name.empty()) {
        std::string version = shortVersion;
        if (!shortVersion.empty() && !buildVersion.empty() && shortVersion != buildVersion)
            version = shortVersion + " rv:" + buildVersion;
        else if (shortVersion.empty())
            version = buildVersion;
        userAgent = name + " " + version + " (X11; Linux " + machineArchitecture() + "; " + localeIdentifier() + ")";
    }
    std::lock_guard lock(classState().mutex);
    classState().defaultUserAgent = userAgent;
}

std::optional<std::chrono::system_clock::time_point> ZRHTTPRequest::dateFromRFC1123String(const std::string &text)
{
    return ZRHTTPDate::dateFromRFC1123String(text);
}

void ZRHTTPRequest::setCallbackExecutor(CallbackExecutor executor)
{
    auto shared = std::make_shared<const CallbackExecutor>(std::move(executor));
    std::lock_guard lock(classState().mutex);
    classState().executor = std::move(shared);
}

void ZRHTTPRequest::startEngine()
{
    ZRHTTPRequestThread::shared();
}

void ZRHTTPRequest::setProxyResolver(std::shared_ptr<ProxyResolver> resolver)
{
    std::lock_guard lock(classState().mutex);
    classState().proxyResolver = std::move(resolver);
}

void ZRHTTPRequest::setCredentialStorage(std::shared_ptr<ZRHTTPCredentialStorage> storage)
{
    ZRHTTPCredentialStore::shared().setCredentialStorage(std::move(storage));
}

void ZRHTTPRequest::setLogFunction(LogFunction function)
{
    auto shared = std::make_shared<const LogFunction>(std::move(function));
    std::lock_guard lock(classState().mutex);
    classState().logFunction = std::move(shared);
}

void ZRHTTPRequest::setMaxBandwidthPerSecond(std::uint64_t bytesPerSecond)
{
    ZRHTTPBandwidth::shared().setMaxBandwidthPerSecond(bytesPerSecond);
}

std::uint64_t ZRHTTPRequest::maxBandwidthPerSecond()
{
    return ZRHTTPBandwidth::shared().maxBandwidthPerSecond();
}

bool ZRHTTPRequest::isBandwidthThrottled()
{
    return ZRHTTPBandwidth::shared().isBandwidthThrottled();
}

void ZRHTTPRequest::incrementBandwidthUsedInLastSecond(std::uint64_t bytes)
{
    ZRHTTPBandwidth::shared().incrementBandwidthUsedInLastSecond(bytes);
}

std::uint64_t ZRHTTPRequest::averageBandwidthUsedPerSecond()
{
    return ZRHTTPBandwidth::shared().averageBandwidthUsedPerSecond();
}

void ZRHTTPRequest::measureBandwidthUsage()
{
    ZRHTTPBandwidth::shared().measureBandwidthUsage();
}

std::uint64_t ZRHTTPRequest::maxUploadReadLength()
{
    return ZRHTTPBandwidth::shared().maxUploadReadLength();
}
