#include "repair/Outcome.h"

namespace repair {

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::CodeMissing:
            return "CodeMissing";
        case Outcome::DuplicateSessionFolder:
            return "DuplicateSessionFolder";
        case Outcome::NoSessionFolder:
            return "NoSessionFolder";
        case Outcome::DatabaseNotFound:
            return "DatabaseNotFound";
        case Outcome::RepairSucceeded:
            return "RepairSucceeded";
        case Outcome::RepairFailed:
            return "RepairFailed";
        case Outcome::RecoveryFailed:
            return "RecoveryFailed";
    }
    return "?";
}

int exitStatusOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::CodeMissing:
        case Outcome::RepairSucceeded:
            return exit_status::Success;
        case Outcome::DuplicateSessionFolder:
            return exit_status::DuplicateSessionFolder;
        case Outcome::NoSessionFolder:
            return exit_status::NoSessionFolder;
        case Outcome::DatabaseNotFound:
            return exit_status::DatabaseNotFound;
        case Outcome::RepairFailed:
            return exit_status::RepairFailed;
        case Outcome::RecoveryFailed:
            return exit_status::RecoveryFailed;
    }
    return exit_status::RecoveryFailed;
}

}  // namespace repair
