// Records of persistent connections.
#include "core/http/ZRHTTPConnectionPool.h"

#include <algorithm>

ZRHTTPConnectionPool &ZRHTTPConnectionPool::shared()
{
    static ZRHTTPConnectionPool pool;
    return pool;
}

void ZRHTTPConnectionPool::expireIdleRecords()
{
    std::lock_guard lock(_connectionPoolLock);
    const auto now = Clock::now();
    std::erase_if(_connectionPool, [&](const RecordPtr &record) { return !record->request && record->expires <= now; });
}

ZRHTTPConnectionPool::Choice ZRHTTPConnectionPool::chooseRecord(const RecordPtr &previous, const std::string &host,
    const std::string &scheme, int port, std::uint32_t requestID)
{
    std::lock_guard lock(_connectionPoolLock);
    expireIdleRecords();
    Choice choice;
    const auto now = Clock::now();
    if (previous) {
        const bool inPool = std::find(_connectionPool.begin(), _connectionPool.end(), previous) != _connectionPool.end();
        if (previous->host != host || previous->scheme != scheme || previous->port != port) {
            // Another server now: the record is left to its own expiry.
        } else if (previous->expires <= now && !previous->request) {
            removeRecord(previous);
        } else if (!previous->request && inPool) {
            choice.record = previous;
            choice.isNewConnection = false;
        }
    }
    if (!choice.record) {
        for (auto record = _connectionPool.rbegin(); record != _connectionPool.rend(); ++record) {
            if (!(*record)->request && (*record)->host == host && (*record)->scheme == scheme
                && (*record)->port == port) {
                choice.record = *record;
                choice.isNewConnection = false;
                break;
            }
        }
    }
    if (!choice.record) {
        choice.record = std::make_shared<ZRHTTPConnectionRecord>();
        choice.record->id = ++_nextConnectionID;
        choice.record->host = host;
        choice.record->scheme = scheme;
        choice.record->port = port;
        _connectionPool.push_back(choice.record);
    }
    choice.record->request = requestID;
    return choice;
}

void ZRHTTPConnectionPool::releaseRecord(const RecordPtr &record, Clock::time_point expires)
{
    if (!record)
        return;
    std::lock_guard lock(_connectionPoolLock);
    record->request.reset();
    record->expires = expires;
}

void ZRHTTPConnectionPool::setExpires(const RecordPtr &record, Clock::time_point expires)
{
    if (!record)
        return;
    std::lock_guard lock(_connectionPoolLock);
    record->expires = expires;
}

void ZRHTTPConnectionPool::removeRecord(const RecordPtr &record)
{
    std::lock_guard lock(_connectionPoolLock);
    std::erase(_connectionPool, record);
}

std::uint32_t ZRHTTPConnectionPool::nextRequestID()
{
    std::lock_guard lock(_connectionPoolLock);
    return ++_nextRequestID;
}

void ZRHTTPConnectionPool::streamWasScheduled()
{
    std::lock_guard lock(_connectionPoolLock);
    ++_runningStreamCount;
}

void ZRHTTPConnectionPool::streamWasUnscheduled()
{
    std::lock_guard lock(_connectionPoolLock);
    --_runningStreamCount;
}

int ZRHTTPConnectionPool::runningStreamCount() const
{
    std::lock_guard lock(_connectionPoolLock);
    return _runningStreamCount;
}

std::vector<ZRHTTPConnectionRecord> ZRHTTPConnectionPool::records() const
{
    std::lock_guard lock(_connectionPoolLock);
    std::vector<ZRHTTPConnectionRecord> copies;
    for (const auto &record : _connectionPool)
        copies.push_back(*record);
    return copies;
}

void ZRHTTPConnectionPool::removeAllRecords()
{
    std::lock_guard lock(_connectionPoolLock);
    _connectionPool.clear();
}
