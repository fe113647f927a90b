#include <QtTest/qtestspontaneevent.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <functional>
#include <utility>

#include "app/AppIdentity.h"
#include "app/Form1.h"
#include "app/ProductionServices.h"
#include "sample/ObservedServices.h"
#include "sample/SampleDatabase.h"
#include "tests/QStringPrinter.h"
#include "tests/ScriptedFileSystem.h"
#include "tests/TempDrive.h"

using platform::MessageIcon;

namespace {

// A data root with the given sub-folders (or failing with the given number),
// counting how often the run asks for it and noting the pointer it sees.
struct Disk {
    QStringList folders;
    std::optional<int> failure;
    int rootLookups = 0;
    int servicesMade = 0;
    std::optional<Qt::CursorShape> pointerDuringRun;
};

class ProbedFileSystem : public ScriptedFileSystem {
  public:
    explicit ProbedFileSystem(Disk& disk)
        : ScriptedFileSystem(disk.folders, disk.failure), disk_(disk) {}
    platform::Folder GetFolder(const QString& path) override {
        ++disk_.rootLookups;
        if (const QCursor* cursor = QApplication::overrideCursor()) {
            disk_.pointerDuringRun = cursor->shape();
        }
        return ScriptedFileSystem::GetFolder(path);
    }

  private:
    Disk& disk_;
};

repair::RunServices servicesOn(Disk& disk) {
    return {[&disk] {
                ++disk.servicesMade;
                return std::make_unique<ProbedFileSystem>(disk);
            },
            std::make_shared<platform::ClassRegistry>(), nullptr};
}

// A message box as the user met it.
struct SeenBox {
    QString title;
    QString text;
    Qt::TextFormat format;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    bool modal;
    QWidget* owner;
    bool pointerOverridden;
};

// Answers every message box the window shows, boxes opened while another is
// open included: notes it, runs `whileOpen`, then presses OK.
class BoxAnswerer {
  public:
    explicit BoxAnswerer(std::function<void(QMessageBox*)> whileOpen = {})
        : whileOpen_(std::move(whileOpen)) {
        watch();
    }
    std::vector<SeenBox> seen;

  private:
    // A fresh timer each time: Qt does not fire a timer again while its own
    // handler is still running, which is where a nested box would wait.
    void watch() {
        QTimer::singleShot(5, &alive_, [this] { answer(); });
    }

    void answer() {
        watch();
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        seen.push_back({box->windowTitle(), box->text(), box->textFormat(), box->icon(),
                        box->standardButtons(), box->isModal(), box->parentWidget(),
                        QApplication::overrideCursor() != nullptr});
        if (whileOpen_) whileOpen_(box);
        box->button(QMessageBox::Ok)->click();
    }

    std::function<void(QMessageBox*)> whileOpen_;
    QObject alive_;
};

QPointer<Form1> openWindow(Disk& disk) {
    QPointer<Form1> window = new Form1(servicesOn(disk));
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window));
    return window;
}

template <typename T>
T* control(QWidget* window, const char* name) {
    auto* found = window->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

// Lets the window's deferred deletion happen, as the event loop would.
void settle() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The program ends once no window is left visible.
bool windowLeft() {
    const auto windows = QApplication::topLevelWidgets();
    return std::any_of(windows.begin(), windows.end(), [](QWidget* w) { return w->isVisible(); });
}

QColor rgb(QRgb value) {
    return QColor::fromRgb(value);
}

// Leaves no window behind for the next test, whatever this one did.
class WindowTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (QWidget* window : QApplication::topLevelWidgets()) window->close();
        settle();
    }
};

const QString kCodeMissing = "Kod sekolah belum dimasukkan\r\n\r\nSila masukkan kod sekolah";

}  // namespace

using WindowLayout = WindowTest;
using WindowKeyboard = WindowTest;
using WindowRun = WindowTest;
using WindowMessages = WindowTest;
using WindowEndProgram = WindowTest;
using WindowMessagesOnX11 = WindowTest;

