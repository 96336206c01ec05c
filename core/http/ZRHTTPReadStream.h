// One attempt to send a request message and read its response: a curl easy handle on the request
// thread's multi handle, with the response header and the body bytes that curl has handed over
// but the request has not read yet.
#pragma once

#include "core/http/ZRHTTPBodyBuffer.h"
#include "core/http/ZRHTTPHeaders.h"

#include <curl/curl.h>

#include <cstdint>
#include <optional>
#include <string>

class ZRHTTPReadStream;

enum class ZRHTTPStreamEvent { none, bytesAvailable, errorOccurred, endEncountered };

// Request thread: receives the events of a stream it owns.
class ZRHTTPReadStreamClient {
public:
    virtual void readStreamHandleEvent(ZRHTTPReadStream &stream, ZRHTTPStreamEvent event) = 0;

protected:
    ~ZRHTTPReadStreamClient() = default;
};

// Request thread, all of it: the stream, its easy handle and its buffer belong to that thread.
class ZRHTTPReadStream {
public:
    explicit ZRHTTPReadStream(ZRHTTPReadStreamClient *client);
    // A new attempt on the easy handle of an earlier one, which keeps what libcurl learnt from the
    // challenge that ended it (a Digest nonce); the options of the earlier attempt are undone.
    ZRHTTPReadStream(ZRHTTPReadStreamClient *client, CURL *earlierHandle);
    ~ZRHTTPReadStream();
    // Closes the stream and gives up its handle, for the next attempt of the same request.
    CURL *releaseHandle();
    ZRHTTPReadStream(const ZRHTTPReadStream &) = delete;
    ZRHTTPReadStream &operator=(const ZRHTTPReadStream &) = delete;

    // Configuring, before open(): the handle with our callbacks set, and the header lines (owned).
    bool isValid() const { return _handle != nullptr; }
    CURL *handle() const { return _handle; }
    void setHeaderList(curl_slist *list);
    // The fields for the proxy alone (owned).
    void setProxyHeaderList(curl_slist *list);
    // The body is pulled through curl's read and seek functions while the request is sent.
    void setBody(curl_read_callback reader, curl_seek_callback seeker, void *context, std::uint64_t length);

    // The connection may carry another request if the response allows it; decided the moment
    // the header is complete, before curl can put the connection back in its cache.
    void setAttemptsPersistentConnection(bool attempt) { _attemptsPersistentConnection = attempt; }
    bool canConnectionBeReused() const { return _connectionCanBeReused; }
    std::optional<double> persistentConnectionTimeoutSeconds() const { return _keepAliveTimeoutSeconds; }

    // Opening hands the handle to the request thread's multi handle; a stream that is not scheduled
    // yet is handed over when it first is.
    bool open();
    bool isOpen() const { return _opened; }
    // Takes the handle off the multi handle; no event follows.
    void close();

    // Under a bandwidth cap: hold at most `limit` unread body bytes (0: the usual amount), read the
    // socket in pieces no larger than that, and keep the socket's own receive buffer that small,
    // so that the network does not run far ahead of what the cap lets through.
    void setReceiveBufferLimit(std::size_t limit);

    // A parked stream gets no events; curl goes on receiving for it up to the receive buffer's limit.
    bool isScheduled() const { return _scheduled; }
    void setScheduled(bool scheduled);

    // libcurl answers challenges on this stream (Digest, NTLM, Negotiate): a 401 or 407 that it
    // answers itself (an NTLM handshake's middle step, a stale nonce) is not the response; one
    // becomes the response only once libcurl shows that it will not answer it (its body arrives
    // or the transfer ends).
    void setLibraryAnswersChallenges(bool answers) { _libraryAnswersChallenges = answers; }
    // The request goes through a tunnel of an HTTP proxy: the first responses are the proxy's
    // answers to CONNECT, not the server's.
    // A connection curl re-uses is a tunnel already open.
    void setExpectsTunnel(bool expects) { _tunnelsOnNewConnection = expects; }

    // The response header, once complete (1xx interim responses are skipped). A proxy's 407 to a
    // tunnel request counts as the response, with the proxy's challenge fields.
    bool isResponseHeaderComplete() const { return _headerComplete; }
    int statusCode() const { return _statusCode; }
    const std::string &statusLine() const { return _statusLine; }
    bool isHTTP10Response() const { return _http10; }
    // A response header longer than we take (or than curl takes) ended the transfer.
    bool wasResponseHeaderTooLarge() const;
    static constexpr std::size_t maximumResponseHeaderSize = 1024 * 1024;
    const ZRHTTPHeaders &responseHeaders() const { return _headers; }

