#pragma once

#include <QHash>
#include <QString>
#include <memory>
#include <vector>

#include "platform/Automation.h"
#include "platform/Failure.h"
#include "platform/Variant.h"

namespace platform::engine {

// One problem: its failure, and properties by name that say more.
struct EngineProblem {
    Failure failure;
    QHash<QString, Variant> details;
};

// The problems of the engine's last operation, as Data Access Objects keep
// them: Count, and Item(index) from 0, each with Number and Description and
// its details.
std::shared_ptr<AutomationObject> makeEngineErrors(std::vector<EngineProblem> errors);

}  // namespace platform::engine
