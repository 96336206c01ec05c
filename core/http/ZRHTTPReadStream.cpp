// One request message and its response over a curl easy handle.
#include "core/http/ZRHTTPReadStream.h"

#include "core/http/ZRHTTPRequestThread.h"


#include <algorithm>
#include <cstring>

#include <sys/socket.h>

namespace {

// Body bytes held for the request before curl is told to stop receiving: large enough for the
// biggest read, small enough that a slow reader pushes back on the server.
constexpr std::size_t receiveBufferLimit = 256 * 1024;
// Curl reads the socket in pieces of this size and hands each over in parts of at most
// CURL_MAX_WRITE_SIZE. Refusing a part makes curl copy the rest of its piece into a buffer of its
// own, so the stream stops curl where a piece ends, and refuses bytes only far beyond the limit
// when it cannot tell where pieces end.
constexpr long curlReadSize = 128L * 1024L;
// Bodies up to this size are read in one or a few reads of a size fitted to them.
constexpr std::uint64_t largestSmallBody = 262144;

} // namespace

ZRHTTPReadStream::ZRHTTPReadStream(ZRHTTPReadStreamClient *client)
    : _client(client)
    , _handle(curl_easy_init())
    , _receiveBufferLimit(receiveBufferLimit)
    , _curlReadSize(curlReadSize)
{
    configureHandle();
}

