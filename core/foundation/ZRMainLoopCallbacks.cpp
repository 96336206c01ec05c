#include "core/foundation/ZRMainLoopCallbacks.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QObject>

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

void runPending();

// Carries on with the queue after the work that the last callback queued on the main loop: a
// download that finished starts the next one before the other callbacks of the same burst are
// handled, so that its request travels while they are.
class Continuation : public QObject
{
public:
    static QEvent::Type eventType()
    {
        static const auto type = QEvent::Type(QEvent::registerEventType());
        return type;
    }

    static void post()
    {
        // Made on the main thread, the first time a run goes on: it lives there for good.
        static Continuation *const receiver = new Continuation;
        QCoreApplication::postEvent(receiver, new QEvent(eventType()), Qt::LowEventPriority);
    }

    bool event(QEvent *event) override
    {
        if (event->type() != eventType())
            return QObject::event(event);
        runPending();
        return true;
    }
};

// One callback per turn, from the front. The rest goes on behind what that callback queued, and
// before it runs, so that a nested loop started by the callback (a modal window) goes on in order.
void runPending()
{
    Queue &shared = queue();
    std::function<void()> next;
    bool more = false;
    {
        const std::lock_guard lock(shared.mutex);
        shared.runPosted = false;
        if (shared.pending.empty())
            return;
        next = std::move(shared.pending.front());
        shared.pending.pop_front();
        more = !shared.pending.empty();
        shared.runPosted = more;
    }
    if (more)
        Continuation::post();
    next();
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
