// Deflating with zlib into the gzip format: stream by stream, whole buffers and files.
#include "core/http/ZRDataCompressor.h"

#include <algorithm>

namespace {

ZRHTTPErrorPtr zlibError(int status)
{
    return ZRHTTPError::make(ZRHTTPCompressionErrorCode,
        ZRCompressionMessage::format(ZRCompressionMessage::compressionFailedFormat, status));
}

void setError(ZRHTTPErrorPtr *target, ZRHTTPErrorPtr error)
{
    if (target)
        *target = std::move(error);
}

} // namespace

std::unique_ptr<ZRDataCompressor> ZRDataCompressor::compressor()
{
    return std::make_unique<ZRDataCompressor>();
}

ZRDataCompressor::ZRDataCompressor()
{
    setupStream();
}

ZRDataCompressor::~ZRDataCompressor()
{
    closeStream();
}

ZRHTTPErrorPtr ZRDataCompressor::setupStream()
{
    if (_streamReady)
        return nullptr;
    _zStream = z_stream {};
    // 15 window bits plus 16: a gzip wrapper; memory level 8 is zlib's default.
    _setupStatus = deflateInit2(&_zStream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    if (_setupStatus != Z_OK)
        return zlibError(_setupStatus);
    _streamReady = true;
    return nullptr;
}

ZRHTTPErrorPtr ZRDataCompressor::closeStream()
{
    if (!_streamReady)
        return nullptr;
    _streamReady = false;
    const int status = deflateEnd(&_zStream);
    // Ending a stream that was never finished reports Z_DATA_ERROR; nothing is lost by it.
    return status == Z_OK || status == Z_DATA_ERROR ? nullptr : zlibError(status);
}

std::optional<std::string> ZRDataCompressor::compressBytes(const void *bytes, std::size_t length,
    ZRHTTPErrorPtr *error, bool shouldFinish)
{
    setError(error, nullptr);
    if (!_streamReady) {
        setError(error, zlibError(_setupStatus != Z_OK ? _setupStatus : Z_STREAM_ERROR));
        return std::nullopt;
    }
    if (length == 0 && !shouldFinish)
        return std::string();
    const std::size_t growth = std::max<std::size_t>(length / 2, 64);
    std::string output(growth, '\0');
    std::size_t produced = 0;
    _zStream.next_in = static_cast<Bytef *>(const_cast<void *>(bytes));
    _zStream.avail_in = 0;
    std::size_t remaining = length;
    while (true) {
        if (_zStream.avail_in == 0 && remaining > 0) {
            const uInt slice = uInt(std::min<std::size_t>(remaining, 1u << 30));
            _zStream.avail_in = slice;
            remaining -= slice;
        }
        if (produced == output.size())
            output.resize(output.size() + growth);
        const std::size_t room = std::min<std::size_t>(output.size() - produced, 1u << 30);
        _zStream.next_out = reinterpret_cast<Bytef *>(output.data() + produced);
        _zStream.avail_out = uInt(room);
        const bool lastSlice = remaining == 0;
        const int status = deflate(&_zStream, shouldFinish && lastSlice ? Z_FINISH : Z_NO_FLUSH);
        produced += room - _zStream.avail_out;
        if (status == Z_STREAM_END)
            break;
        if (status != Z_OK && status != Z_BUF_ERROR) {
            setError(error, zlibError(status));
            return std::nullopt;
        }
        // Done once all input is taken and zlib had room to spare (nothing left pending); when
        // finishing, only the end of the stream ends the loop.
        if (!shouldFinish && lastSlice && _zStream.avail_in == 0 && _zStream.avail_out != 0)
            break;
        if (status == Z_BUF_ERROR && _zStream.avail_out != 0) {
            setError(error, zlibError(status));
            return std::nullopt;
        }
    }
    output.resize(produced);
    return output;
}

std::optional<std::string> ZRDataCompressor::compressData(std::string_view data, ZRHTTPErrorPtr *error)
{
    ZRDataCompressor compressor;
    std::optional<std::string> output = compressor.compressBytes(data.data(), data.size(), error, true);
    if (!output)
        return std::nullopt;
    if (ZRHTTPErrorPtr closeError = compressor.closeStream()) {
        setError(error, closeError);
        return std::nullopt;
    }
    return output;
}

bool ZRDataCompressor::compressDataFromFile(const std::string &sourcePath, const std::string &destinationPath,
    ZRHTTPErrorPtr *error)
{
    setError(error, nullptr);
    ZRDataCompressor compressor;
    const ZRCompressionFiles::Messages messages {ZRCompressionMessage::compressionCreateFileFormat,
        ZRCompressionMessage::compressionMissingFileFormat, ZRCompressionMessage::compressionReadFormat,
        ZRCompressionMessage::compressionWriteFormat};
    const bool done = ZRCompressionFiles::transformFile(sourcePath, destinationPath, messages,
        [&compressor](std::string_view chunk, bool atEnd, bool *finished, ZRHTTPErrorPtr *chunkError,
            const ZRCompressionFiles::Writer &) {
            // The empty read at the source's end finishes the stream with its trailer.
            std::optional<std::string> output = compressor.compressBytes(chunk.data(), chunk.size(), chunkError, atEnd);
            *finished = atEnd;
            return output;
        },
        error);
    if (!done)
        return false;
    if (ZRHTTPErrorPtr closeError = compressor.closeStream()) {
        setError(error, closeError);
        return false;
    }
    return true;
}
