// One web resource fetched synchronously on the calling thread (the download pages' reader), with
// an optional multipart form posted to it, outside the request engine: redirects are followed, the
// body is decoded, nothing is cached.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ZRHTTPFormPosting
{

// One field of a form: its "Name" and "Value".
struct FormField {
    std::string name;
    std::string value;
};
using Form = std::vector<FormField>;

struct URLRequest {
    std::string url;
    std::string method; // "GET", or "POST" with a form
    std::vector<std::pair<std::string, std::string>> headerFields;
    std::string body;
    double timeOutSeconds = 60;
};

// Any thread.

// The request for the address: a plain GET without a form (or with an empty one), else a "POST"
// with "Content-Type: multipart/form-data; boundary=..." and the multipart body.
URLRequest URLRequestForPostingForm(const std::string &url, const Form *form);

// Where the failure line goes; without one it is dropped.
using LogFunction = std::function<void(const std::string &line)>;
// A page bigger than this is not read (a download page is text, not a file).
inline constexpr std::size_t DefaultMaximumBodySize = 16 * 1024 * 1024;

// Not on the main thread: blocks for up to 60 seconds. The response body (whatever the status), or
// none when the resource could not be loaded: then "cannot load data from: <url>\nerror: ...\n
// response: ..." is logged. The address that answered last goes into effectiveTargetURL.
std::optional<std::string> dataByPostingForm(const std::string &url, const Form *form,
                                             std::string *effectiveTargetURL = nullptr,
                                             const LogFunction &log = {},
                                             std::size_t maximumBodySize = DefaultMaximumBodySize);
std::optional<std::string> dataBySynchronouslyPostingToURL(const Form &form, const std::string &url,
                                                           const LogFunction &log = {});
// The body as text, or none when it is not valid UTF-8.
std::optional<std::string> stringBySynchronouslyPostingToURL(const Form &form, const std::string &url,
                                                             const LogFunction &log = {});
bool isValidUTF8(const std::string &bytes);

// Building multipart bodies.
void appendUTF8String(std::string &body, const std::string &text);
void appendUTF8StringForFormField(std::string &body, const std::string &text, const std::string &fieldName);
void appendDataForFormField(std::string &body, const std::string &data, const std::string &fieldName);
// "Content-Disposition: <disposition>\r\n" (and "Content-Type: <type>\r\n") and a blank line when a
// disposition is given, then the bytes.
void appendDataWithContentDisposition(std::string &body, const std::string &data,
                                      const std::optional<std::string> &contentDisposition,
                                      const std::optional<std::string> &contentType);

} // namespace ZRHTTPFormPosting
