// Error values of the request engine: a domain, a code and a message, optionally with the error underneath.
#pragma once

#include <memory>
#include <string>

inline constexpr const char *ZRHTTPRequestErrorDomain = "ZRHTTPRequestErrorDomain";
// Transport errors carried as the underlying error of a connection failure; the code is libcurl's.
inline constexpr const char *ZRHTTPTransportErrorDomain = "ZRHTTPTransportErrorDomain";

// The failure codes of a request.
enum ZRHTTPErrorCode : int {
    ZRHTTPConnectionFailureErrorCode = 1,
    ZRHTTPRequestTimedOutErrorCode = 2,
    ZRHTTPAuthenticationErrorCode = 3,
    ZRHTTPRequestCancelledErrorCode = 4,
    ZRHTTPUnableToCreateRequestErrorCode = 5,
    ZRHTTPInternalErrorWhileBuildingRequestCode = 6,
    ZRHTTPInternalErrorWhileApplyingCredentialsCode = 7,
    ZRHTTPFileManagementErrorCode = 8,
    ZRHTTPTooMuchRedirectionErrorCode = 9,
    ZRHTTPUnhandledExceptionErrorCode = 10,
    ZRHTTPCompressionErrorCode = 11,
    // Asking again would bring the same answer: not a failure to retry.
    ZRHTTPResponseHeaderTooLargeErrorCode = 12,
};

// Immutable once made; shared between the request thread and the caller's thread.
struct ZRHTTPError {
    std::string domain;
    int code = 0;
    std::string localizedDescription;
    std::string failureReason;
    std::shared_ptr<const ZRHTTPError> underlyingError;

    static std::shared_ptr<const ZRHTTPError> make(int code, std::string message,
        std::shared_ptr<const ZRHTTPError> underlying = nullptr, std::string domain = ZRHTTPRequestErrorDomain);

    // The shared presets for the codes 2, 3, 4, 5 and 9.
    static std::shared_ptr<const ZRHTTPError> requestTimedOutError();
    static std::shared_ptr<const ZRHTTPError> authenticationError();
    static std::shared_ptr<const ZRHTTPError> requestCancelledError();
    static std::shared_ptr<const ZRHTTPError> unableToCreateRequestError();
    static std::shared_ptr<const ZRHTTPError> tooMuchRedirectionError();
};

using ZRHTTPErrorPtr = std::shared_ptr<const ZRHTTPError>;

namespace ZRHTTPErrorMessage {
inline constexpr const char *connectionFailure = "A connection failure occurred";
inline constexpr const char *sslProblemFormat =
    "%s: SSL problem (Possible causes may include a bad/expired/self-signed certificate, clock set to wrong date)";
inline constexpr const char *timedOut = "The request timed out";
inline constexpr const char *authenticationNeeded = "Authentication needed";
inline constexpr const char *cancelled = "The request was cancelled";
inline constexpr const char *unableToCreateRequest = "Unable to create request (bad url?)";
inline constexpr const char *invalidHeaderFieldFormat = "Unable to create request (invalid header field '%s')";
inline constexpr const char *unableToCreateReadStream = "Unable to create read stream";
inline constexpr const char *unableToStartConnection = "Unable to start HTTP connection";
inline constexpr const char *noAuthenticationObject = "Failed to get authentication object from response headers";
inline constexpr const char *failedToApplyCredentials = "Failed to apply credentials to request";
inline constexpr const char *failedToApplyProxyCredentials = "Failed to apply proxy credentials to request";
inline constexpr const char *proxyInformation = "Unable to obtain information on proxy servers needed for request";
inline constexpr const char *attributesOfFileFormat = "Failed to get attributes for file at path '%s'";
inline constexpr const char *moveFileFormat = "Failed to move file from '%s' to '%s'";
inline constexpr const char *writeFileFormat = "Failed to write to file at path '%s'";
inline constexpr const char *deleteFileFormat = "Failed to delete file at path '%s'";
inline constexpr const char *responseHeaderTooLarge = "response header too large";
inline constexpr const char *tooManyRedirects = "The request failed because it redirected too many times";
} // namespace ZRHTTPErrorMessage
