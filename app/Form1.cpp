#include "app/Form1.h"

#include <QApplication>

#include "app/MessageBoxPresenter.h"
#include "ui_Form1.h"

Form1::Form1(repair::RunServices services, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::Form1>()), run_(*this, std::move(services)) {
    ui_->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui_->cmdRepair, &QPushButton::clicked, this, &Form1::cmdRepair_Click);
    // Enter in the school-code box presses the button, as operators expect.
    connect(ui_->txtKodSek, &QLineEdit::returnPressed, ui_->cmdRepair, &QPushButton::click);
}

Form1::~Form1() = default;

bool Form1::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) Form_Activate();
    return QWidget::event(event);
}

void Form1::Form_Activate() {
    focusSchoolCode();
}

void Form1::cmdRepair_Click() {
    // The run holds the thread; a press that reaches us anyway (from inside a
    // message box's own event loop) must not start a second run.
    if (running_) return;
    running_ = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    run_.cmdRepair_Click();
    QApplication::restoreOverrideCursor();
    running_ = false;
}

QString Form1::schoolCodeText() {
    return ui_->txtKodSek->text();
}

void Form1::focusSchoolCode() {
    ui_->txtKodSek->setFocus(Qt::OtherFocusReason);
}

void Form1::showMessage(const platform::Message& message) {
    // Busy over the window while the run works, but an ordinary pointer over
    // the message that waits for the user.
    if (running_) QApplication::restoreOverrideCursor();
    showMessageBox(this, message);
    if (running_) QApplication::setOverrideCursor(Qt::WaitCursor);
}

void Form1::closeWindow() {
    close();
}

void Form1::endProgram(int exitStatus) {
    // Closing the last window would otherwise end the program with status 0.
    QApplication::setQuitOnLastWindowClosed(false);
    close();
    QCoreApplication::exit(exitStatus);
}
