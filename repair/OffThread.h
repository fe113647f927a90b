#pragma once

#include <functional>

namespace repair {

// Runs a step on a thread of its own while the calling thread keeps serving
// its event loop, and returns once the step is done. A failure the step
// raises is raised again here, on the calling thread. Without an application
// object there is no event loop to serve, and the step is simply called.
void runOffThread(const std::function<void()>& step);

}  // namespace repair
