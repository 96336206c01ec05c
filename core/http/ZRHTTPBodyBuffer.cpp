// Pooled blocks of body bytes.
#include "core/http/ZRHTTPBodyBuffer.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// Enough for the blocks in flight of several fast downloads; beyond that buffers are freed.
constexpr std::size_t maximumPooledCapacity = 1024 * 1024;
// Strings below this are not worth keeping.
constexpr std::size_t minimumPooledCapacity = 4096;

struct Pool {
    std::mutex mutex;
    std::vector<std::string> buffers;
    std::size_t capacity = 0;
};

Pool &pool()
{
    // Never destroyed: buffers may come back from other threads while the process exits.
    static Pool *shared = new Pool;
    return *shared;
}

} // namespace

ZRHTTPBodyBuffer::~ZRHTTPBodyBuffer()
{
    clear();
}

void ZRHTTPBodyBuffer::setBlockSize(std::size_t size)
{
    _blockSize = std::max<std::size_t>(size, 1);
}

void ZRHTTPBodyBuffer::append(const char *data, std::size_t length)
{
    _size += length;
    while (length > 0) {
        // Every block but the last is full; the last one takes what fits and a new one the rest.
        // A block holds no more than the block size even when its buffer is larger, so that a
        // full block is one read.
        if (_blocks.empty() || _blocks.back().size() >= std::min(_blocks.back().capacity(), _blockSize))
            _blocks.push_back(obtain(_blockSize));
        std::string &block = _blocks.back();
        const std::size_t room = std::min(block.capacity(), _blockSize) - block.size();
        const std::size_t count = std::min(room, length);
        block.append(data, count);
        data += count;
        length -= count;
    }
}

std::string ZRHTTPBodyBuffer::take(std::size_t maximum)
{
    if (_size == 0 || maximum == 0)
        return {};
    std::string &head = _blocks.front();
    // A whole block leaves as it is, unless it holds so little of its capacity that handing it
    // over would keep much more memory waiting for the caller than bytes.
    if (_offset == 0 && head.size() <= maximum && head.size() * 4 >= head.capacity()) {
        std::string chunk = std::move(head);
        _blocks.pop_front();
        _size -= chunk.size();
        return chunk;
    }
    const std::size_t length = std::min(maximum, _size);
    std::string chunk = obtain(length);
    while (chunk.size() < length) {
        std::string &block = _blocks.front();
        const std::size_t count = std::min(length - chunk.size(), block.size() - _offset);
        chunk.append(block, _offset, count);
        _offset += count;
        if (_offset == block.size()) {
            recycle(std::move(block));
            _blocks.pop_front();
            _offset = 0;
        }
    }
    _size -= length;
    return chunk;
}

void ZRHTTPBodyBuffer::clear()
{
    for (std::string &block : _blocks)
        recycle(std::move(block));
    _blocks.clear();
    _offset = 0;
    _size = 0;
}

void ZRHTTPBodyBuffer::recycle(std::string buffer)
{
    const std::size_t capacity = buffer.capacity();
    if (capacity < minimumPooledCapacity)
        return;
    buffer.clear();
    Pool &shared = pool();
    std::lock_guard lock(shared.mutex);
    if (shared.capacity + capacity > maximumPooledCapacity)
        return;
    shared.capacity += capacity;
    shared.buffers.push_back(std::move(buffer));
}

std::string ZRHTTPBodyBuffer::obtain(std::size_t capacity)
{
    {
        Pool &shared = pool();
        std::lock_guard lock(shared.mutex);
        // The newest fitting buffer is the one most likely still in the cache. One much larger
        // than asked for stays for a larger request.
        for (auto found = shared.buffers.rbegin(); found != shared.buffers.rend(); ++found) {
            if (found->capacity() >= capacity && found->capacity() / 2 <= std::max(capacity, minimumPooledCapacity)) {
                std::string buffer = std::move(*found);
                shared.buffers.erase(std::next(found).base());
                shared.capacity -= buffer.capacity();
                return buffer;
            }
        }
    }
    std::string buffer;
    buffer.reserve(capacity);
    return buffer;
}

std::size_t ZRHTTPBodyBuffer::pooledCapacity()
{
    Pool &shared = pool();
    std::lock_guard lock(shared.mutex);
    return shared.capacity;
}
