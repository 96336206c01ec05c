// Body bytes that curl has handed over and the request has not read yet: a queue of fixed-size
// blocks, so that bytes are copied once on the way in, and a whole block leaves by move. Blocks
// come from and go back to a process-wide pool, so a long download keeps re-using the same
// warm memory instead of allocating, faulting in and returning a buffer per read.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

// Request thread: one buffer belongs to one stream. The pool functions are thread-safe.
class ZRHTTPBodyBuffer {
public:
    ZRHTTPBodyBuffer() = default;
    ~ZRHTTPBodyBuffer();
    ZRHTTPBodyBuffer(const ZRHTTPBodyBuffer &) = delete;
    ZRHTTPBodyBuffer &operator=(const ZRHTTPBodyBuffer &) = delete;

    // The size of new blocks: best the size the reader reads, so that each read takes one block.
    void setBlockSize(std::size_t size);
    std::size_t blockSize() const { return _blockSize; }

    std::size_t size() const { return _size; }
    bool empty() const { return _size == 0; }
    void append(const char *data, std::size_t length);
    // Up to `maximum` bytes from the front, fewer when a whole block can be handed over instead.
    std::string take(std::size_t maximum);
    void clear();

    // Thread-safe: a string that was handed out by take() (or any other) and is no longer needed;
    // its memory serves a later block.
    static void recycle(std::string buffer);
    // Thread-safe: a string with at least this capacity, from the pool when it holds one that fits.
    static std::string obtain(std::size_t capacity);
    // Thread-safe: the bytes of capacity the pool holds (for tests and measurements).
    static std::size_t pooledCapacity();

private:
    std::deque<std::string> _blocks;
    // Bytes of the first block already taken.
    std::size_t _offset = 0;
    std::size_t _size = 0;
    std::size_t _blockSize = 16384;
};
