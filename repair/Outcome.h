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

// The program's exit statuses, so that scripts can tell the outcomes apart.
// The README and the manual page list the same numbers.
namespace exit_status {
constexpr int Success = 0;  // the repair succeeded, or the user closed the window
constexpr int RecoveryFailed = 1;
constexpr int DuplicateSessionFolder = 2;
constexpr int NoSessionFolder = 3;
constexpr int DatabaseNotFound = 4;
constexpr int RepairFailed = 5;
constexpr int NoDisplay = 6;
}  // namespace exit_status

// The status the program ends with after an outcome. CodeMissing ends
// nothing; it maps to Success for completeness.
int exitStatusOf(Outcome outcome);

}  // namespace repair
