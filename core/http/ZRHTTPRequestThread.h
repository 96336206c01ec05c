// The one thread that runs every request: a curl multi handle, tasks posted from other threads,
// and repeating timers (the requests' status checks).
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

class ZRHTTPReadStream;

class ZRHTTPRequestThread {
public:
    using Clock = std::chrono::steady_clock;
    using TimerID = std::uint64_t;

    // Thread-safe: the thread, started on first use and stopped and joined when the process exits.
    static ZRHTTPRequestThread &shared();

    // Thread-safe: runs the task on the request thread, after the tasks posted before it.
    void post(std::function<void()> task);
    bool isCurrentThread() const;
    // Thread-safe, also while the process exits: whether the loop has been stopped for good.
    static bool hasStopped();

    // Request thread.
    bool addStream(ZRHTTPReadStream *stream);
    void removeStream(ZRHTTPReadStream *stream);
    TimerID addRepeatingTimer(Clock::duration interval, std::function<void()> callback);
    void removeTimer(TimerID timer);

    // Thread-safe: stops the loop and joins the thread; later posts are dropped. Streams still
    // open are left to the process's end.
    void stop();

    ZRHTTPRequestThread(const ZRHTTPRequestThread &) = delete;
    ZRHTTPRequestThread &operator=(const ZRHTTPRequestThread &) = delete;
    ~ZRHTTPRequestThread();

private:
    ZRHTTPRequestThread();
    void run();
    void runPostedTasks();
    void collectEndedTransfers();
    bool dispatchStreamEvents();
    // Whether any timer ran.
    bool runDueTimers();
    int pollTimeoutMilliseconds(bool eventsPending);

    struct Timer {
        Clock::time_point due;
        Clock::duration interval;
        std::function<void()> callback;
    };

    CURLM *_multi = nullptr;
    std::thread _thread;
    std::thread::id _threadID;

    std::mutex _tasksMutex;
    std::vector<std::function<void()>> _tasks;
    bool _stopping = false;
    bool _stopped = false;

    // Request thread only.
    std::vector<ZRHTTPReadStream *> _streams;
    std::unordered_set<ZRHTTPReadStream *> _streamSet;
    std::map<TimerID, Timer> _timers;
    TimerID _nextTimerID = 1;
};