TEST_F(WindowLayout, EveryControlAsBuilt) {
    Disk disk;
    QPointer<Form1> window = openWindow(disk);
    EXPECT_EQ(window->windowTitle(), "Form1");
    EXPECT_EQ(window->size(), QSize(632, 435));
    EXPECT_EQ(window->palette().color(QPalette::Window), rgb(0xE0E0E0));

    struct Expected {
        const char* name;
        const char* kind;
        QString text;
        QRect place;
        QColor textColour;  // invalid: the toolkit's default
        QColor background;
        bool italic;
    };
    const QColor black = rgb(0x000000), red = rgb(0xFF0000), grey = rgb(0xE0E0E0), none;
    const QString warning = "PASTIKAN SELVORANT TIDAK RUNNING SEBELUM KLIK BUTANG DI BAWAH";
    const QString heading = "COMPACT AND REPAIR SelvorantSM20XX.accdb";
    const QColor pink = rgb(0xFFC0FF);
    // In the order the window creates them.
    // clang-format off
    const std::vector<Expected> controls = {
        {"cmdRepair", "QPushButton", "Klik Untuk Repair", {222, 352, 137, 39}, none, pink, false},
        {"txtKodSek", "QLineEdit", "", {257, 174, 74, 27}, black, none, false},
        {"Label7", "QLabel", "(JANGAN MULAKAN SELVORANT)", {20, 320, 589, 21}, red, grey, true},
        {"Label6", "QLabel", "MUSTAHAK:", {20, 276, 589, 21}, red, grey, true},
        {"Label5", "QLabel", warning, {20, 298, 589, 21}, red, grey, true},
        {"Label4", "QLabel", heading, {136, 128, 357, 21}, black, grey, true},
        {"lblKodSek", "QLabel", "Kod sekolah :", {160, 176, 89, 19}, black, grey, true},
    };
    // clang-format on
    const auto children = window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(children.size(), qsizetype(controls.size()));
    for (size_t i = 0; i < controls.size(); ++i) {
        const Expected& want = controls[i];
        SCOPED_TRACE(want.name);
        QWidget* widget = children[qsizetype(i)];
        EXPECT_EQ(widget->objectName(), want.name);
        EXPECT_STREQ(widget->metaObject()->className(), want.kind);
        EXPECT_EQ(widget->property("text").toString(), want.text);
        EXPECT_EQ(widget->geometry(), want.place);
        EXPECT_TRUE(widget->isVisible() && widget->isEnabled());
        if (want.textColour.isValid()) {
            EXPECT_EQ(widget->palette().color(widget->foregroundRole()), want.textColour);
        }
        if (want.background.isValid()) {
            EXPECT_EQ(widget->palette().color(widget->backgroundRole()), want.background);
        }
        const QFont font = widget->font();
        EXPECT_EQ(font.family(), "Arial");
        EXPECT_DOUBLE_EQ(font.pointSizeF(), 9.75);
        EXPECT_EQ(font.weight(), QFont::Bold);
        EXPECT_EQ(font.italic(), want.italic);
        EXPECT_FALSE(font.underline() || font.strikeOut());
        EXPECT_EQ(QFontInfo(font).pixelSize(), 13);  // 9.75 pt at 96 dots per inch
        if (want.kind == std::string("QLabel")) {
            EXPECT_EQ(widget->focusPolicy(), Qt::NoFocus);
            // The captions never read as markup and never clip at this size.
            auto* label = static_cast<QLabel*>(widget);
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), want.place.width());
        }
    }
    EXPECT_EQ(control<QLineEdit>(window, "txtKodSek")->echoMode(), QLineEdit::Normal);
}

TEST_F(WindowLayout, SchoolCodeBoxIsAnnouncedByItsCaption) {
    Disk disk;
    QPointer<Form1> window = openWindow(disk);
    auto* box = control<QLineEdit>(window, "txtKodSek");
    EXPECT_EQ(control<QLabel>(window, "lblKodSek")->buddy(), box);
    QAccessibleInterface* announced = QAccessible::queryAccessibleInterface(box);
    ASSERT_NE(announced, nullptr);
    EXPECT_EQ(announced->role(), QAccessible::EditableText);
    EXPECT_EQ(announced->text(QAccessible::Name), "Kod sekolah");
}

