#pragma once

#include <QString>
#include <vector>

#include "platform/Message.h"
#include "repair/RunWindow.h"

namespace repair {

// A window stand-in for running the repair without a screen: it answers with
// a given school code and records what the run shows and asks for.
class RecordingWindow : public RunWindow {
  public:
    explicit RecordingWindow(QString code = {}) : code(std::move(code)) {}

    QString schoolCodeText() override { return code; }
    void focusSchoolCode() override { ++focusRequests; }
    void showMessage(const platform::Message& message) override { messages.push_back(message); }
    void closeWindow() override { closed = true; }
    void endProgram(int status) override {
        closed = true;
        exitStatus = status;
    }

    QString code;
    std::vector<platform::Message> messages;
    int focusRequests = 0;
    bool closed = false;
    int exitStatus = 0;
};

}  // namespace repair
