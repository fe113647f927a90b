#pragma once

namespace repair {

// How one press of the repair button ended. Each is reported by exactly one
// message.
enum class Outcome {
    CodeMissing,
    DuplicateSessionFolder,
    NoSessionFolder,
    DatabaseNotFound,
    RepairSucceeded,
    RepairFailed,
    // A failure inside the recovery itself: reported as an unhandled run-time
    // error, and the program ends with a non-zero status.
    RecoveryFailed,
};

const char* outcomeName(Outcome outcome);

}  // namespace repair