TEST_F(WindowKeyboard, FocusStartsInTheBoxAndTabOnlyVisitsBoxAndButton) {
    Disk disk;
    QPointer<Form1> window = openWindow(disk);
    auto* box = control<QLineEdit>(window, "txtKodSek");
    auto* button = control<QPushButton>(window, "cmdRepair");
    EXPECT_EQ(QApplication::focusWidget(), box);

    // Keys typed at the window go into the box.
    for (const char key : {'a', 'b', '1'}) QTest::keyClick(window->windowHandle(), key);
    EXPECT_EQ(box->text(), "ab1");

    QTest::keyClick(window->windowHandle(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), button);
    QTest::keyClick(window->windowHandle(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), box);
    QTest::keyClick(window->windowHandle(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), button);

    // Coming back to the window puts the focus in the box again.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    EXPECT_EQ(QApplication::focusWidget(), box);
    EXPECT_EQ(disk.servicesMade, 0);  // typing and moving about start nothing
}

TEST_F(WindowKeyboard, EnterInTheBoxAndSpaceOrEnterOnTheButtonPressIt) {
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
        for (const bool onButton : {false, true}) {
            if (key == Qt::Key_Space && !onButton) continue;  // a space is text in the box
            Disk disk;
            QPointer<Form1> window = openWindow(disk);
            if (onButton) control<QPushButton>(window, "cmdRepair")->setFocus();
            BoxAnswerer answerer;
            QTest::keyClick(window->windowHandle(), key);
            ASSERT_EQ(answerer.seen.size(), 1u) << key << onButton;
            EXPECT_EQ(answerer.seen[0].text, kCodeMissing);
        }
    }
}

TEST_F(WindowRun, BlankCodeKeepsWindowTextAndFocusThenASecondPressRunsAnew) {
    Disk disk;  // an empty data root
    QPointer<Form1> window = openWindow(disk);
    auto* box = control<QLineEdit>(window, "txtKodSek");
    auto* button = control<QPushButton>(window, "cmdRepair");

    box->setText("   ");
    button->setFocus();
    {
        BoxAnswerer answerer;
        QTest::mouseClick(button, Qt::LeftButton);
        ASSERT_EQ(answerer.seen.size(), 1u);
        const SeenBox& seen = answerer.seen[0];
        EXPECT_EQ(seen.text, kCodeMissing);
        EXPECT_EQ(seen.icon, QMessageBox::Warning);
        EXPECT_EQ(seen.title, ApplicationTitle);
    }
    settle();
    ASSERT_TRUE(window && window->isVisible());
    EXPECT_EQ(box->text(), "   ");
    EXPECT_EQ(window->focusWidget(), box);
    EXPECT_EQ(disk.servicesMade, 0);
    EXPECT_TRUE(windowLeft());

    box->setText(" abc 12 34 ");
    BoxAnswerer answerer;
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(window->run().schoolCode(), "ABC1234");
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].title, "RALAT TIADA FOLDER DATA");
    // Every other outcome closes the window, which ends the program.
    EXPECT_FALSE(windowLeft());
    settle();
    EXPECT_TRUE(window.isNull());
}

TEST_F(WindowRun, PointerBusyWhileWorkingNotOverTheMessageAndNoSecondRun) {
    Disk disk;
    disk.failure = platform::failures::PathNotFound;
    QPointer<Form1> window = openWindow(disk);
    control<QLineEdit>(window, "txtKodSek")->setText("ABC1234");
    auto* button = control<QPushButton>(window, "cmdRepair");
    // Presses that reach the window while its run shows a message start nothing.
    BoxAnswerer answerer([button, pressed = false](QMessageBox*) mutable {
        if (std::exchange(pressed, true)) return;
        button->click();
        QTest::keyClick(button, Qt::Key_Space);
    });
    QTest::mouseClick(button, Qt::LeftButton);

    EXPECT_EQ(disk.rootLookups, 1);
    EXPECT_EQ(disk.pointerDuringRun, Qt::WaitCursor);
    ASSERT_EQ(answerer.seen.size(), 1u);
    const SeenBox& seen = answerer.seen[0];
    EXPECT_FALSE(seen.pointerOverridden);
    EXPECT_TRUE(seen.text.startsWith("Compact and Repair TIDAK BERJAYA\r\n\r\nErr.Number = 76\r\n"))
        << seen.text.toStdString();
    EXPECT_EQ(seen.title, ApplicationTitle);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(window->isVisible());
}

