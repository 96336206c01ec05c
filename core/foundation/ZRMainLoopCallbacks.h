// Work handed from other threads to the main loop: run there in the order given, and a burst that
// arrives before the loop comes round costs one wake-up of the loop instead of one each.
#pragma once

#include <functional>

namespace ZRMainLoopCallbacks
{

// Thread-safe. A callback that runs a nested event loop (a modal window) does not hold the later
// ones back: they run in that loop, still in order.
void post(std::function<void()> callback);

// Main thread, from within a callback: what it queued on the main loop runs before the callbacks
// behind it (a finished download's request for the next one goes out while the rest of the burst
// is handled).
void runQueuedWorkFirst();

} // namespace ZRMainLoopCallbacks
