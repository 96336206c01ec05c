// A cancellable call on the main thread after a delay, owned by the object that armed it.
#pragma once

#include <functional>
#include <memory>

class QTimer;

// Main thread only.
class ZRDelayedCall {
public:
    ZRDelayedCall();
    ~ZRDelayedCall();
    ZRDelayedCall(const ZRDelayedCall &) = delete;
    ZRDelayedCall &operator=(const ZRDelayedCall &) = delete;

    // Replaces any pending call. A delay of 0 runs on the next turn of the event loop.
    void schedule(double seconds, std::function<void()> call);
    void cancel();
    bool isScheduled() const;

private:
    std::unique_ptr<QTimer> _timer;
    std::function<void()> _call;
};
