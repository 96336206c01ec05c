// The queue of received body bytes: order across blocks, whole blocks handed over, and the pool.
#include "core/http/ZRHTTPBodyBuffer.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>
#include <string>

namespace {

std::string patternBytes(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::mt19937 generator(seed);
    for (char &byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

TEST(BodyBufferTest, bytesLeaveInOrderWhateverTheWriteAndReadSizes)
{
    // Rows: block size, largest write, largest read; reads both smaller and larger than blocks.
    struct Row {
        std::size_t blockSize;
        std::size_t largestWrite;
        std::size_t largestRead;
    };
    const Row rows[] = {{16384, 16384, 16384}, {262144, 16384, 262144}, {65536, 100000, 25000},
        {16384, 300000, 1}, {262144, 7, 65536}};
    unsigned seed = 1;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.blockSize);
        const std::string input = patternBytes(row.largestRead == 1 ? 40000 : 1500000, seed++);
        std::mt19937 sizes(seed);
        ZRHTTPBodyBuffer buffer;
        buffer.setBlockSize(row.blockSize);
        std::string output;
        std::size_t written = 0;
        while (output.size() < input.size()) {
            // Several writes, then reads until the buffer is empty or a coin says stop.
            for (int i = 0; i < 3 && written < input.size(); ++i) {
                const std::size_t length = std::min<std::size_t>(1 + sizes() % row.largestWrite, input.size() - written);
                buffer.append(input.data() + written, length);
                written += length;
            }
            ASSERT_EQ(buffer.size(), written - output.size());
            while (!buffer.empty()) {
                const std::size_t maximum = 1 + sizes() % row.largestRead;
                const std::string chunk = buffer.take(maximum);
                ASSERT_FALSE(chunk.empty());
                ASSERT_LE(chunk.size(), maximum);
                output += chunk;
                if (sizes() % 4 == 0)
                    break;
            }
        }
        EXPECT_TRUE(output == input);
        EXPECT_TRUE(buffer.take(100).empty());
    }
}

TEST(BodyBufferTest, readsOfTheBlockSizeTakeWholeBlocksAndLittleBytesDoNotHoldABigBuffer)
{
    ZRHTTPBodyBuffer buffer;
    buffer.setBlockSize(262144);
    const std::string input = patternBytes(3 * 262144 + 1000, 7);
    // Curl hands bytes over in pieces of at most 16 KiB.
    for (std::size_t offset = 0; offset < input.size(); offset += 16384)
        buffer.append(input.data() + offset, std::min<std::size_t>(16384, input.size() - offset));
    for (int block = 0; block < 3; ++block) {
        const std::string chunk = buffer.take(262144);
        EXPECT_EQ(chunk.size(), 262144u);
        EXPECT_TRUE(chunk == input.substr(static_cast<std::size_t>(block) * 262144, 262144));
    }
    // The last 1000 bytes sit in a block of 256 KiB: they leave in a buffer of their own size.
    const std::string tail = buffer.take(262144);
    EXPECT_TRUE(tail == input.substr(3 * 262144));
    EXPECT_LT(tail.capacity(), 262144u);
    EXPECT_TRUE(buffer.empty());

    // A read smaller than a block takes only what it asked for.
    buffer.append(input.data(), 100000);
    EXPECT_EQ(buffer.take(25000).size(), 25000u);
    EXPECT_EQ(buffer.size(), 75000u);
    buffer.clear();
    EXPECT_TRUE(buffer.empty());
}

TEST(BodyBufferTest, thePoolHandsBackFittingBuffersAndStaysBounded)
{
    std::string big = ZRHTTPBodyBuffer::obtain(262144);
    EXPECT_GE(big.capacity(), 262144u);
    big.assign(1000, 'x');
    const char *memory = big.data();
    ZRHTTPBodyBuffer::recycle(std::move(big));
    // Too large for a small request, so a small buffer does not pin a big one...
    EXPECT_LT(ZRHTTPBodyBuffer::obtain(1000).capacity(), 262144u);
    // ...but a request of that size gets the same memory back, empty.
    std::string again = ZRHTTPBodyBuffer::obtain(262144);
    EXPECT_EQ(again.data(), memory);
    EXPECT_TRUE(again.empty());

    // Many returned buffers: the pool keeps a bounded amount and frees the rest.
    for (int i = 0; i < 200; ++i)
        ZRHTTPBodyBuffer::recycle(ZRHTTPBodyBuffer::obtain(262144 + 4096 * static_cast<std::size_t>(i % 2)));
    std::vector<std::string> many;
    for (int i = 0; i < 200; ++i) {
        std::string buffer;
        buffer.reserve(262144);
        many.push_back(std::move(buffer));
    }
    for (std::string &buffer : many)
        ZRHTTPBodyBuffer::recycle(std::move(buffer));
    EXPECT_LE(ZRHTTPBodyBuffer::pooledCapacity(), 1024u * 1024);
    EXPECT_GT(ZRHTTPBodyBuffer::pooledCapacity(), 512u * 1024);
    // Tiny strings are not worth keeping.
    const std::size_t before = ZRHTTPBodyBuffer::pooledCapacity();
    ZRHTTPBodyBuffer::recycle(std::string(10, 'x'));
    EXPECT_EQ(ZRHTTPBodyBuffer::pooledCapacity(), before);
}

} // namespace
