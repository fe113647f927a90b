#include "app/Form1.h"

#include <QApplication>

#include "app/MessageBoxPresenter.h"
#include "repair/OffThread.h"
#include "ui_Form1.h"

namespace {

// While a long step works the window keeps painting and answering the window
// system, but takes no input: every key, click, wheel turn, hover and close
// request is dropped on arrival. (An event loop told to exclude user input
// would only hold them back and deliver them after the step, into the final
// message box.)
class InputSwallower : public QObject {
  public:
    InputSwallower() { qApp->installEventFilter(this); }
    ~InputSwallower() override { qApp->removeEventFilter(this); }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
            case QEvent::NonClientAreaMouseButtonPress:
            case QEvent::NonClientAreaMouseButtonRelease:
            case QEvent::NonClientAreaMouseButtonDblClick:
            case QEvent::NonClientAreaMouseMove:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::InputMethod:
            case QEvent::ContextMenu:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
            case QEvent::TouchCancel:
            case QEvent::TabletPress:
            case QEvent::TabletMove:
            case QEvent::TabletRelease:
            case QEvent::NativeGesture:
            case QEvent::Gesture:
            case QEvent::DragEnter:
            case QEvent::DragMove:
            case QEvent::DragLeave:
            case QEvent::Drop:
            // Hover would light the button up under the pointer.
            case QEvent::Enter:
            case QEvent::Leave:
            case QEvent::HoverEnter:
            case QEvent::HoverLeave:
            case QEvent::HoverMove:
                return true;
            case QEvent::Close:
                // The title bar's close control; the run's own close is not
                // spontaneous and happens after the step anyway.
                if (!event->spontaneous()) return false;
                event->ignore();
                return true;
            default:
                return false;
        }
    }
};

}  // namespace

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
    // No handler of the window runs while the run works.
    if (event->type() == QEvent::WindowActivate && !working_) Form_Activate();
    return QWidget::event(event);
}

void Form1::Form_Activate() {
    focusSchoolCode();
}

void Form1::cmdRepair_Click() {
    // The run holds the button's handler until its outcome; a press that
    // reaches us anyway (from inside a message box's own event loop) must not
    // start a second run.
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

void Form1::runLongStep(const std::function<void()>& step) {
    const InputSwallower swallower;
    working_ = true;
    try {
        repair::runOffThread(step);
    } catch (...) {
        working_ = false;
        throw;
    }
    working_ = false;
}