// Counts the paints a widget gets while a condition holds.
class PaintCounter : public QObject {
  public:
    PaintCounter(QWidget* widget, const std::atomic<bool>& when) : when_(when) {
        widget->installEventFilter(this);
    }
    int count = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && when_) ++count;
        return false;
    }

  private:
    const std::atomic<bool>& when_;
};

// A run whose engine takes its time: meanwhile the window's event loop goes
// on (timers fire, the window repaints) but every key, click and close
// request is dropped, not kept for later; the run ends with its one message.
TEST_F(WindowRun, AliveWhileTheEngineWorksButTakesNoInput) {
    TempDrive drive;
    const QString folder = "DATA-TINJARA-SM$/DataSesi2024-SM-ABC1234";
    ASSERT_TRUE(drive.makeFolder(folder));
    sample::DatabaseOptions options;
    options.sizeBytes = 64 * 1024;
    sample::createDatabase(drive.host(folder + "/TinjaraSM2024.tnjra"), options);
    std::atomic<bool> engineWorking = false;
    std::atomic<int> compactions = 0;
    auto slowEngine = [&](const QString& operation, const QString&) {
        if (operation != "CompactDatabase") return;
        ++compactions;
        engineWorking = true;
        QThread::msleep(600);
        engineWorking = false;
    };
    QPointer<Form1> window =
        new Form1(sample::observeServices(productionServices(drive.drives()), slowEngine));
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    auto* box = control<QLineEdit>(window, "txtKodSek");
    auto* button = control<QPushButton>(window, "cmdRepair");
    box->setText("ABC1234");
    int presses = 0;
    QObject::connect(button, &QPushButton::clicked, [&presses] { ++presses; });
    const PaintCounter paints(window, engineWorking);

    struct WhileWorking {
        int ticks = 0;
        std::optional<Qt::CursorShape> pointer;
        bool controlsEnabled = false;
        bool visibleAfterClose = false;
    } seen;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (!engineWorking || ++seen.ticks > 1) return;
        if (const QCursor* cursor = QApplication::overrideCursor()) seen.pointer = cursor->shape();
        seen.controlsEnabled = box->isEnabled() && button->isEnabled();
        window->update();
        QTest::mouseClick(button, Qt::LeftButton);
        for (const Qt::Key key : {Qt::Key_X, Qt::Key_Y, Qt::Key_Return})
            QTest::keyClick(window->windowHandle(), key);
        QCloseEvent close;  // the title bar's close control
        QSpontaneKeyEvent::setSpontaneous(&close);
        QApplication::sendEvent(window->windowHandle(), &close);
        seen.visibleAfterClose = window->isVisible();
    });
    ticker.start(20);
    BoxAnswerer answerer;
    QTest::mouseClick(button, Qt::LeftButton);

    EXPECT_GE(seen.ticks, 3);
    EXPECT_GE(paints.count, 1);
    EXPECT_EQ(seen.pointer, Qt::WaitCursor);
    EXPECT_TRUE(seen.controlsEnabled);  // unchanged, not greyed out
    EXPECT_TRUE(seen.visibleAfterClose);
    EXPECT_EQ(box->text(), "ABC1234");
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(compactions, 1);
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_TRUE(answerer.seen[0].text.startsWith("Compact and Repair BERJAYA"));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(WindowRun, ClosingByTheTitleBarTouchesNothing) {
    Disk disk;
    QPointer<Form1> window = openWindow(disk);
    control<QLineEdit>(window, "txtKodSek")->setText("ABC1234");
    EXPECT_TRUE(window->close());
    settle();
    EXPECT_TRUE(window.isNull());
    EXPECT_FALSE(windowLeft());
    EXPECT_EQ(disk.servicesMade, 0);
}

