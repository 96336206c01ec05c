#include "core/foundation/ZRMainLoopCallbacks.h"

#include <QCoreApplication>
#include <QMetaObject>

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

// One at a time from the front, so that a nested loop started by a callback goes on in order.
void runPending()
{
    Queue &shared = queue();
    {
        const std::lock_guard lock(shared.mutex);
        shared.runPosted = false;
    }
    for (;;) {
        std::function<void()> next;
        {
            const std::lock_guard lock(shared.mutex);
            if (shared.pending.empty())
                return;
            next = std::move(shared.pending.front());
            shared.pending.pop_front();
        }
        next();
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
