// The operation queue that admits requests: at most maxConcurrentOperationCount of them are
// between start and finish at once; the others wait in the order they were added.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class ZRHTTPRequest;

// Thread-safe.
class ZRHTTPRequestQueue {
public:
    ZRHTTPRequestQueue() = default;
    ZRHTTPRequestQueue(const ZRHTTPRequestQueue &) = delete;
    ZRHTTPRequestQueue &operator=(const ZRHTTPRequestQueue &) = delete;

    // A high-priority request goes ahead of the waiting ones.
    void addOperation(const std::shared_ptr<ZRHTTPRequest> &request, bool highPriority = false);
    int maxConcurrentOperationCount() const;
    void setMaxConcurrentOperationCount(int count);
    // Waiting and running requests.
    std::size_t operationCount() const;
    std::size_t runningOperationCount() const;

    // A request that has marked itself finished frees its slot.
    void operationDidFinish(const ZRHTTPRequest *request);
    // A waiting request that was cancelled leaves the queue; false when it is not waiting.
    bool removeWaitingOperation(const ZRHTTPRequest *request);

private:
    void startOperationsIfPossible();

    mutable std::mutex _mutex;
    int _maxConcurrentOperationCount = 4;
    std::deque<std::shared_ptr<ZRHTTPRequest>> _waiting;
    std::vector<std::shared_ptr<ZRHTTPRequest>> _running;
};
