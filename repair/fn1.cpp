#include "repair/fn1.h"

#include "platform/Failures.h"

namespace repair::fn1 {

bool HasKey(const platform::KeyedCollection& registry, const QString& key) {
    try {
        (void)registry.Item(key);
    } catch (const platform::Failure& failure) {
        return failure.number() != platform::failures::InvalidProcedureCall;
    } catch (...) {
        // Any other failure counts as "present", as the probe always did.
    }
    return true;
}

}  // namespace repair::fn1