ZRHTTPReadStream::ZRHTTPReadStream(ZRHTTPReadStreamClient *client, CURL *earlierHandle)
    : _client(client)
    , _handle(earlierHandle ? earlierHandle : curl_easy_init())
    , _receiveBufferLimit(receiveBufferLimit)
    , _curlReadSize(curlReadSize)
{
    if (!_handle || !earlierHandle) {
        configureHandle();
        return;
    }
    // What the earlier attempt set only in some cases; everything else is set for each attempt.
    curl_easy_setopt(_handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(_handle, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(_handle, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(_handle, CURLOPT_READFUNCTION, nullptr);
    curl_easy_setopt(_handle, CURLOPT_SEEKFUNCTION, nullptr);
    curl_easy_setopt(_handle, CURLOPT_COOKIE, nullptr);
    curl_easy_setopt(_handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(_handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(_handle, CURLOPT_FRESH_CONNECT, 0L);
    curl_easy_setopt(_handle, CURLOPT_FORBID_REUSE, 0L);
    curl_easy_setopt(_handle, CURLOPT_SOCKOPTFUNCTION, nullptr);
    curl_easy_setopt(_handle, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(_handle, CURLOPT_PROXYHEADER, nullptr);
    configureHandle();
}

CURL *ZRHTTPReadStream::releaseHandle()
{
    close();
    CURL *handle = _handle;
    _handle = nullptr;
    return handle;
}

void ZRHTTPReadStream::configureHandle()
{
    if (!_handle)
        return;
    curl_easy_setopt(_handle, CURLOPT_PRIVATE, this);
    curl_easy_setopt(_handle, CURLOPT_WRITEFUNCTION, &ZRHTTPReadStream::writeCallback);
    curl_easy_setopt(_handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(_handle, CURLOPT_HEADERFUNCTION, &ZRHTTPReadStream::headerCallback);
    curl_easy_setopt(_handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(_handle, CURLOPT_ERRORBUFFER, _errorBuffer);
    curl_easy_setopt(_handle, CURLOPT_OPENSOCKETFUNCTION, &ZRHTTPReadStream::openSocketCallback);
    curl_easy_setopt(_handle, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(_handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(_handle, CURLOPT_BUFFERSIZE, curlReadSize);
    // The engine follows redirects, answers challenges and decodes bodies itself.
    curl_easy_setopt(_handle, CURLOPT_FOLLOWLOCATION, 0L);
    // The proxy's answers to CONNECT come through the header callback: a 407 there is a challenge.
    curl_easy_setopt(_handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 0L);
    curl_easy_setopt(_handle, CURLOPT_PROTOCOLS_STR, "http,https");
}

ZRHTTPReadStream::~ZRHTTPReadStream()
{
    close();
    if (_handle)
        curl_easy_cleanup(_handle);
    curl_slist_free_all(_headerList);
    curl_slist_free_all(_proxyHeaderList);
}

void ZRHTTPReadStream::setHeaderList(curl_slist *list)
{
    curl_slist_free_all(_headerList);
    _headerList = list;
    curl_easy_setopt(_handle, CURLOPT_HTTPHEADER, _headerList);
}

void ZRHTTPReadStream::setProxyHeaderList(curl_slist *list)
{
    curl_slist_free_all(_proxyHeaderList);
    _proxyHeaderList = list;
    curl_easy_setopt(_handle, CURLOPT_PROXYHEADER, _proxyHeaderList);
}

void ZRHTTPReadStream::setBody(curl_read_callback reader, curl_seek_callback seeker, void *context,
    std::uint64_t length)
{
    curl_easy_setopt(_handle, CURLOPT_READFUNCTION, reader);
    curl_easy_setopt(_handle, CURLOPT_READDATA, context);
    curl_easy_setopt(_handle, CURLOPT_SEEKFUNCTION, seeker);
    curl_easy_setopt(_handle, CURLOPT_SEEKDATA, context);
    curl_easy_setopt(_handle, CURLOPT_POST, 1L);
    curl_easy_setopt(_handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
}

bool ZRHTTPReadStream::open()
{
    if (!_handle)
        return false;
    _opened = true;
    if (_scheduled && !_addedToMulti) {
        if (!ZRHTTPRequestThread::shared().addStream(this))
            return false;
        _addedToMulti = true;
    }
    return true;
}

void ZRHTTPReadStream::close()
{
    // After the loop has stopped, curl_easy_cleanup takes the handle off the multi handle itself.
    // On the loop's own thread, in its last turn, the stream must still leave its lists: that turn
    // goes on to hand events to the streams it lists.
    if (_addedToMulti &&
        (!ZRHTTPRequestThread::hasStopped() || ZRHTTPRequestThread::shared().isCurrentThread())) {
        ZRHTTPRequestThread::shared().removeStream(this);
        _addedToMulti = false;
    }
    _opened = false;
}

void ZRHTTPReadStream::setScheduled(bool scheduled)
{
    if (_scheduled == scheduled)
        return;
    _scheduled = scheduled;
    if (_scheduled && _opened && !_addedToMulti) {
        _addedToMulti = ZRHTTPRequestThread::shared().addStream(this);
        return;
    }
    updateReceivePause();
}

void ZRHTTPReadStream::setReceiveBufferLimit(std::size_t limit)
{
    const std::size_t wanted = limit ? std::min(limit, receiveBufferLimit) : receiveBufferLimit;
    if (wanted == _receiveBufferLimit && (!limit || _socketBufferLimited))
        return;
    _receiveBufferLimit = wanted;
    // The read size can only change before the transfer begins, and a new socket gets its buffer
    // before it connects; a re-used one as soon as it is known.
    if (!_addedToMulti) {
        _curlReadSize = std::max<long>(16384, std::min<long>(curlReadSize, long(wanted)));
        curl_easy_setopt(_handle, CURLOPT_BUFFERSIZE, _curlReadSize);
        curl_sockopt_callback setter = limit ? &ZRHTTPReadStream::socketOptionCallback : nullptr;
        curl_easy_setopt(_handle, CURLOPT_SOCKOPTFUNCTION, setter);
        curl_easy_setopt(_handle, CURLOPT_SOCKOPTDATA, this);
    } else if (limit && !_socketBufferLimited) {
        curl_socket_t socket = CURL_SOCKET_BAD;
        curl_easy_getinfo(_handle, CURLINFO_ACTIVESOCKET, &socket);
        if (socket != CURL_SOCKET_BAD)
            limitSocketReceiveBuffer(socket);
    }
    updateReceivePause();
}

void ZRHTTPReadStream::limitSocketReceiveBuffer(curl_socket_t socket)
{
    // The kernel doubles the value for its own bookkeeping and keeps about half of that as
    // window: an eighth of the cap per round trip, so one stream still reaches the cap where a
    // round trip takes up to about an eighth of a second. A larger buffer would let the network
    // run ahead in bursts where segments are large (on loopback).
    const int size = int(_receiveBufferLimit);
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    _socketBufferLimited = true;
    // The small buffer stays with the socket: it is not one to hand to an unthrottled transfer.
    _connectionCanBeReused = false;
    curl_easy_setopt(_handle, CURLOPT_FORBID_REUSE, 1L);
}

curl_socket_t ZRHTTPReadStream::openSocketCallback(void *context, curlsocktype purpose, curl_sockaddr *address)
{
    auto *stream = static_cast<ZRHTTPReadStream *>(context);
    // A new connection to a proxy that tunnels: the proxy answers CONNECT first.
    if (purpose == CURLSOCKTYPE_IPCXN && stream->_tunnelsOnNewConnection)
        stream->_inTunnelResponses = true;
    const int descriptor = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    return descriptor < 0 ? CURL_SOCKET_BAD : descriptor;
}

int ZRHTTPReadStream::socketOptionCallback(void *context, curl_socket_t socket, curlsocktype purpose)
{
    if (purpose == CURLSOCKTYPE_IPCXN)
        static_cast<ZRHTTPReadStream *>(context)->limitSocketReceiveBuffer(socket);
    return CURL_SOCKOPT_OK;
}

bool ZRHTTPReadStream::wantsReceivePause() const
{
    // A parked stream still fills its buffer, so that bytes are at hand when it is released.
    return bytesAvailable() >= _receiveBufferLimit;
}

void ZRHTTPReadStream::updateReceivePause()
{
    if (!_addedToMulti || _transferEnded)
        return;
    const bool pause = wantsReceivePause();
    if (pause == _receivePaused)
        return;
    _receivePaused = pause;
    // Unpausing may hand over held bytes at once, through writeCallback.
    curl_easy_pause(_handle, pause ? CURLPAUSE_RECV : CURLPAUSE_CONT);
}

std::size_t ZRHTTPReadStream::readLengthForContentLength(std::uint64_t contentLength)
{
    if (contentLength > largestSmallBody)
        return 262144;
    if (contentLength > 65536)
        return 65536;
    return 16384;
}

std::string ZRHTTPReadStream::read(std::size_t maximum)
{
    std::string chunk = _buffer.take(maximum);
    if (chunk.empty())
        return chunk;
    _bytesTaken += chunk.size();
    // Unpausing may hand over held bytes at once, so the count available can stay the same.
    updateReceivePause();
    return chunk;
}

std::string ZRHTTPReadStream::errorMessage() const
{
    if (_errorBuffer[0])
        return _errorBuffer;
    return curl_easy_strerror(_result);
}

bool ZRHTTPReadStream::wasResponseHeaderTooLarge() const
{
    if (_headerTooLarge)
        return true;
    if (!_transferEnded || _headerComplete)
        return false;
    // curl refuses a header line or a whole header beyond its own limits before we see them.
    const std::string message = errorMessage();
    return _result == CURLE_OUT_OF_MEMORY || message.find("Too large response header") != std::string::npos
        || message.find("header (max is") != std::string::npos;
}

std::uint64_t ZRHTTPReadStream::bytesWritten() const
{
    curl_off_t uploaded = 0;
    if (_handle)
        curl_easy_getinfo(_handle, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    return uploaded > 0 ? static_cast<std::uint64_t>(uploaded) : 0;
}

ZRHTTPStreamEvent ZRHTTPReadStream::takeNextEvent()
{
    if (!_scheduled || !_opened)
        return ZRHTTPStreamEvent::none;
    if (_headerComplete && !_headerAnnounced) {
        _headerAnnounced = true;
        return ZRHTTPStreamEvent::bytesAvailable;
    }
    if (bytesAvailable() > 0)
        return _ignoredUntilNewData ? ZRHTTPStreamEvent::none : ZRHTTPStreamEvent::bytesAvailable;
    if (_transferEnded && !_endAnnounced) {
        _endAnnounced = true;
        return _result == CURLE_OK ? ZRHTTPStreamEvent::endEncountered : ZRHTTPStreamEvent::errorOccurred;
    }
    return ZRHTTPStreamEvent::none;
}

void ZRHTTPReadStream::transferDidEnd(CURLcode result)
{
    _transferEnded = true;
    _result = result;
    if (_challengeHeldBack)
        completeResponseHeader();
    else if (result != CURLE_OK && !_headerComplete && takeTunnelChallenge())
        _result = CURLE_OK;
}

bool ZRHTTPReadStream::takeTunnelChallenge()
{
    // A proxy that refuses a tunnel without credentials: libcurl ends the transfer; the proxy's
    // answer is the response.
    long connectCode = 0;
    if (curl_easy_getinfo(_handle, CURLINFO_HTTP_CONNECTCODE, &connectCode) != CURLE_OK || connectCode != 407
        || _tunnelStatusCode != 407)
        return false;
    _headers = _tunnelHeaders;
    _statusCode = _tunnelStatusCode;
    _statusLine = _tunnelStatusLine;
    _headerComplete = true;
    _connectionCanBeReused = false;
    return true;
}

std::size_t ZRHTTPReadStream::writeCallback(char *data, std::size_t size, std::size_t count, void *context)
{
    auto *stream = static_cast<ZRHTTPReadStream *>(context);
    const std::size_t length = size * count;
    // libcurl passes on the body of a challenge it does not answer: that challenge is the response.
    if (stream->_challengeHeldBack)
        stream->completeResponseHeader();
    if (stream->bytesAvailable() >= 4 * stream->_receiveBufferLimit) {
        stream->_receivePaused = true;
        stream->_bytesInCurlRead = 0;
        return CURL_WRITEFUNC_PAUSE;
    }
    stream->_buffer.append(data, length);
    stream->_ignoredUntilNewData = false;
    // A short part, or the part that fills curl's buffer, ends what curl read from the socket.
    stream->_bytesInCurlRead += length;
    const bool endsCurlRead = length < CURL_MAX_WRITE_SIZE
        || stream->_bytesInCurlRead >= static_cast<std::size_t>(stream->_curlReadSize);
    if (endsCurlRead)
        stream->_bytesInCurlRead = 0;
    if (endsCurlRead && !stream->_receivePaused && stream->wantsReceivePause()) {
        // Curl holds nothing more of this read: pausing now costs no copy.
        stream->_receivePaused = true;
        curl_easy_pause(stream->_handle, CURLPAUSE_RECV);
    }
    return length;
}

std::size_t ZRHTTPReadStream::headerCallback(char *data, std::size_t size, std::size_t count, void *context)
{
    auto *stream = static_cast<ZRHTTPReadStream *>(context);
    const std::size_t length = size * count;
    // Trailers of a chunked body come through here too; the header is already settled.
    if (!stream->_headerComplete) {
        // Interim responses count too: a server that never ends its header must not fill memory.
        stream->_headerBytes += length;
        if (stream->_headerBytes > maximumResponseHeaderSize) {
            stream->_headerTooLarge = true;
            return 0;
        }
        stream->parseHeaderLine(std::string_view(data, length));
    }
    return length;
}

void ZRHTTPReadStream::decideConnectionReuse()
{
    _connectionCanBeReused = false;
    if (_attemptsPersistentConnection) {
        const auto connection = _headers.find("Connection");
        const auto keepAlive = _headers.find("Keep-Alive");
        const auto decision = ZRHTTPHeaderFields::keepAliveDecision(_http10,
            connection != _headers.end() ? &connection->second : nullptr,
            keepAlive != _headers.end() ? &keepAlive->second : nullptr);
        _connectionCanBeReused = decision.canBeReused && !_socketBufferLimited;
        _keepAliveTimeoutSeconds = decision.timeoutSeconds;
    }
    // curl would keep the connection for another transfer; the decision is ours. Only a flag that
    // curl reads when the transfer ends, so it may be set from inside its callback.
    if (!_connectionCanBeReused)
        curl_easy_setopt(_handle, CURLOPT_FORBID_REUSE, 1L);
}

void ZRHTTPReadStream::parseHeaderLine(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
        // A new status line starts a new response header (after a 1xx one, or after a challenge
        // that libcurl answered itself).
        _challengeHeldBack = false;
        _headers.clear();
        _lastHeaderName.clear();
        _statusLine = std::string(line);
        _http10 = line.substr(0, 8) == "HTTP/1.0";
        const std::size_t space = line.find(' ');
        _statusCode = 0;
        if (space != std::string_view::npos) {
            for (std::size_t index = space + 1; index < line.size() && index < space + 4; ++index) {
                if (line[index] < '0' || line[index] > '9')
                    break;
                _statusCode = _statusCode * 10 + (line[index] - '0');
            }
        }
        _inInterimResponse = _statusCode >= 100 && _statusCode < 200;
        return;
    }
    if (line.empty()) {
        if (_statusLine.empty())
            return;
        if (_inInterimResponse) {
            _inInterimResponse = false;
            _statusLine.clear();
            return;
        }
        if (_inTunnelResponses) {
            // The tunnel is open: what follows is the server's. Otherwise libcurl may ask again
            // (answering a challenge itself) or give up; the last answer is kept for that.
            if (_statusCode >= 200 && _statusCode < 300) {
                _inTunnelResponses = false;
            } else {
                _tunnelStatusCode = _statusCode;
                _tunnelStatusLine = _statusLine;
                _tunnelHeaders = _headers;
            }
            _headers.clear();
            _statusLine.clear();
            _statusCode = 0;
            return;
        }
        if (_libraryAnswersChallenges && (_statusCode == 401 || _statusCode == 407)) {
            _challengeHeldBack = true;
            return;
        }
        completeResponseHeader();
        return;
    }
    if (_challengeHeldBack)
        return;
    if ((line.front() == ' ' || line.front() == '\t') && !_lastHeaderName.empty()) {
        auto found = _headers.find(_lastHeaderName);
        if (found != _headers.end())
            found->second += " " + ZRHTTPHeaderFields::trimmed(line);
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return;
    std::string name = ZRHTTPHeaderFields::trimmed(line.substr(0, colon));
    std::string value = ZRHTTPHeaderFields::trimmed(line.substr(colon + 1));
    auto [found, inserted] = _headers.try_emplace(name, value);
    // Repeated fields are one field whose values are joined by commas.
    if (!inserted)
        found->second += ", " + value;
    _lastHeaderName = name;
}

void ZRHTTPReadStream::completeResponseHeader()
{
    _challengeHeldBack = false;
    _headerComplete = true;
    decideConnectionReuse();
    // The body follows at once, often in the same read from the socket: a small one is held in
    // pieces of its read size from the start, so that it is handed on in one or two. A large one
    // starts in small pieces, and its reader raises the size with its first read.
    const auto length = _headers.find("Content-Length");
    const std::uint64_t contentLength =
        length == _headers.end() ? 0 : ZRHTTPHeaderFields::contentLengthFromString(length->second);
    if (contentLength <= largestSmallBody)
        setPreferredReadLength(readLengthForContentLength(contentLength));
}
