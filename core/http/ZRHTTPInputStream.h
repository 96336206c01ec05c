// The body source of a request that sends data or a file: reads are held to the engine's
// bandwidth cap, and every byte sent is counted against it.
#pragma once

#include "core/http/ZRHTTPBandwidth.h"
#include "core/http/ZRHTTPError.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <curl/curl.h>

class ZRHTTPInputStream
{
public:
    // The owning request's throttling step (parks or releases its stream); run before each
    // throttled read, on the thread that reads.
    using ThrottlingStep = std::function<void()>;

    enum class Status { notOpen, open, atEnd, closed, error };

    // Thread-safe. A stream over a copy of the body bytes or over a file, bound to its request's
    // throttling step; the bandwidth state is the process-wide one unless a test passes its own.
    static std::unique_ptr<ZRHTTPInputStream> inputStreamWithData(std::string data, ThrottlingStep performThrottling,
        ZRHTTPBandwidth &bandwidth = ZRHTTPBandwidth::shared());
    static std::unique_ptr<ZRHTTPInputStream> inputStreamWithFileAtPath(std::string path,
        ThrottlingStep performThrottling, ZRHTTPBandwidth &bandwidth = ZRHTTPBandwidth::shared());
    ~ZRHTTPInputStream();
    ZRHTTPInputStream(const ZRHTTPInputStream &) = delete;
    ZRHTTPInputStream &operator=(const ZRHTTPInputStream &) = delete;

    // Request thread, from here on.
    bool open();
    void close();
    Status streamStatus() const { return _status; }
    // Set when opening or reading failed (domain ZRPOSIXErrorDomain, code errno).
    ZRHTTPErrorPtr streamError() const { return _error; }
    bool hasBytesAvailable() const;

    // Reads up to `maxLength` bytes; while bandwidth is throttled the read is cut to the upload
    // allowance (1 byte when nothing is allowed) and the request's throttling step runs first.
    // Returns the count read, 0 at the end, -1 on error. Bytes read are counted as sent.
    std::ptrdiff_t read(void *buffer, std::size_t maxLength);

    // Goes back to `offset` from the body's start (a body is sent again after a redirect or retry).
    bool seekToOffset(std::uint64_t offset);
    // Length of the whole body (the file's size once open).
    std::uint64_t length() const { return _length; }
    std::uint64_t offset() const { return _offset; }
    const std::string &filePath() const { return _path; }

    // Glue for a curl easy handle: CURLOPT_READFUNCTION / CURLOPT_SEEKFUNCTION with the stream
    // as their data pointer. An unopened stream is opened by the first read.
    static std::size_t curlReadCallback(char *buffer, std::size_t size, std::size_t count, void *stream);
    static int curlSeekCallback(void *stream, curl_off_t offset, int origin);

private:
    ZRHTTPInputStream(ThrottlingStep performThrottling, ZRHTTPBandwidth &bandwidth);
    std::ptrdiff_t readFromSource(void *buffer, std::size_t length);

    ThrottlingStep _performThrottling;
    ZRHTTPBandwidth &_bandwidth;
    bool _isFile = false;
    std::string _data;
    std::string _path;
    int _fd = -1;
    std::uint64_t _length = 0;
    std::uint64_t _offset = 0;
    Status _status = Status::notOpen;
    ZRHTTPErrorPtr _error;
};
