#pragma once

#include <QString>

#include "AppIdentityConfig.h"  // generated from cmake/Identity.cmake

// The program's application title: its project name, the executable's base
// name, and the title of every message box shown without one of its own.
inline const QString ApplicationTitle = QStringLiteral(CAR_TITLE);

// The version people see (the version record's text fields).
inline const QString ApplicationVersion = QStringLiteral(CAR_VERSION_TEXT);

// Base name of the installed desktop entry, so desktops match the window to it.
inline const QString DesktopFileName = QStringLiteral(CAR_DESKTOP_FILE_NAME);
