// The zlib wrappers: round trips, both wrappers, byte-by-byte feeding, and every failure message.
#include "core/http/ZRDataCompressor.h"
#include "core/http/ZRDataDecompressor.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <random>
#include <zlib.h>

namespace {

std::string textOfSize(std::size_t size)
{
    const std::string line = "Quorvel fetches what addresses point to, 0123456789.\n";
    std::string text;
    while (text.size() < size)
        text += line;
    text.resize(size);
    return text;
}

std::string randomBytes(std::size_t size)
{
    std::mt19937 generator(42);
    std::string bytes(size, '\0');
    for (char &byte : bytes)
        byte = char(generator() & 0xff);
    return bytes;
}

std::string zlibWrapped(const std::string &plain)
{
    uLongf length = compressBound(uLong(plain.size()));
    std::string packed(length, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef *>(packed.data()), &length,
                  reinterpret_cast<const Bytef *>(plain.data()), uLong(plain.size()), 6),
        Z_OK);
    packed.resize(length);
    return packed;
}

std::string gzipped(const std::string &plain)
{
    ZRHTTPErrorPtr error;
    const std::optional<std::string> packed = ZRDataCompressor::compressData(plain, &error);
    EXPECT_TRUE(packed) << (error ? error->localizedDescription : "");
    return packed.value_or(std::string());
}

std::string pathIn(const QString &name)
{
    return QString(ZRTestSupport::sandboxRoot() + QLatin1Char('/') + name).toStdString();
}

bool writeBytes(const std::string &path, const std::string &bytes)
{
    return ZRTestSupport::writeFile(QString::fromStdString(path), QByteArray::fromStdString(bytes));
}

std::string readBytes(const std::string &path)
{
    return ZRTestSupport::readFile(QString::fromStdString(path)).toStdString();
}

} // namespace

TEST(DataCompression, GzipAndZlibWrappedBuffersInflateToTheOriginal)
{
    // Text compresses a thousandfold (the output buffer must grow many times); random bytes not at all.
    for (const std::string &plain : {std::string("x"), textOfSize(1000), textOfSize(3 << 20), randomBytes(300000),
             std::string(1 << 20, '\0')}) {
        const std::string gzip = gzipped(plain);
        ASSERT_GE(gzip.size(), 18u);
        EXPECT_EQ(std::uint8_t(gzip[0]), 0x1f);
        EXPECT_EQ(std::uint8_t(gzip[1]), 0x8b) << "a gzip wrapper";
        ZRHTTPErrorPtr error;
        EXPECT_EQ(ZRDataDecompressor::uncompressData(gzip, &error), plain) << plain.size() << " bytes";
        EXPECT_FALSE(error);
        EXPECT_EQ(ZRDataDecompressor::uncompressData(zlibWrapped(plain), &error), plain);
        EXPECT_FALSE(error);

        // The same stream in three uneven pieces through one decompressor.
        auto decompressor = ZRDataDecompressor::decompressor();
        std::string joined;
        const std::size_t cut1 = gzip.size() / 3, cut2 = gzip.size() - 5;
        for (const auto &[from, to] : {std::pair {std::size_t(0), cut1}, {cut1, cut2}, {cut2, gzip.size()}}) {
            const auto piece = decompressor->uncompressBytes(gzip.data() + from, to - from, &error);
            if (to > from) {
                ASSERT_TRUE(piece);
                joined += *piece;
            }
        }
        EXPECT_EQ(joined, plain);
        EXPECT_TRUE(decompressor->streamEnded());
        EXPECT_FALSE(decompressor->closeStream());
    }

    // The empty body still has a gzip header and trailer, and inflates to nothing (not to "none").
    ZRHTTPErrorPtr error;
    const std::string empty = gzipped(std::string());
    EXPECT_FALSE(empty.empty());
    EXPECT_EQ(ZRDataDecompressor::uncompressData(empty, &error), std::string());
}

