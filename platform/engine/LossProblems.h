#pragma once

#include <QString>
#include <vector>

#include "platform/engine/EngineErrors.h"

namespace platform::engine {

struct CompactResult;

// The Errors items after a repair: none when nothing was lost; otherwise one
// that says the database was repaired with losses, then one per table with
// losses and one per schema entry lost, each with its details.
std::vector<EngineProblem> lossProblems(const CompactResult& result, const QString& nativeSource);

}  // namespace platform::engine
