#include "core/foundation/ZRMainLoopCallbacks.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <deque>
#include <mutex>

namespace
{

struct Queue {
    std::mutex mutex;
    std::deque<std::function<void()>> pending;
    // A run of the queue is posted and has not begun yet: later callbacks need no wake-up.
    bool runPosted = false;
};

// Never destroyed: callbacks may still be queued while the program ends.
Queue &queue()
{
    static Queue *const shared = new Queue;
    return *shared;
}

// Main thread only: the callback that runs asked for what it queued to go first.
bool gQueuedWorkFirst = false;

void runPending();

// Posts a run when callbacks wait and none is posted yet.
void postRun(Queue &shared)
{
    {
        const std::lock_guard lock(shared.mutex);
        if (shared.pending.empty() || shared.runPosted)
            return;
        shared.runPosted = true;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), &runPending, Qt::QueuedConnection);
}

// The loop never goes to sleep with callbacks waiting: a callback that runs a nested loop (a
// modal window) does not hold the later ones back, they run in that loop, still in order.
void watchForStrandedCallbacks()
{
    static QPointer<QAbstractEventDispatcher> watched;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || watched == dispatcher)
        return;
    watched = dispatcher;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, [] { postRun(queue()); });
}

void runPending()
{
    Queue &shared = queue();
    {
        const std::lock_guard lock(shared.mutex);
        shared.runPosted = false;
    }
    watchForStrandedCallbacks();
    // One at a time from the front, so that a nested loop started by a callback goes on in order.
    for (;;) {
        std::function<void()> next;
        {
            const std::lock_guard lock(shared.mutex);
            if (shared.pending.empty())
                return;
            next = std::move(shared.pending.front());
            shared.pending.pop_front();
        }
        gQueuedWorkFirst = false;
        next();
        if (gQueuedWorkFirst) {
            // The rest goes on behind what this callback queued.
            gQueuedWorkFirst = false;
            postRun(shared);
            return;
        }
    }
}

} // namespace

void ZRMainLoopCallbacks::post(std::function<void()> callback)
{
    Queue &shared = queue();
    bool wake = false;
    {
        const std::lock_guard lock(shared.mutex);
        shared.pending.push_back(std::move(callback));
        wake = !shared.runPosted;
        shared.runPosted = true;
    }
    if (!wake)
        return;
    if (QCoreApplication *application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(application, &runPending, Qt::QueuedConnection);
        return;
    }
    // No loop yet (or any more): the callback waits, and the next one posted with a loop wakes it.
    const std::lock_guard lock(shared.mutex);
    shared.runPosted = false;
}

void ZRMainLoopCallbacks::runQueuedWorkFirst()
{
    gQueuedWorkFirst = true;
}
