#pragma once

#include <QString>

#include "platform/KeyedCollection.h"

namespace repair::fn1 {

// Probes the registry for a key: false exactly when the lookup fails as "not
// found" (5); true when the item is there and also for any other failure.
// No failure escapes the probe.
bool HasKey(const platform::KeyedCollection& registry, const QString& key);

}  // namespace repair::fn1
