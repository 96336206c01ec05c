// Deflates bytes with a gzip wrapper, chunk by chunk, as one whole buffer, or from file to file.
#pragma once

#include "core/http/ZRDataDecompressor.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <zlib.h>

// Belongs to one request and is used on one thread at a time.
class ZRDataCompressor
{
public:
    // A compressor whose zlib stream is ready (default level, gzip wrapper); if zlib refuses to
    // start, the first compressBytes() reports the error.
    static std::unique_ptr<ZRDataCompressor> compressor();
    ZRDataCompressor();
    ~ZRDataCompressor();
    ZRDataCompressor(const ZRDataCompressor &) = delete;
    ZRDataCompressor &operator=(const ZRDataCompressor &) = delete;

    // Deflates the next piece; `shouldFinish` ends the gzip stream (its trailer is part of the
    // output) and may come with zero input. None with a code 11 error when zlib fails.
    std::optional<std::string> compressBytes(const void *bytes, std::size_t length, ZRHTTPErrorPtr *error,
        bool shouldFinish);
    ZRHTTPErrorPtr closeStream();

    bool streamReady() const { return _streamReady; }

    static std::optional<std::string> compressData(std::string_view data, ZRHTTPErrorPtr *error);
    static bool compressDataFromFile(const std::string &sourcePath, const std::string &destinationPath,
        ZRHTTPErrorPtr *error);

private:
    ZRHTTPErrorPtr setupStream();

    z_stream _zStream {};
    bool _streamReady = false;
    int _setupStatus = Z_OK;
};
