// The engine's records of persistent connections: which host, scheme and port a connection serves,
// which request uses it now, and until when an idle one may be used again. libcurl keeps the
// sockets; a request that finds no usable record asks curl for a fresh connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct ZRHTTPConnectionRecord {
    std::int32_t id = 0;
    std::string host;
    int port = 0;
    std::string scheme;
    // The requestID of the request now using the connection; none while idle.
    std::optional<std::uint32_t> request;
    std::chrono::steady_clock::time_point expires;
};

// Thread-safe: every operation holds connectionPoolLock.
class ZRHTTPConnectionPool {
public:
    using Clock = std::chrono::steady_clock;
    using RecordPtr = std::shared_ptr<ZRHTTPConnectionRecord>;

    static ZRHTTPConnectionPool &shared();

    struct Choice {
        RecordPtr record;
        // A record made for this attempt: its connection is a new one.
        bool isNewConnection = true;
    };

    // Closes idle records that have expired, then keeps `previous` (the record of an earlier
    // attempt of the same request) when it still fits, else takes the last idle record for the
    // same host, scheme and port, else makes one; the chosen record is marked as used by `requestID`.
    Choice chooseRecord(const RecordPtr &previous, const std::string &host, const std::string &scheme, int port,
        std::uint32_t requestID);
    void expireIdleRecords();

    // The request no longer uses the record; an idle connection may be re-used until `expires`.
    void releaseRecord(const RecordPtr &record, Clock::time_point expires);
    void setExpires(const RecordPtr &record, Clock::time_point expires);
    void removeRecord(const RecordPtr &record);

    std::uint32_t nextRequestID();
    void streamWasScheduled();
    void streamWasUnscheduled();
    int runningStreamCount() const;

    // Copies of the records in pool order (tests and diagnostics).
    std::vector<ZRHTTPConnectionRecord> records() const;
    // Forgets every record; curl's idle connections are not re-used afterwards (tests).
    void removeAllRecords();

private:
    mutable std::recursive_mutex _connectionPoolLock;
    std::vector<RecordPtr> _connectionPool;
    std::int32_t _nextConnectionID = 0;
    std::uint32_t _nextRequestID = 0;
    int _runningStreamCount = 0;
};
