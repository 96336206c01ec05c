// The request thread's loop: wait on curl's sockets, run posted tasks, move bytes, hand stream
// events to their requests, fire timers.
#include "core/http/ZRHTTPRequestThread.h"

#include "core/http/ZRHTTPBandwidth.h"
#include "core/http/ZRHTTPConnectionPool.h"
#include "core/http/ZRHTTPCookieStore.h"
#include "core/http/ZRHTTPReadStream.h"

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

// Trivially destructible, so it can be asked during static destruction.
std::atomic<bool> threadStopped{false};

// Events handed to one stream per turn of the loop before curl gets its turn again.
constexpr int maximumEventRounds = 64;

} // namespace

ZRHTTPRequestThread &ZRHTTPRequestThread::shared()
{
    // What the thread uses is made first, so that it is destroyed after the thread is joined.
    static const bool dependenciesReady = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        ZRHTTPCookieStore::sharedStore();
        ZRHTTPBandwidth::shared();
        // Requests pick their connections on the thread, up to its last turn.
        ZRHTTPConnectionPool::shared();
        return true;
    }();
    (void)dependenciesReady;
    static ZRHTTPRequestThread thread;
    return thread;
}

ZRHTTPRequestThread::ZRHTTPRequestThread()
{
    _multi = curl_multi_init();
    _thread = std::thread([this] { run(); });
    _threadID = _thread.get_id();
}

ZRHTTPRequestThread::~ZRHTTPRequestThread()
{
    stop();
}

void ZRHTTPRequestThread::stop()
{
    {
        std::lock_guard lock(_tasksMutex);
        if (_stopping)
            return;
        _stopping = true;
    }
    threadStopped = true;
    curl_multi_wakeup(_multi);
    if (_thread.joinable() && std::this_thread::get_id() != _threadID)
        _thread.join();
    // Tasks that never ran may hold requests; drop them here, off the loop.
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(_tasksMutex);
        tasks.swap(_tasks);
        _stopped = true;
    }
    // The multi handle is left alive: easy handles of requests still alive refer to it.
}

void ZRHTTPRequestThread::post(std::function<void()> task)
{
    bool wake = false;
    {
        std::lock_guard lock(_tasksMutex);
        if (_stopping)
            return;
        // Tasks already waiting have woken the loop, and it takes them all at once: one wake-up
        // (a write to curl's socket pair) per burst is enough.
        wake = _tasks.empty();
        _tasks.push_back(std::move(task));
    }
    if (wake)
        curl_multi_wakeup(_multi);
}

bool ZRHTTPRequestThread::hasStopped()
{
    return threadStopped;
}

bool ZRHTTPRequestThread::isCurrentThread() const
{
    return std::this_thread::get_id() == _threadID;
}

bool ZRHTTPRequestThread::addStream(ZRHTTPReadStream *stream)
{
    if (curl_multi_add_handle(_multi, stream->handle()) != CURLM_OK)
        return false;
    _streams.push_back(stream);
    _streamSet.insert(stream);
    return true;
}

void ZRHTTPRequestThread::removeStream(ZRHTTPReadStream *stream)
{
    if (!_streamSet.erase(stream))
        return;
    _streams.erase(std::remove(_streams.begin(), _streams.end(), stream), _streams.end());
    curl_multi_remove_handle(_multi, stream->handle());
}

ZRHTTPRequestThread::TimerID ZRHTTPRequestThread::addRepeatingTimer(Clock::duration interval,
    std::function<void()> callback)
{
    const TimerID timer = _nextTimerID++;
    _timers.emplace(timer, Timer{Clock::now() + interval, interval, std::move(callback)});
    return timer;
}

void ZRHTTPRequestThread::removeTimer(TimerID timer)
{
    _timers.erase(timer);
}

void ZRHTTPRequestThread::run()
{
    bool eventsPending = false;
    for (;;) {
        curl_multi_poll(_multi, nullptr, 0, pollTimeoutMilliseconds(eventsPending), nullptr);
        {
            std::lock_guard lock(_tasksMutex);
            if (_stopping)
                return;
        }
        runPostedTasks();
        int running = 0;
        curl_multi_perform(_multi, &running);
        collectEndedTransfers();
        eventsPending = dispatchStreamEvents();
        // A timer may have released a parked stream with bytes waiting: look again before sleeping.
        if (runDueTimers())
            eventsPending = true;
    }
}

int ZRHTTPRequestThread::pollTimeoutMilliseconds(bool eventsPending)
{
    if (eventsPending)
        return 0;
    {
        std::lock_guard lock(_tasksMutex);
        if (!_tasks.empty() || _stopping)
            return 0;
    }
    auto wait = std::chrono::milliseconds(1000);
    const auto now = Clock::now();
    for (const auto &[id, timer] : _timers) {
        const auto untilDue = std::chrono::duration_cast<std::chrono::milliseconds>(timer.due - now)
            + std::chrono::milliseconds(1);
        wait = std::min(wait, std::max(untilDue, std::chrono::milliseconds(0)));
    }
    return static_cast<int>(wait.count());
}

void ZRHTTPRequestThread::runPostedTasks()
{
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(_tasksMutex);
        tasks.swap(_tasks);
    }
    for (auto &task : tasks)
        task();
}

void ZRHTTPRequestThread::collectEndedTransfers()
{
    int remaining = 0;
    while (CURLMsg *message = curl_multi_info_read(_multi, &remaining)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        ZRHTTPReadStream *stream = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &stream);
        if (stream && _streamSet.count(stream))
            stream->transferDidEnd(message->data.result);
    }
}

bool ZRHTTPRequestThread::dispatchStreamEvents()
{
    bool pending = false;
    for (int round = 0; round < maximumEventRounds; ++round) {
        pending = false;
        const std::vector<ZRHTTPReadStream *> streams = _streams;
        for (ZRHTTPReadStream *stream : streams) {
            // An earlier handler may have closed this stream.
            if (!_streamSet.count(stream))
                continue;
            const ZRHTTPStreamEvent event = stream->takeNextEvent();
            if (event == ZRHTTPStreamEvent::none)
                continue;
            pending = true;
            const std::uint64_t takenBefore = stream->bytesTaken();
            stream->client()->readStreamHandleEvent(*stream, event);
            // Compare what was read, not what is left: a read may unpause curl, which hands over
            // as many new bytes as were taken.
            if (event == ZRHTTPStreamEvent::bytesAvailable && _streamSet.count(stream) && stream->bytesAvailable() > 0
                && stream->bytesTaken() == takenBefore)
                stream->waitForNewData();
        }
        if (!pending)
            break;
    }
    return pending;
}

bool ZRHTTPRequestThread::runDueTimers()
{
    const auto now = Clock::now();
    std::vector<TimerID> due;
    for (const auto &[id, timer] : _timers) {
        if (timer.due <= now)
            due.push_back(id);
    }
    for (TimerID id : due) {
        auto found = _timers.find(id);
        // An earlier callback may have removed this timer.
        if (found == _timers.end())
            continue;
        found->second.due = now + found->second.interval;
        // The callback may remove its own timer: keep it alive for the call.
        auto callback = found->second.callback;
        callback();
    }
    return !due.empty();
}