TEST(DataCompression, AGzipBodyFedOneByteAtATimeInflatesWhole)
{
    const std::string plain = textOfSize(50000);
    const std::string gzip = gzipped(plain);
    auto decompressor = ZRDataDecompressor::decompressor();
    std::string joined;
    for (char byte : gzip) {
        ZRHTTPErrorPtr error;
        const auto piece = decompressor->uncompressBytes(&byte, 1, &error);
        ASSERT_TRUE(piece) << (error ? error->localizedDescription : "");
        joined += *piece;
    }
    EXPECT_EQ(joined, plain);
    EXPECT_TRUE(decompressor->streamEnded());
}

TEST(DataCompression, ZeroInputAndBrokenStreamsGiveNoneWithTheRightError)
{
    ZRHTTPErrorPtr error;
    auto decompressor = ZRDataDecompressor::decompressor();
    EXPECT_FALSE(decompressor->uncompressBytes("", 0, &error));
    EXPECT_FALSE(error) << "zero input is not an error";

    const std::string corrupt = "this was never compressed";
    EXPECT_FALSE(decompressor->uncompressBytes(corrupt.data(), corrupt.size(), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "ZRHTTPRequestErrorDomain");
    EXPECT_EQ(error->code, 11);
    EXPECT_EQ(error->localizedDescription, "Decompression of data failed with code -3");

    // A damaged middle: the gzip check value no longer matches.
    std::string damaged = gzipped(textOfSize(5000));
    damaged[damaged.size() - 6] ^= 0x55;
    EXPECT_FALSE(ZRDataDecompressor::uncompressData(damaged, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription, "Decompression of data failed with code -3");

    // A whole buffer cut short is not passed off as complete.
    const std::string gzip = gzipped(textOfSize(5000));
    EXPECT_FALSE(ZRDataDecompressor::uncompressData(gzip.substr(0, gzip.size() - 10), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription, "Decompression of data failed with code -5");
}

TEST(DataCompression, FilesInflateAndDeflateInChunksWithTheirMessages)
{
    const std::string plain = textOfSize(700000) + randomBytes(400000); // several 256 KiB chunks
    const std::string source = pathIn(QStringLiteral("plain.bin"));
    const std::string packed = pathIn(QStringLiteral("packed.gz"));
    const std::string unpacked = pathIn(QStringLiteral("unpacked.bin"));
    ASSERT_TRUE(writeBytes(source, plain));
    ASSERT_TRUE(writeBytes(unpacked, "old content that must be replaced, not appended to"));

    ZRHTTPErrorPtr error;
    ASSERT_TRUE(ZRDataCompressor::compressDataFromFile(source, packed, &error)) << error->localizedDescription;
    EXPECT_EQ(ZRDataDecompressor::uncompressData(readBytes(packed), &error), plain);
    ASSERT_TRUE(ZRDataDecompressor::uncompressDataFromFile(packed, unpacked, &error)) << error->localizedDescription;
    EXPECT_EQ(readBytes(unpacked), plain);

    // A missing source names itself and leaves the destination alone.
    const std::string missing = pathIn(QStringLiteral("missing.gz"));
    EXPECT_FALSE(ZRDataDecompressor::uncompressDataFromFile(missing, unpacked, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 11);
    EXPECT_EQ(error->localizedDescription, "Decompression of " + missing + " failed the file does not exist");
    EXPECT_EQ(readBytes(unpacked), plain);
    EXPECT_FALSE(ZRDataCompressor::compressDataFromFile(missing, packed, &error));
    EXPECT_EQ(error->localizedDescription, "Compression of " + missing + " failed the file does not exist");

    // A destination that cannot be created.
    const std::string nowhere = pathIn(QStringLiteral("no/such/folder/out"));
    EXPECT_FALSE(ZRDataDecompressor::uncompressDataFromFile(packed, nowhere, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription,
        "Decompression of " + packed + " failed because we were to create a file at " + nowhere);
    ASSERT_TRUE(error->underlyingError);
    EXPECT_EQ(error->underlyingError->code, ENOENT);
    EXPECT_FALSE(ZRDataCompressor::compressDataFromFile(source, nowhere, &error));
    EXPECT_EQ(error->localizedDescription,
        "Compression of " + source + " failed because we were to create a file at " + nowhere);

    // A source that cannot be read (a folder).
    const std::string folder = pathIn(QStringLiteral("a-folder"));
    QDir().mkpath(QString::fromStdString(folder));
    EXPECT_FALSE(ZRDataDecompressor::uncompressDataFromFile(folder, unpacked, &error));
    EXPECT_EQ(error->localizedDescription,
        "Decompression of " + folder + " failed because we were unable to read from the source data file");

    // A write that fails: the destination is a full device.
    if (QFileInfo::exists(QStringLiteral("/dev/full"))) {
        EXPECT_FALSE(ZRDataDecompressor::uncompressDataFromFile(packed, "/dev/full", &error));
        EXPECT_EQ(error->localizedDescription, "Decompression of " + packed
                                                   + " failed because we were unable to write to the destination "
                                                     "data file at /dev/full");
        EXPECT_EQ(error->underlyingError->code, ENOSPC);
    }

    // A compressed file cut short fails rather than leaving a silently shortened result.
    const std::string cut = pathIn(QStringLiteral("cut.gz"));
    ASSERT_TRUE(writeBytes(cut, readBytes(packed).substr(0, 300000)));
    EXPECT_FALSE(ZRDataDecompressor::uncompressDataFromFile(cut, unpacked, &error));
    EXPECT_EQ(error->localizedDescription, "Decompression of data failed with code -5");
}

// Inflating works in steps of at most 256 KiB of output, and a body that grows beyond 1 MiB plus
// 500 times its compressed size is stopped, in memory, chunk by chunk and from file to file; text
// that compresses 300 times and more still inflates whole.
TEST(DataCompression, InflatingIsBoundedPerStepAndStopsADecompressionBomb)
{
    const std::string text = textOfSize(8 * 1024 * 1024);
    const std::string bomb = gzipped(std::string(64 * 1024 * 1024, '\0'));
    ASSERT_LT(bomb.size(), 100000u);
    const std::uint64_t bombLimit = 1024 * 1024 + 500 * bomb.size();
    const std::string ratioMessage =
        "Decompression of data stopped because the data grew beyond 500 times its compressed size";
    for (const bool isBomb : {false, true}) {
        SCOPED_TRACE(isBomb ? "bomb" : "text");
        const std::string packed = isBomb ? bomb : gzipped(text);
        ZRHTTPErrorPtr error;
        const std::optional<std::string> whole = ZRDataDecompressor::uncompressData(packed, &error);
        EXPECT_EQ(bool(whole), !isBomb);
        EXPECT_EQ(error ? error->localizedDescription : "", isBomb ? ratioMessage : "");
        EXPECT_TRUE(!whole || *whole == text);

        // Fed in pieces: each step of output is bounded and the bomb stops early.
        ZRDataDecompressor decompressor;
        std::size_t largestStep = 0;
        std::uint64_t produced = 0;
        bool failed = false;
        for (std::size_t at = 0; at < packed.size() && !failed; at += 16384) {
            const std::size_t length = std::min<std::size_t>(16384, packed.size() - at);
            failed = !decompressor.uncompressBytes(packed.data() + at, length,
                [&](const char *, std::size_t stepLength) {
                    largestStep = std::max(largestStep, stepLength);
                    produced += stepLength;
                    return true;
                },
                &error);
        }
        EXPECT_EQ(failed, isBomb);
        EXPECT_LE(largestStep, ZRDataDecompressionStepSize);
        EXPECT_LE(produced, isBomb ? bombLimit : text.size());

        const std::string source = pathIn(QStringLiteral("bounded.gz"));
        const std::string destination = pathIn(QStringLiteral("bounded.out"));
        ASSERT_TRUE(writeBytes(source, packed));
        EXPECT_EQ(ZRDataDecompressor::uncompressDataFromFile(source, destination, &error), !isBomb);
        const auto written = std::uint64_t(QFileInfo(QString::fromStdString(destination)).size());
        EXPECT_LE(written, isBomb ? bombLimit : text.size());
    }
}
