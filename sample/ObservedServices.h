#pragma once

#include <QString>
#include <functional>

#include "repair/RunServices.h"

namespace sample {

// Called before every file-system operation and engine call of a run, with
// the operation's name ("DeleteFile", "CopyFile", "rename", "CreateObject",
// "CompactDatabase", ...) and its first path or class name. Throwing a
// platform::Failure from it makes that operation fail; tests and the
// headless driver use it to inject faults or to stop the process at a step.
using Observer = std::function<void(const QString& operation, const QString& argument)>;

repair::RunServices observeServices(repair::RunServices inner, Observer observer);

}  // namespace sample
