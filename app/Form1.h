#pragma once

#include <QWidget>

#include "repair/RepairRun.h"
#include "repair/RunWindow.h"

namespace Ui {
class Form1;
}

// The program's only window (placeholder until the window is built).
class Form1 : public QWidget, public repair::RunWindow {
    Q_OBJECT
public:
    explicit Form1(repair::RunServices services, QWidget* parent = nullptr);
    ~Form1() override;

    QString schoolCodeText() override;
    void focusSchoolCode() override;
    void showMessage(const platform::Message& message) override;
    void closeWindow() override;
    void endProgram(int exitStatus) override;

private:
    std::unique_ptr<Ui::Form1> ui_;
    repair::RepairRun run_;
};
