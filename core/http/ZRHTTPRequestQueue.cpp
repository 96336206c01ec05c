// Admission of requests under the concurrency limit.
#include "core/http/ZRHTTPRequestQueue.h"

#include "core/http/ZRHTTPRequest.h"

#include <algorithm>

void ZRHTTPRequestQueue::addOperation(const std::shared_ptr<ZRHTTPRequest> &request, bool highPriority)
{
    {
        std::lock_guard lock(_mutex);
        if (highPriority)
            _waiting.push_front(request);
        else
            _waiting.push_back(request);
    }
    startOperationsIfPossible();
}

int ZRHTTPRequestQueue::maxConcurrentOperationCount() const
{
    std::lock_guard lock(_mutex);
    return _maxConcurrentOperationCount;
}

void ZRHTTPRequestQueue::setMaxConcurrentOperationCount(int count)
{
    {
        std::lock_guard lock(_mutex);
        _maxConcurrentOperationCount = std::max(1, count);
    }
    startOperationsIfPossible();
}

std::size_t ZRHTTPRequestQueue::operationCount() const
{
    std::lock_guard lock(_mutex);
    return _waiting.size() + _running.size();
}

std::size_t ZRHTTPRequestQueue::runningOperationCount() const
{
    std::lock_guard lock(_mutex);
    return _running.size();
}

void ZRHTTPRequestQueue::operationDidFinish(const ZRHTTPRequest *request)
{
    std::shared_ptr<ZRHTTPRequest> finished;
    {
        std::lock_guard lock(_mutex);
        auto found = std::find_if(_running.begin(), _running.end(), [&](const auto &item) { return item.get() == request; });
        if (found == _running.end())
            return;
        // Released outside the lock: it may be the last reference.
        finished = std::move(*found);
        _running.erase(found);
    }
    startOperationsIfPossible();
}

bool ZRHTTPRequestQueue::removeWaitingOperation(const ZRHTTPRequest *request)
{
    std::shared_ptr<ZRHTTPRequest> removed;
    std::lock_guard lock(_mutex);
    auto found = std::find_if(_waiting.begin(), _waiting.end(), [&](const auto &item) { return item.get() == request; });
    if (found == _waiting.end())
        return false;
    removed = std::move(*found);
    _waiting.erase(found);
    return true;
}

void ZRHTTPRequestQueue::startOperationsIfPossible()
{
    for (;;) {
        std::shared_ptr<ZRHTTPRequest> next;
        {
            std::lock_guard lock(_mutex);
            if (_waiting.empty() || static_cast<int>(_running.size()) >= _maxConcurrentOperationCount)
                return;
            next = _waiting.front();
            _waiting.pop_front();
            _running.push_back(next);
        }
        next->start();
    }
}
