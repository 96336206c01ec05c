// Work handed from other threads to the main loop: run there in the order given, one per turn, so
// that what a callback queues on the loop runs before the next callback; a burst that arrives before
// the loop comes round costs one wake-up of the loop instead of one each.
#pragma once

#include <functional>

namespace ZRMainLoopCallbacks
{

// Thread-safe. A callback that runs a nested event loop (a modal window) does not hold the later
// ones back: they run in that loop, still in order.
void post(std::function<void()> callback);

} // namespace ZRMainLoopCallbacks
