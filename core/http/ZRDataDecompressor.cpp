// Inflating with zlib: stream by stream, whole buffers and files.
#include "core/http/ZRDataDecompressor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZRCompressionMessage {

std::string format(const char *format, std::string_view first, std::string_view second)
{
    std::string text;
    int filled = 0;
    for (const char *c = format; *c; ++c) {
        if (c[0] == '%' && c[1] == 's') {
            text += filled++ == 0 ? first : second;
            ++c;
        } else {
            text += *c;
        }
    }
    return text;
}

std::string format(const char *format, int code)
{
    std::string text;
    for (const char *c = format; *c; ++c) {
        if (c[0] == '%' && c[1] == 'd') {
            text += std::to_string(code);
            ++c;
        } else {
            text += *c;
        }
    }
    return text;
}

} // namespace ZRCompressionMessage

namespace {

ZRHTTPErrorPtr zlibError(int status)
{
    return ZRHTTPError::make(ZRHTTPCompressionErrorCode,
        ZRCompressionMessage::format(ZRCompressionMessage::decompressionFailedFormat, status));
}

ZRHTTPErrorPtr posixError(int code)
{
    return ZRHTTPError::make(code, std::strerror(code), nullptr, ZRPOSIXErrorDomain);
}

void setError(ZRHTTPErrorPtr *target, ZRHTTPErrorPtr error)
{
    if (target)
        *target = std::move(error);
}

// Owns one file descriptor.
struct FileDescriptor
{
    int fd = -1;
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool writeAll(int fd, std::string_view bytes)
{
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t result = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        written += std::size_t(result);
    }
    return true;
}

} // namespace

