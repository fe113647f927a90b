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

}  // namespace repair
