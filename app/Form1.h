#pragma once

#include <QWidget>
#include <memory>

#include "repair/RepairRun.h"
#include "repair/RunWindow.h"

namespace Ui {
class Form1;
}

// The program's only window: the school-code box, the repair button and the
// warning labels, built from Form1.ui. It owns the repair run, whose state
// lives exactly as long as the window. Closing it (by the run or by the title
// bar) deletes it once control is back in the event loop.
class Form1 : public QWidget, public repair::RunWindow {
    Q_OBJECT
  public:
    explicit Form1(repair::RunServices services, QWidget* parent = nullptr);
    ~Form1() override;

    const repair::RepairRun& run() const { return run_; }

    QString schoolCodeText() override;
    void focusSchoolCode() override;
    void showMessage(const platform::Message& message) override;
    void closeWindow() override;
    void endProgram(int exitStatus) override;
    void runLongStep(const std::function<void()>& step) override;

  protected:
    bool event(QEvent* event) override;

  private:
    void Form_Activate();
    void cmdRepair_Click();

    std::unique_ptr<Ui::Form1> ui_;
    repair::RepairRun run_;
    bool running_ = false;
    bool working_ = false;  // a long step is under way off the window's thread
};