TEST_F(WindowMessages, TitleKindsIconsOneOkButtonOwnedAndModal) {
    Disk disk;
    QPointer<Form1> window = openWindow(disk);
    BoxAnswerer answerer;
    const QString prompt = "<b>DataSesi2024</b>\r\n\r\nx";
    window->showMessage({prompt, MessageIcon::Critical, std::nullopt});
    window->showMessage({prompt, MessageIcon::Warning, QString()});
    window->showMessage({prompt, MessageIcon::Information, QString("RALAT")});
    ASSERT_EQ(answerer.seen.size(), 3u);
    const std::vector<std::pair<QString, QMessageBox::Icon>> expected = {
        {ApplicationTitle, QMessageBox::Critical},
        {QString(""), QMessageBox::Warning},
        {QString("RALAT"), QMessageBox::Information}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const SeenBox& seen = answerer.seen[i];
        EXPECT_EQ(seen.title, expected[i].first);
        EXPECT_EQ(seen.icon, expected[i].second);
        EXPECT_EQ(seen.text, prompt);
        // Folder names come from the disk: shown as they are, never as markup.
        EXPECT_EQ(seen.format, Qt::PlainText);
        EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_TRUE(seen.modal);
        EXPECT_EQ(seen.owner, window.data());
    }
}

// Runs the program's event loop on a window, lets `end` close it, and exits
// with the status the loop returned.
[[noreturn]] void runProgramUntil(const std::function<void(Form1*)>& end) {
    Disk disk;
    auto* window = new Form1(servicesOn(disk));
    window->show();
    QTimer::singleShot(0, window, [window, end] { end(window); });
    std::exit(QApplication::exec());
}

// Closing the window ends the program normally; a status the run asks for is
// the program's, even though closing the last window alone would give 0.
TEST_F(WindowEndProgram, ExitStatusReachesTheCallerOfExec) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runProgramUntil([](Form1* window) { window->closeWindow(); }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(runProgramUntil([](Form1* window) { window->endProgram(3); }),
                ::testing::ExitedWithCode(3), "");
}

// Shows a message with an empty title and one without a title, and exits 0
// when the window manager sees an empty name and the application title.
[[noreturn]] void showTitlesOnX11() {
    Disk disk;
    auto* window = new Form1(servicesOn(disk));
    window->show();
    QStringList names;
    BoxAnswerer answerer([&names](QMessageBox* box) {
        QProcess xprop;
        xprop.start("xprop", {"-id", QString::number(box->winId()), "_NET_WM_NAME", "WM_NAME"});
        xprop.waitForFinished();
        names << QString::fromUtf8(xprop.readAllStandardOutput()).simplified();
    });
    window->showMessage({"x", MessageIcon::Warning, QString()});
    window->showMessage({"x", MessageIcon::Warning, std::nullopt});
    const QStringList expected = {
        "_NET_WM_NAME(UTF8_STRING) = WM_NAME(STRING) =",
        QString("_NET_WM_NAME(UTF8_STRING) = \"%1\" WM_NAME(STRING) = \"%1\"")
            .arg(ApplicationTitle)};
    fprintf(stderr, "%s\n", qPrintable(names.join(" | ")));
    std::exit(names == expected ? 0 : 1);
}

// Qt's X11 backend names a window with an empty title after the program; the
// message box must reach the window manager with an empty name.
TEST_F(WindowMessagesOnX11, EmptyTitleReallyIsEmpty) {
    static const char kServerVar[] = "CAR_TEST_XVFB_DISPLAY";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QProcess server;
    const bool parent = qEnvironmentVariableIsEmpty(kServerVar);
    const QByteArray display = qgetenv("DISPLAY"), platformName = qgetenv("QT_QPA_PLATFORM");
    if (parent) {
        server.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"});
        ASSERT_TRUE(server.waitForStarted()) << "Xvfb is missing: run scripts/setup.sh";
        ASSERT_TRUE(server.waitForReadyRead(10000));
        const QByteArray serverDisplay = ':' + server.readLine().trimmed();
        qputenv(kServerVar, serverDisplay);
        qputenv("DISPLAY", serverDisplay);
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    EXPECT_EXIT(showTitlesOnX11(), ::testing::ExitedWithCode(0), "");
    if (parent) {
        qunsetenv(kServerVar);
        for (const auto& [name, value] :
             {std::pair{"DISPLAY", display}, std::pair{"QT_QPA_PLATFORM", platformName}}) {
            value.isEmpty() ? qunsetenv(name) : qputenv(name, value);
        }
        server.terminate();
        server.waitForFinished();
    }
}
