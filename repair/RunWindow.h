#pragma once

#include <QString>
#include <functional>

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
    // Unloads the window and ends the program with the given non-zero exit
    // status, so that a caller can tell the outcome.
    virtual void endProgram(int exitStatus) = 0;

    // Performs one long step of the run (the backup copy, the compaction) and
    // returns once it is done, raising whatever it raised. A real window does
    // the step off its own thread and stays alive to the window system
    // meanwhile, taking no input; without a window it is simply called.
    virtual void runLongStep(const std::function<void()>& step) { step(); }
};

}  // namespace repair
