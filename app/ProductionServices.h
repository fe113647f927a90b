#pragma once

#include "platform/DriveMap.h"
#include "repair/ProductionServices.h"

// The program's services on the drives of the Wine prefix, as Windows
// programs on Linux see their C: drive.
inline repair::RunServices productionServices() {
    return repair::productionServices(platform::DriveMap::fromWinePrefix());
}