    // Body bytes received and not read yet; reading takes up to `maximum` of them (fewer when the
    // bytes are held in pieces smaller than that). The read size the client usually asks for
    // lets the stream hold its bytes in pieces of that size.
    std::size_t bytesAvailable() const { return _buffer.size(); }
    std::string read(std::size_t maximum);
    void setPreferredReadLength(std::size_t length) { _buffer.setBlockSize(length); }
    // The read size for a body of this announced length (0: not announced): small bodies in small
    // reads, large ones in large reads. The stream holds a small body in pieces of that size from
    // its first byte on, so that a small file is not handed on in many pieces.
    static std::size_t readLengthForContentLength(std::uint64_t contentLength);
    // Body bytes read so far; tells whether a client took any (reading may let curl add more).
    std::uint64_t bytesTaken() const { return _bytesTaken; }

    // After the transfer ended: curl's result and its message.
    bool hasTransferEnded() const { return _transferEnded; }
    CURLcode transferResult() const { return _result; }
    std::string errorMessage() const;
    std::uint64_t bytesWritten() const;

    // For the request thread's loop.
    ZRHTTPStreamEvent takeNextEvent();
    void transferDidEnd(CURLcode result);
    // The client took no bytes on the last event: wait for new data before announcing them again.
    void waitForNewData() { _ignoredUntilNewData = true; }
    // The client can take bytes again: announce the unread ones.
    void resumeEvents() { _ignoredUntilNewData = false; }
    ZRHTTPReadStreamClient *client() const { return _client; }

private:
    static std::size_t writeCallback(char *data, std::size_t size, std::size_t count, void *stream);
    static std::size_t headerCallback(char *data, std::size_t size, std::size_t count, void *stream);
    static int socketOptionCallback(void *stream, curl_socket_t socket, curlsocktype purpose);
    static curl_socket_t openSocketCallback(void *stream, curlsocktype purpose, curl_sockaddr *address);
    void limitSocketReceiveBuffer(curl_socket_t socket);
    void parseHeaderLine(std::string_view line);
    void completeResponseHeader();
    void configureHandle();
    bool takeTunnelChallenge();
    void decideConnectionReuse();
    bool wantsReceivePause() const;
    void updateReceivePause();

    ZRHTTPReadStreamClient *_client;
    CURL *_handle = nullptr;
    curl_slist *_headerList = nullptr;
    curl_slist *_proxyHeaderList = nullptr;
    char _errorBuffer[CURL_ERROR_SIZE] = {};

    bool _attemptsPersistentConnection = false;
    bool _connectionCanBeReused = false;
    std::optional<double> _keepAliveTimeoutSeconds;
    bool _opened = false;
    bool _addedToMulti = false;
    bool _scheduled = false;
    bool _receivePaused = false;
    std::size_t _receiveBufferLimit;
    long _curlReadSize;
    bool _socketBufferLimited = false;

    // Header being parsed and the finished one.
    bool _inInterimResponse = false;
    bool _headerComplete = false;
    bool _headerAnnounced = false;
    int _statusCode = 0;
    bool _http10 = false;
    std::string _statusLine;
    ZRHTTPHeaders _headers;
    std::string _lastHeaderName;
    std::size_t _headerBytes = 0;
    bool _headerTooLarge = false;
    bool _libraryAnswersChallenges = false;
    bool _tunnelsOnNewConnection = false;
    bool _inTunnelResponses = false;
    int _tunnelStatusCode = 0;
    std::string _tunnelStatusLine;
    ZRHTTPHeaders _tunnelHeaders;
    bool _challengeHeldBack = false;

    ZRHTTPBodyBuffer _buffer;
    std::uint64_t _bytesTaken = 0;
    // Bytes of curl's current socket read handed over so far (a guess; it only saves copies).
    std::size_t _bytesInCurlRead = 0;
    // Set when an event found nothing to do, so that unread bytes do not spin the loop.
    bool _ignoredUntilNewData = false;

    bool _transferEnded = false;
    bool _endAnnounced = false;
    CURLcode _result = CURLE_OK;
};
