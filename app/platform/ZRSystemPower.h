// Asks the system to suspend or to power off. The controller talks to this interface, so that tests
// can stand in for the machine.
#pragma once

#include <functional>

// Main thread.
class ZRSystemPower
{
public:
    virtual ~ZRSystemPower() = default;

    // Whether the system accepted the request; the answer may come on a later turn of the event loop.
    using Completion = std::function<void(bool accepted)>;
    virtual void suspend(Completion completion) = 0;
    virtual void powerOff(Completion completion) = 0;
};
