#include "core/http/ZRHTTPFormPosting.h"

#include "core/http/ZRHTTPRequest.h"

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

namespace ZRHTTPFormPosting
{

namespace
{

std::string newBoundary()
{
    static const char digits[] = "0123456789abcdef";
    std::random_device device;
    std::mt19937_64 generator(device());
    std::string boundary = "Boundary-";
    for (int i = 0; i < 32; ++i)
        boundary += digits[generator() % 16];
    return boundary;
}

struct Body {
    std::string bytes;
    std::size_t limit = 0;
    bool tooLarge = false;
};

size_t writeBody(char *data, size_t size, size_t count, void *context)
{
    Body *body = static_cast<Body *>(context);
    const size_t length = size * count;
    if (body->bytes.size() + length > body->limit) {
        body->tooLarge = true;
        return 0; // stops the transfer
    }
    body->bytes.append(data, length);
    return length;
}

struct EasyRelease {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
struct ListRelease {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

} // namespace

URLRequest URLRequestForPostingForm(const std::string &url, const Form *form)
{
    URLRequest request;
    request.url = url;
    request.method = "GET";
    if (!form || form->empty())
        return request;
    const std::string boundary = newBoundary();
    request.method = "POST";
    request.headerFields.emplace_back("Content-Type", "multipart/form-data; boundary=" + boundary);
    for (const FormField &field : *form) {
        appendUTF8String(request.body, "--" + boundary + "\r\n");
        appendUTF8StringForFormField(request.body, field.value, field.name);
        appendUTF8String(request.body, "\r\n");
    }
    appendUTF8String(request.body, "--" + boundary + "--\r\n");
    return request;
}

std::optional<std::string> dataByPostingForm(const std::string &url, const Form *form,
                                             std::string *effectiveTargetURL, const LogFunction &log,
                                             std::size_t maximumBodySize)
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    const URLRequest request = URLRequestForPostingForm(url, form);
    auto fail = [&](const std::string &error, const std::string &response) -> std::optional<std::string> {
        if (log)
            log("cannot load data from: " + url + "\nerror: " + error + "\nresponse: " + response);
        return std::nullopt;
    };
    std::unique_ptr<CURL, EasyRelease> easy(curl_easy_init());
    if (!easy)
        return fail("cannot create a transfer", "(none)");
    CURL *handle = easy.get();
    Body body;
    body.limit = maximumBodySize;
    std::unique_ptr<curl_slist, ListRelease> headers;
    for (const auto &[name, value] : request.headerFields)
        headers.reset(curl_slist_append(headers.release(), (name + ": " + value).c_str()));
    char errorBuffer[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, long(request.timeOutSeconds * 1000));
    // Any encoding curl can decode is offered and decoded.
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    // Not the environment's proxy variables: the fetch goes direct, as the engine does without one.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    if (const std::optional<std::string> userAgent = ZRHTTPRequest::defaultUserAgentString())
        curl_easy_setopt(handle, CURLOPT_USERAGENT, userAgent->c_str());
    if (headers)
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    if (request.method == "POST") {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
    }

    const CURLcode code = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    char *lastURL = nullptr;
    curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &lastURL);
    const std::string response =
        status > 0 ? "HTTP " + std::to_string(status) + " from " + (lastURL ? lastURL : url) : "(none)";
    if (code != CURLE_OK) {
        if (body.tooLarge)
            return fail("the page is larger than " + std::to_string(maximumBodySize) + " bytes", response);
        return fail(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code), response);
    }
    if (effectiveTargetURL)
        *effectiveTargetURL = lastURL ? lastURL : url;
    return std::move(body.bytes);
}

std::optional<std::string> dataBySynchronouslyPostingToURL(const Form &form, const std::string &url,
                                                           const LogFunction &log)
{
    return dataByPostingForm(url, &form, nullptr, log);
}

std::optional<std::string> stringBySynchronouslyPostingToURL(const Form &form, const std::string &url,
                                                             const LogFunction &log)
{
    std::optional<std::string> data = dataBySynchronouslyPostingToURL(form, url, log);
    if (!data || !isValidUTF8(*data))
        return std::nullopt;
    return data;
}

bool isValidUTF8(const std::string &bytes)
{
    const auto *s = reinterpret_cast<const unsigned char *>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        std::size_t extra;
        std::uint32_t point;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            point = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            point = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            point = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and points beyond Unicode.
        static const std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (point < minimum[extra] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF)
            return false;
        i += extra + 1;
    }
    return true;
}

void appendUTF8String(std::string &body, const std::string &text)
{
    body += text;
}

void appendUTF8StringForFormField(std::string &body, const std::string &text, const std::string &fieldName)
{
    appendDataForFormField(body, text, fieldName);
}

void appendDataForFormField(std::string &body, const std::string &data, const std::string &fieldName)
{
    appendDataWithContentDisposition(body, data, "form-data; name=\"" + fieldName + "\"", std::nullopt);
}

void appendDataWithContentDisposition(std::string &body, const std::string &data,
                                      const std::optional<std::string> &contentDisposition,
                                      const std::optional<std::string> &contentType)
{
    if (contentDisposition) {
        body += "Content-Disposition: " + *contentDisposition + "\r\n";
        if (contentType)
            body += "Content-Type: " + *contentType + "\r\n";
        body += "\r\n";
    }
    body += data;
}

} // namespace ZRHTTPFormPosting
