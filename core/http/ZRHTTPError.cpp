// Error values of the request engine and the shared presets.
#include "core/http/ZRHTTPError.h"

std::shared_ptr<const ZRHTTPError> ZRHTTPError::make(int code, std::string message,
    std::shared_ptr<const ZRHTTPError> underlying, std::string domain)
{
    auto error = std::make_shared<ZRHTTPError>();
    error->domain = std::move(domain);
    error->code = code;
    error->localizedDescription = std::move(message);
    error->underlyingError = std::move(underlying);
    return error;
}

std::shared_ptr<const ZRHTTPError> ZRHTTPError::requestTimedOutError()
{
    static const auto error = make(ZRHTTPRequestTimedOutErrorCode, ZRHTTPErrorMessage::timedOut);
    return error;
}

std::shared_ptr<const ZRHTTPError> ZRHTTPError::authenticationError()
{
    static const auto error = make(ZRHTTPAuthenticationErrorCode, ZRHTTPErrorMessage::authenticationNeeded);
    return error;
}

std::shared_ptr<const ZRHTTPError> ZRHTTPError::requestCancelledError()
{
    static const auto error = make(ZRHTTPRequestCancelledErrorCode, ZRHTTPErrorMessage::cancelled);
    return error;
}

std::shared_ptr<const ZRHTTPError> ZRHTTPError::unableToCreateRequestError()
{
    static const auto error = make(ZRHTTPUnableToCreateRequestErrorCode, ZRHTTPErrorMessage::unableToCreateRequest);
    return error;
}

std::shared_ptr<const ZRHTTPError> ZRHTTPError::tooMuchRedirectionError()
{
    static const auto error = make(ZRHTTPTooMuchRedirectionErrorCode, ZRHTTPErrorMessage::tooManyRedirects);
    return error;
}
