#pragma once

#include <QWidget>

#include "platform/Message.h"

// Shows one modal message box owned by the window, with a single OK button,
// and returns once the user has dismissed it. A message without a title shows
// the application title; one with an empty title shows an empty title bar.
void showMessageBox(QWidget* owner, const platform::Message& message);
