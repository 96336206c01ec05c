// Request bodies under the bandwidth cap.
#include "core/http/ZRHTTPInputStream.h"

#include "core/http/ZRDataDecompressor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Serialises the bandwidth check of all body streams; taken before bandwidthLock.
std::mutex inputStreamLock;

ZRHTTPErrorPtr posixError(int code)
{
    return ZRHTTPError::make(code, std::strerror(code), nullptr, ZRPOSIXErrorDomain);
}

} // namespace

ZRHTTPInputStream::ZRHTTPInputStream(ThrottlingStep performThrottling, ZRHTTPBandwidth &bandwidth)
    : _performThrottling(std::move(performThrottling))
    , _bandwidth(bandwidth)
{
}

std::unique_ptr<ZRHTTPInputStream> ZRHTTPInputStream::inputStreamWithData(std::string data,
    ThrottlingStep performThrottling, ZRHTTPBandwidth &bandwidth)
{
    std::unique_ptr<ZRHTTPInputStream> stream(new ZRHTTPInputStream(std::move(performThrottling), bandwidth));
    stream->_length = data.size();
    stream->_data = std::move(data);
    return stream;
}

std::unique_ptr<ZRHTTPInputStream> ZRHTTPInputStream::inputStreamWithFileAtPath(std::string path,
    ThrottlingStep performThrottling, ZRHTTPBandwidth &bandwidth)
{
    std::unique_ptr<ZRHTTPInputStream> stream(new ZRHTTPInputStream(std::move(performThrottling), bandwidth));
    stream->_isFile = true;
    stream->_path = std::move(path);
    struct stat info {};
    if (::stat(stream->_path.c_str(), &info) == 0)
        stream->_length = std::uint64_t(info.st_size);
    return stream;
}

ZRHTTPInputStream::~ZRHTTPInputStream()
{
    close();
}

bool ZRHTTPInputStream::open()
{
    if (_status == Status::open || _status == Status::atEnd)
        return true;
    _offset = 0;
    _error = nullptr;
    if (_isFile) {
        _fd = ::open(_path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (_fd < 0 || ::fstat(_fd, &info) != 0) {
            _error = posixError(errno);
            _status = Status::error;
            return false;
        }
        _length = std::uint64_t(info.st_size);
    }
    _status = _length == 0 ? Status::atEnd : Status::open;
    return true;
}

void ZRHTTPInputStream::close()
{
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
    if (_status != Status::notOpen && _status != Status::error)
        _status = Status::closed;
}

bool ZRHTTPInputStream::hasBytesAvailable() const
{
    return _status == Status::open && _offset < _length;
}

std::ptrdiff_t ZRHTTPInputStream::read(void *buffer, std::size_t maxLength)
{
    std::size_t length = maxLength;
    {
        std::lock_guard lock(inputStreamLock);
        if (_bandwidth.isBandwidthThrottled()) {
            const std::uint64_t allowance = _bandwidth.maxUploadReadLength();
            if (_performThrottling)
                _performThrottling();
            if (allowance == 0)
                length = 1;
            else if (allowance < maxLength)
                length = std::size_t(allowance);
            // Never more than the caller's buffer holds, even for the one-byte minimum.
            length = std::min(length, maxLength);
        }
    }
    const std::ptrdiff_t result = readFromSource(buffer, length);
    if (result > 0)
        _bandwidth.incrementBandwidthUsedInLastSecond(std::uint64_t(result));
    return result;
}

std::ptrdiff_t ZRHTTPInputStream::readFromSource(void *buffer, std::size_t length)
{
    if (_status == Status::atEnd)
        return 0;
    if (_status != Status::open)
        return -1;
    if (length == 0)
        return 0;
    std::ptrdiff_t got = 0;
    if (_isFile) {
        do {
            got = ::read(_fd, buffer, length);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            _error = posixError(errno);
            _status = Status::error;
            return -1;
        }
    } else {
        got = std::ptrdiff_t(std::min<std::uint64_t>(length, _length - _offset));
        std::memcpy(buffer, _data.data() + _offset, std::size_t(got));
    }
    _offset += std::uint64_t(got);
    if (got == 0 || _offset >= _length)
        _status = Status::atEnd;
    return got;
}

bool ZRHTTPInputStream::seekToOffset(std::uint64_t offset)
{
    if (_status == Status::notOpen && !open())
        return false;
    if (_status == Status::error || _status == Status::closed || offset > _length)
        return false;
    if (_isFile && ::lseek(_fd, off_t(offset), SEEK_SET) < 0) {
        _error = posixError(errno);
        _status = Status::error;
        return false;
    }
    _offset = offset;
    _status = _offset < _length ? Status::open : Status::atEnd;
    return true;
}

std::size_t ZRHTTPInputStream::curlReadCallback(char *buffer, std::size_t size, std::size_t count, void *stream)
{
    auto *self = static_cast<ZRHTTPInputStream *>(stream);
    if (self->_status == Status::notOpen && !self->open())
        return CURL_READFUNC_ABORT;
    const std::ptrdiff_t got = self->read(buffer, size * count);
    return got < 0 ? CURL_READFUNC_ABORT : std::size_t(got);
}

int ZRHTTPInputStream::curlSeekCallback(void *stream, curl_off_t offset, int origin)
{
    auto *self = static_cast<ZRHTTPInputStream *>(stream);
    curl_off_t target = offset;
    if (origin == SEEK_CUR)
        target += curl_off_t(self->_offset);
    else if (origin == SEEK_END)
        target += curl_off_t(self->_length);
    if (target < 0)
        return CURL_SEEKFUNC_CANTSEEK;
    return self->seekToOffset(std::uint64_t(target)) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}
