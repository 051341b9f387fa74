#ifndef HANDOFF_H
#define HANDOFF_H

#include <mutex>

// Qt orders its own cross-thread deliveries with futexes that ThreadSanitizer
// cannot see. Passing through this mutex on both sides of a hand-off (a worker
// going home at shutdown, a value applied by a queued call) makes the order
// visible to it as well; it costs nothing that matters.
namespace Handoff {

inline std::mutex &gate()
{
    static std::mutex mutex;
    return mutex;
}

inline void pass()
{
    std::lock_guard<std::mutex> guard(gate());
}

} // namespace Handoff

#endif // HANDOFF_H
