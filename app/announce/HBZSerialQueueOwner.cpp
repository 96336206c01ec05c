#include "app/announce/HBZSerialQueueOwner.h"

#include <QSemaphore>

HBZSerialQueueOwner::HBZSerialQueueOwner() : _context(std::make_unique<QObject>())
{
    _context->moveToThread(&_serialQueue);
    _serialQueue.start();
}

HBZSerialQueueOwner::~HBZSerialQueueOwner()
{
    // What was queued still runs, then the thread ends.
    waitUntilIdle();
    _serialQueue.quit();
    _serialQueue.wait();
    _context.reset();
}

void HBZSerialQueueOwner::performAsync(std::function<void()> work)
{
    QMetaObject::invokeMethod(_context.get(), std::move(work), Qt::QueuedConnection);
}

void HBZSerialQueueOwner::waitUntilIdle()
{
    if (QThread::currentThread() == &_serialQueue)
        return;
    QSemaphore done;
    performAsync([&done] { done.release(); });
    done.acquire();
}
