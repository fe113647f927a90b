#pragma once

#include <QString>

// The program's application title: its project name, the executable's base
// name, and the title of every message box shown without one of its own.
inline const QString ApplicationTitle = QStringLiteral("CompactAndRepair_TinjaraSM20xxTnjra");
