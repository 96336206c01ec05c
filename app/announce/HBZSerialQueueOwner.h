// A base for objects whose work runs in order on a thread of their own.
#pragma once

#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

// Any thread may queue work; the work runs on the owner's thread, one piece after the other, in the
// order it was queued.
class HBZSerialQueueOwner
{
public:
    HBZSerialQueueOwner();
    virtual ~HBZSerialQueueOwner();
    HBZSerialQueueOwner(const HBZSerialQueueOwner &) = delete;
    HBZSerialQueueOwner &operator=(const HBZSerialQueueOwner &) = delete;

    // Returns once everything queued before has run.
    void waitUntilIdle();

protected:
    void performAsync(std::function<void()> work);

private:
    QThread _serialQueue;
    // Lives on the thread: queued calls to it run there.
    std::unique_ptr<QObject> _context;
};
