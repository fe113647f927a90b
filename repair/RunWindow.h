#pragma once

#include <QString>

#include "platform/Message.h"

namespace repair {

// What the main window offers the repair run. The window implements it; tests
// and the headless driver script it.
class RunWindow {
  public:
    virtual ~RunWindow() = default;

    // The current text of the school-code box, exactly as typed.
    virtual QString schoolCodeText() = 0;
    // Gives the keyboard focus to the school-code box.
    virtual void focusSchoolCode() = 0;
    // Shows one modal message box owned by the window.
    virtual void showMessage(const platform::Message& message) = 0;
    // Unloads the window; once no window is left the program ends normally.
    virtual void closeWindow() = 0;
    // Unloads the window and ends the program with a non-zero exit status,
    // after a failure that no failure path caught.
    virtual void endProgram(int exitStatus) = 0;
};

}  // namespace repair