namespace ZRCompressionFiles {

bool transformFile(const std::string &sourcePath, const std::string &destinationPath, const Messages &messages,
    const ChunkTransform &transform, ZRHTTPErrorPtr *error)
{
    using ZRCompressionMessage::format;
    // Look at the source before touching the destination, so a missing source does not empty it.
    FileDescriptor source;
    source.fd = ::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (source.fd < 0) {
        const int code = errno;
        if (code == ENOENT)
            setError(error, ZRHTTPError::make(ZRHTTPCompressionErrorCode, format(messages.missingFile, sourcePath)));
        else
            setError(error, ZRHTTPError::make(ZRHTTPCompressionErrorCode, format(messages.read, sourcePath),
                                posixError(code)));
        return false;
    }
    FileDescriptor destination;
    destination.fd = ::open(destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (destination.fd < 0) {
        setError(error, ZRHTTPError::make(ZRHTTPCompressionErrorCode,
                            format(messages.createFile, sourcePath, destinationPath), posixError(errno)));
        return false;
    }
    std::string chunk(ZRDataCompressionChunkSize, '\0');
    bool finished = false;
    while (!finished) {
        const ssize_t got = ::read(source.fd, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            setError(error, ZRHTTPError::make(ZRHTTPCompressionErrorCode, format(messages.read, sourcePath),
                                posixError(errno)));
            return false;
        }
        const bool atEnd = got == 0;
        ZRHTTPErrorPtr transformError;
        int writeError = 0;
        const Writer write = [&](const char *bytes, std::size_t length) {
            if (writeAll(destination.fd, std::string_view(bytes, length)))
                return true;
            writeError = errno;
            return false;
        };
        const std::string_view piece(chunk.data(), std::size_t(got));
        const std::optional<std::string> output = transform(piece, atEnd, &finished, &transformError, write);
        if (writeError) {
            setError(error, ZRHTTPError::make(ZRHTTPCompressionErrorCode,
                                format(messages.write, sourcePath, destinationPath), posixError(writeError)));
            return false;
        }
        if (transformError) {
            setError(error, transformError);
            return false;
        }
        if (output && !writeAll(destination.fd, *output)) {
            setError(error, ZRHTTPError::make(ZRHTTPCompressionErrorCode,
                                format(messages.write, sourcePath, destinationPath), posixError(errno)));
            return false;
        }
        if (atEnd)
            break;
    }
    if (::close(destination.fd) != 0) {
        destination.fd = -1;
        setError(error, ZRHTTPError::make(ZRHTTPCompressionErrorCode,
                            format(messages.write, sourcePath, destinationPath), posixError(errno)));
        return false;
    }
    destination.fd = -1;
    return true;
}

} // namespace ZRCompressionFiles

std::unique_ptr<ZRDataDecompressor> ZRDataDecompressor::decompressor()
{
    return std::make_unique<ZRDataDecompressor>();
}

ZRDataDecompressor::ZRDataDecompressor()
{
    setupStream();
}

ZRDataDecompressor::~ZRDataDecompressor()
{
    closeStream();
}

ZRHTTPErrorPtr ZRDataDecompressor::setupStream()
{
    if (_streamReady)
        return nullptr;
    _zStream = z_stream {};
    // 15 window bits plus 32: the largest window, with the zlib or gzip header detected from the data.
    _setupStatus = inflateInit2(&_zStream, 15 + 32);
    if (_setupStatus != Z_OK)
        return zlibError(_setupStatus);
    _streamReady = true;
    _streamEnded = false;
    return nullptr;
}

ZRHTTPErrorPtr ZRDataDecompressor::closeStream()
{
    if (!_streamReady)
        return nullptr;
    _streamReady = false;
    const int status = inflateEnd(&_zStream);
    return status == Z_OK ? nullptr : zlibError(status);
}

std::optional<std::string> ZRDataDecompressor::uncompressBytes(const void *bytes, std::size_t length,
    ZRHTTPErrorPtr *error)
{
    std::string output;
    const bool done = uncompressBytes(bytes, length,
        [&output](const char *step, std::size_t stepLength) {
            output.append(step, stepLength);
            return true;
        },
        error);
    if (!done || length == 0)
        return std::nullopt;
    return output;
}

bool ZRDataDecompressor::uncompressBytes(const void *bytes, std::size_t length, const Sink &sink,
    ZRHTTPErrorPtr *error)
{
    setError(error, nullptr);
    if (length == 0)
        return true;
    if (!_streamReady) {
        setError(error, zlibError(_setupStatus != Z_OK ? _setupStatus : Z_STREAM_ERROR));
        return false;
    }
    // One step of output at a time, however much the input expands.
    const std::size_t stepSize =
        std::min<std::size_t>(ZRDataDecompressionStepSize, std::max<std::size_t>(length * 4, 4096));
    std::string step(stepSize, '\0');
    _zStream.next_in = static_cast<Bytef *>(const_cast<void *>(bytes));
    // zlib counts in 32 bits; longer input goes in slices.
    std::size_t remaining = length;
    std::uint64_t outputOfThisCall = 0;
    while (true) {
        if (_zStream.avail_in == 0 && remaining > 0) {
            const uInt slice = uInt(std::min<std::size_t>(remaining, 1u << 30));
            _zStream.avail_in = slice;
            remaining -= slice;
        }
        const uInt inputBefore = _zStream.avail_in;
        _zStream.next_out = reinterpret_cast<Bytef *>(step.data());
        _zStream.avail_out = uInt(step.size());
        const int status = inflate(&_zStream, Z_NO_FLUSH);
        const std::size_t produced = step.size() - _zStream.avail_out;
        _totalIn += inputBefore - _zStream.avail_in;
        _totalOut += produced;
        outputOfThisCall += produced;
        // Over the whole stream and within this call, so that neither many tiny pieces nor a bomb
        // behind a long stretch of plain data get through.
        const std::uint64_t inputOfThisCall = length - remaining - _zStream.avail_in;
        const auto allowed = [](std::uint64_t input) {
            return ZRDataDecompressionRatioFreeSize + ZRDataDecompressionMaximumRatio * input;
        };
        if (_totalOut > allowed(_totalIn) || outputOfThisCall > allowed(inputOfThisCall)) {
            using ZRCompressionMessage::decompressionRatioExceeded;
            setError(error, ZRHTTPError::make(ZRHTTPCompressionErrorCode, decompressionRatioExceeded));
            return false;
        }
        if (produced > 0 && !sink(step.data(), produced))
            return false;
        if (status == Z_STREAM_END) {
            _streamEnded = true;
            break;
        }
        const bool inputConsumed = _zStream.avail_in == 0 && remaining == 0;
        // No progress possible: the input is used up and nothing more is pending.
        if (status == Z_BUF_ERROR && inputConsumed)
            break;
        if (status != Z_OK) {
            setError(error, zlibError(status));
            return false;
        }
        // A full step may hide pending output even when the input is used up: go round again so
        // that no inflated bytes stay behind in zlib.
        if (inputConsumed && _zStream.avail_out != 0)
            break;
    }
    return true;
}

std::optional<std::string> ZRDataDecompressor::uncompressData(std::string_view data, ZRHTTPErrorPtr *error)
{
    ZRDataDecompressor decompressor;
    std::optional<std::string> output = decompressor.uncompressBytes(data.data(), data.size(), error);
    if (!output)
        return std::nullopt;
    if (!decompressor.streamEnded()) {
        setError(error, zlibError(Z_BUF_ERROR));
        return std::nullopt;
    }
    if (ZRHTTPErrorPtr closeError = decompressor.closeStream()) {
        setError(error, closeError);
        return std::nullopt;
    }
    return output;
}

bool ZRDataDecompressor::uncompressDataFromFile(const std::string &sourcePath, const std::string &destinationPath,
    ZRHTTPErrorPtr *error)
{
    setError(error, nullptr);
    ZRDataDecompressor decompressor;
    const ZRCompressionFiles::Messages messages {ZRCompressionMessage::decompressionCreateFileFormat,
        ZRCompressionMessage::decompressionMissingFileFormat, ZRCompressionMessage::decompressionReadFormat,
        ZRCompressionMessage::decompressionWriteFormat};
    const bool done = ZRCompressionFiles::transformFile(sourcePath, destinationPath, messages,
        [&decompressor](std::string_view chunk, bool atEnd, bool *finished, ZRHTTPErrorPtr *chunkError,
            const ZRCompressionFiles::Writer &write) -> std::optional<std::string> {
            if (atEnd) {
                // The source ended before the compressed stream did: the file is truncated.
                *chunkError = zlibError(Z_BUF_ERROR);
                return std::nullopt;
            }
            // Each step goes to the file as it is made: a chunk may inflate to far more than memory holds.
            decompressor.uncompressBytes(chunk.data(), chunk.size(), write, chunkError);
            *finished = decompressor.streamEnded();
            return std::nullopt;
        },
        error);
    if (!done)
        return false;
    if (ZRHTTPErrorPtr closeError = decompressor.closeStream()) {
        setError(error, closeError);
        return false;
    }
    return true;
}
