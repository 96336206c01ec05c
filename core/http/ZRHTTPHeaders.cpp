// Header maps and the rules the engine applies to header fields.
#include "core/http/ZRHTTPHeaders.h"

#include <algorithm>
#include <limits>

namespace {

char lowerASCII(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Reads an optional sign and decimal digits at the position, like a lenient integer scanner.
long long scanInteger(std::string_view text, std::size_t position)
{
    while (position < text.size() && isBlank(text[position]))
        ++position;
    bool negative = false;
    if (position < text.size() && (text[position] == '-' || text[position] == '+')) {
        negative = text[position] == '-';
        ++position;
    }
    long long value = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
        if (value < std::numeric_limits<int>::max())
            value = value * 10 + (text[position] - '0');
        ++position;
    }
    return negative ? -value : value;
}

} // namespace

bool ZRHTTPCaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
        [](char x, char y) { return lowerASCII(x) < lowerASCII(y); });
}

namespace ZRHTTPHeaderFields {

std::string lowercased(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), lowerASCII);
    return result;
}

std::string trimmed(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

std::uint64_t contentLengthFromString(std::string_view text)
{
    const std::string value = trimmed(text);
    if (value.empty())
        return 0;
    std::uint64_t length = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return 0;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (length > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            return 0;
        length = length * 10 + digit;
    }
    // A length that does not fit a signed file offset cannot be real.
    if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return 0;
    return length;
}

bool isSafeHeaderText(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::optional<std::string> unsafeHeaderFieldName(const ZRHTTPHeaders &headers)
{
    for (const auto &[name, value] : headers) {
        if (!isSafeHeaderText(name) || !isSafeHeaderText(value) || name.empty())
            return name;
    }
    return std::nullopt;
}

ZRHTTPKeepAliveDecision keepAliveDecision(bool responseIsHTTP10, const std::string *connection,
    const std::string *keepAlive)
{
    ZRHTTPKeepAliveDecision decision;
    const std::string connectionValue = connection ? lowercased(trimmed(*connection)) : std::string();
    if ((responseIsHTTP10 && connectionValue != "keep-alive") || connectionValue == "close")
        return decision;
    if (!keepAlive) {
        decision.canBeReused = true;
        return decision;
    }
    const std::string value = *keepAlive;
    long long timeout = 0;
    long long maximum = 0;
    std::size_t position = value.find("timeout=");
    std::size_t maxSearchStart = 0;
    if (position != std::string::npos) {
        timeout = scanInteger(value, position + 8);
        maxSearchStart = position + 8;
    }
    position = value.find("max=", maxSearchStart);
    if (position != std::string::npos)
        maximum = scanInteger(value, position + 4);
    // A server that allows only a few more requests on the connection is about to close it.
    if (maximum >= 6) {
        decision.canBeReused = true;
        decision.timeoutSeconds = static_cast<double>(timeout);
    }
    return decision;
}

bool isRedirectStatus(int statusCode)
{
    return statusCode == 301 || statusCode == 302 || statusCode == 303 || redirectKeepsMethod(statusCode);
}

bool redirectKeepsMethod(int statusCode)
{
    return statusCode == 307 || statusCode == 308;
}

bool isFieldKeptAcrossOrigins(std::string_view name)
{
    // What describes the client and the resource, not the site.
    static constexpr std::string_view kept[] = {"User-Agent", "Accept", "Accept-Encoding", "Accept-Language",
        "Content-Type", "Content-Length", "Range", "If-Range"};
    const ZRHTTPCaseInsensitiveLess less;
    for (std::string_view field : kept) {
        if (!less(field, name) && !less(name, field))
            return true;
    }
    return false;
}

std::string charsetFromContentType(std::string_view contentType)
{
    const std::string lower = lowercased(contentType);
    const std::size_t position = lower.find("charset=");
    if (position == std::string::npos)
        return {};
    std::size_t begin = position + 8;
    std::size_t end = lower.find(';', begin);
    std::string charset = trimmed(contentType.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    if (charset.size() >= 2 && charset.front() == '"' && charset.back() == '"')
        charset = charset.substr(1, charset.size() - 2);
    return charset;
}

} // namespace ZRHTTPHeaderFields
