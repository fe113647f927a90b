#pragma once

#include <memory>
#include <vector>

#include "platform/Automation.h"
#include "platform/Failure.h"

namespace platform::engine {

// The problems of the engine's last operation, as Data Access Objects keep
// them: Count, and Item(index) from 0, each with Number and Description.
std::shared_ptr<AutomationObject> makeEngineErrors(std::vector<Failure> errors);

}  // namespace platform::engine
