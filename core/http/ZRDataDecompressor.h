// Inflates gzip- or zlib-wrapped bytes (the wrapper is detected from the header), chunk by chunk
// as they arrive, as one whole buffer, or from file to file.
#pragma once

#include "core/http/ZRHTTPError.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <zlib.h>

// Underlying errors of file reads and writes: the code is errno.
inline constexpr const char *ZRPOSIXErrorDomain = "ZRPOSIXErrorDomain";

namespace ZRCompressionMessage {
inline constexpr const char *decompressionFailedFormat = "Decompression of data failed with code %d";
inline constexpr const char *decompressionRatioExceeded =
    "Decompression of data stopped because the data grew beyond 500 times its compressed size";
inline constexpr const char *compressionFailedFormat = "Compression of data failed with code %d";
inline constexpr const char *decompressionCreateFileFormat =
    "Decompression of %s failed because we were to create a file at %s";
inline constexpr const char *decompressionMissingFileFormat = "Decompression of %s failed the file does not exist";
inline constexpr const char *decompressionReadFormat =
    "Decompression of %s failed because we were unable to read from the source data file";
inline constexpr const char *decompressionWriteFormat =
    "Decompression of %s failed because we were unable to write to the destination data file at %s";
inline constexpr const char *compressionCreateFileFormat =
    "Compression of %s failed because we were to create a file at %s";
inline constexpr const char *compressionMissingFileFormat = "Compression of %s failed the file does not exist";
inline constexpr const char *compressionReadFormat =
    "Compression of %s failed because we were unable to read from the source data file";
inline constexpr const char *compressionWriteFormat =
    "Compression of %s failed because we were unable to write to the destination data file at %s";

// Fills the "%s" and "%d" places of the formats above in order.
std::string format(const char *format, std::string_view first, std::string_view second = {});
std::string format(const char *format, int code);
} // namespace ZRCompressionMessage

// Files are inflated and deflated in chunks of this size.
inline constexpr std::size_t ZRDataCompressionChunkSize = 262144;

// Limits of inflating: zlib writes at most one step of output at a time, and a stream whose output
// outgrows its input by more than any real content does (a decompression bomb) is stopped. The
// first MiB is allowed whatever the ratio, since small bodies compress unevenly.
inline constexpr std::size_t ZRDataDecompressionStepSize = 262144;
inline constexpr std::uint64_t ZRDataDecompressionMaximumRatio = 500;
inline constexpr std::uint64_t ZRDataDecompressionRatioFreeSize = 1024 * 1024;

namespace ZRCompressionFiles {
struct Messages
{
    const char *createFile;  // source, destination
    const char *missingFile; // source
    const char *read;        // source
    const char *write;       // source, destination
};
// Appends bytes to the destination at once; false when writing failed.
using Writer = std::function<bool(const char *bytes, std::size_t length)>;
// Feeds one chunk (empty at the source's end) and sets `finished` once the zlib stream has ended.
// The result goes through `write` as it is made, or is returned to be written after the call.
using ChunkTransform = std::function<std::optional<std::string>(std::string_view chunk, bool atEnd,
    bool *finished, ZRHTTPErrorPtr *error, const Writer &write)>;
// Reads the source in 256 KiB chunks, transforms each and appends the result to the destination,
// created or emptied once the source is known to exist.
bool transformFile(const std::string &sourcePath, const std::string &destinationPath, const Messages &messages,
    const ChunkTransform &transform, ZRHTTPErrorPtr *error);
} // namespace ZRCompressionFiles

// Belongs to one request and is used on its request thread only.
class ZRDataDecompressor
{
public:
    // A decompressor whose zlib stream is ready; if zlib refuses to start, streamReady() is false
    // and the first uncompressBytes() reports the error.
    static std::unique_ptr<ZRDataDecompressor> decompressor();
    ZRDataDecompressor();
    ~ZRDataDecompressor();
    ZRDataDecompressor(const ZRDataDecompressor &) = delete;
    ZRDataDecompressor &operator=(const ZRDataDecompressor &) = delete;

    // Inflates the next piece of the stream. Zero input gives none without an error; a zlib failure,
    // or output beyond the ratio limit, gives none with a code 11 error. Output may be empty while
    // zlib waits for more input.
    std::optional<std::string> uncompressBytes(const void *bytes, std::size_t length, ZRHTTPErrorPtr *error);
    // The same, handing each step of output (at most ZRDataDecompressionStepSize bytes) to `sink`
    // instead of collecting it; false on failure.
    using Sink = std::function<bool(const char *bytes, std::size_t length)>;
    bool uncompressBytes(const void *bytes, std::size_t length, const Sink &sink, ZRHTTPErrorPtr *error);
    // Ends the zlib stream; the error, if ending failed.
    ZRHTTPErrorPtr closeStream();

    bool streamReady() const { return _streamReady; }
    // Whether the compressed stream's end has been seen.
    bool streamEnded() const { return _streamEnded; }

    // A whole compressed buffer in one call. Input that stops before the end of the compressed
    // stream fails (code 11) instead of passing for complete data.
    static std::optional<std::string> uncompressData(std::string_view data, ZRHTTPErrorPtr *error);
    // Inflates `sourcePath` into `destinationPath` (created or emptied) in 256 KiB chunks; false
    // with a code 11 error on failure, including a source that ends before its compressed stream.
    static bool uncompressDataFromFile(const std::string &sourcePath, const std::string &destinationPath,
        ZRHTTPErrorPtr *error);

private:
    ZRHTTPErrorPtr setupStream();

    z_stream _zStream {};
    std::uint64_t _totalIn = 0;
    std::uint64_t _totalOut = 0;
    bool _streamReady = false;
    bool _streamEnded = false;
    int _setupStatus = Z_OK;
};
