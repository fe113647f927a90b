#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <random>

#include "sample/SampleDatabase.h"
#include "tests/QStringPrinter.h"
#include "tests/XvfbSession.h"

// The built program on its own X server, driven like an operator drives it:
// type the school code, press the button, read the message box's title,
// dismiss it, and look at what the program left on drive C:.
namespace {

// Generous: under AddressSanitizer the program starts and repairs slowly.
constexpr int kWaitMs = 60000;

const QString kApplicationTitle = QStringLiteral("CompactAndRepair_TinjaraSM20xxTnjra");
const QString kKey = QStringLiteral("2024");
const QString kSchoolCode = QStringLiteral("ABC1234");
const QString kDatabaseName = QStringLiteral("TinjaraSM2024.tnjra");

// The button's centre in the window's client area.
constexpr int kButtonX = 290;
constexpr int kButtonY = 371;

// A window's name properties as xprop reports them; nullopt where unset.
struct WindowName {
    std::optional<QString> netWmName;
    std::optional<QString> wmName;
    QString raw;
};

// Every file and folder under a directory with a digest of each file's bytes.
QMap<QString, QByteArray> snapshot(const QString& directory) {
    QMap<QString, QByteArray> entries;
    QDirIterator it(directory, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(directory).relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            entries.insert(relative, "folder");
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            entries.insert(relative, "unreadable");
            continue;
        }
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&file);
        entries.insert(relative, hash.result().toHex());
    }
    return entries;
}

QStringList fileNames(const QString& directory) {
    return QDir(directory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                     QDir::Name);
}

// Pings a window as a window manager does (_NET_WM_PING) and waits for the
// answer on the root window: how long it took, or nullopt if none came within
// the limit or the window does not take part in the protocol.
class WindowPinger {
  public:
    explicit WindowPinger(const QString& display) {
        int screenNumber = 0;
        connection_ = xcb_connect(display.toLocal8Bit().constData(), &screenNumber);
        if (xcb_connection_has_error(connection_)) return;
        xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screen);
        root_ = screen.data->root;
        protocols_ = atom("WM_PROTOCOLS");
        ping_ = atom("_NET_WM_PING");
        // The answer goes to the root window, to the clients that watch its
        // structure (Qt) or its substructure (the protocol's word).
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection_);
    }
    ~WindowPinger() { xcb_disconnect(connection_); }

    bool offersPing(xcb_window_t window) {
        const auto cookie =
            xcb_get_property(connection_, 0, window, protocols_, XCB_ATOM_ATOM, 0, 32);
        xcb_get_property_reply_t* reply = xcb_get_property_reply(connection_, cookie, nullptr);
        bool found = false;
        if (reply) {
            const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
            const int count = xcb_get_property_value_length(reply) / 4;
            found = std::find(atoms, atoms + count, ping_) != atoms + count;
        }
        std::free(reply);
        return found;
    }

    std::optional<qint64> ping(xcb_window_t window, int limitMs) {
        const uint32_t stamp = ++stamp_;
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = protocols_;
        message.data.data32[0] = ping_;
        message.data.data32[1] = stamp;
        message.data.data32[2] = window;
        xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(connection_);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < limitMs) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
                const bool answer = isAnswer(event, stamp);
                std::free(event);
                if (answer) return timer.elapsed();
            }
            pollfd p{xcb_get_file_descriptor(connection_), POLLIN, 0};
            ::poll(&p, 1, 20);
        }
        return std::nullopt;
    }

  private:
    xcb_atom_t atom(const char* name) {
        const auto cookie = xcb_intern_atom(connection_, 0, uint16_t(std::strlen(name)), name);
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection_, cookie, nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return value;
    }

    bool isAnswer(const xcb_generic_event_t* event, uint32_t stamp) const {
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
        const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
        return message->window == root_ && message->type == protocols_ &&
               message->data.data32[0] == ping_ && message->data.data32[1] == stamp;
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    xcb_atom_t protocols_ = XCB_ATOM_NONE;
    xcb_atom_t ping_ = XCB_ATOM_NONE;
    uint32_t stamp_ = 1000;
};

}  // namespace

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (XvfbSession::executable().isEmpty()) GTEST_SKIP() << "Xvfb is not installed";
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
            GTEST_SKIP() << "xdotool is not installed";
        }
        ASSERT_TRUE(temp_.isValid());
        prefix_ = temp_.filePath(QStringLiteral("prefix"));
        dataRoot_ = prefix_ + QStringLiteral("/drive_c/DATA-TINJARA-SM$");
        sessionFolder_ =
            dataRoot_ + QStringLiteral("/DataSesi") + kKey + QStringLiteral("-SM-") + kSchoolCode;
        database_ = sessionFolder_ + QLatin1Char('/') + kDatabaseName;
        ASSERT_NO_FATAL_FAILURE(makeSampleData());
        ASSERT_TRUE(xvfb_.start(kWaitMs)) << xvfb_.error().toStdString();
    }

    void TearDown() override {
        if (app_.state() != QProcess::NotRunning) {
            app_.kill();
            app_.waitForFinished(kWaitMs);
        }
        if (HasFailure()) {
            QFile log(temp_.filePath(QStringLiteral("app.log")));
            if (log.open(QIODevice::ReadOnly)) {
                std::cerr << "--- program output ---\n" << log.readAll().constData() << '\n';
            }
        }
    }

    void makeSampleData() {
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(QStringLiteral(TOOLS_DIR "/make_sample_data"),
                   {"--wine-prefix", prefix_, "--session", kKey, "--code", kSchoolCode, "--size",
                    sampleSize_, "--free", sampleFree_, "--seed", "7"});
        ASSERT_TRUE(tool.waitForFinished(kWaitMs));
        ASSERT_EQ(tool.exitStatus(), QProcess::NormalExit);
        ASSERT_EQ(tool.exitCode(), 0) << tool.readAll().constData();
        ASSERT_TRUE(QFile::exists(database_));
    }

    // Starts the program on the test's X server and waits for its window.
    void startProgram() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The suite itself runs offscreen; the program must really open a window.
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), xvfb_.display());
        env.insert(QStringLiteral("WINEPREFIX"), prefix_);
        const QString runtime = temp_.filePath(QStringLiteral("runtime"));
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        app_.setProcessEnvironment(env);
        // A file, not a pipe: nobody reads a pipe while the test waits.
        app_.setStandardOutputFile(temp_.filePath(QStringLiteral("app.log")));
        app_.setStandardErrorFile(temp_.filePath(QStringLiteral("app.log")), QIODevice::Append);
        app_.start(QStringLiteral(APP_EXECUTABLE), {});
        ASSERT_TRUE(app_.waitForStarted(kWaitMs)) << app_.errorString().toStdString();

        ASSERT_TRUE(waitUntil("the window Form1", [&] {
            const QStringList found =
                xtool("xdotool", {"search", "--onlyvisible", "--name", "^Form1$"});
            if (found.isEmpty()) return false;
            window_ = found.first();
            return true;
        }));
    }

    // Runs an X client on the test's display; its output lines, empty if it
    // failed or hung.
    QStringList xtool(const char* program, const QStringList& arguments) {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), xvfb_.display());
        tool.setProcessEnvironment(env);
        tool.start(QString::fromLatin1(program), arguments);
        if (!tool.waitForFinished(kWaitMs)) {
            tool.kill();
            tool.waitForFinished();
            ADD_FAILURE() << program << ' ' << arguments.join(' ').toStdString() << " hung";
            return {};
        }
        if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) return {};
        return QString::fromUtf8(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }

    // Polls until the condition holds; fails early if the program ended.
    bool waitUntil(const char* what, const std::function<bool()>& condition) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kWaitMs) {
            if (condition()) return true;
            if (programEnded(0)) {
                ADD_FAILURE() << "the program ended (status " << app_.exitCode()
                              << ") while waiting for " << what;
                return false;
            }
            QThread::msleep(100);
        }
        ADD_FAILURE() << "timed out waiting for " << what;
        return false;
    }

    bool programEnded(int waitMs) {
        if (app_.state() == QProcess::NotRunning) return true;
        return app_.waitForFinished(waitMs);
    }

    // Keyboard input goes to the focused X window; with no window manager
    // the test gives the focus itself.
    void focus(const QString& window) { xtool("xdotool", {"windowfocus", "--sync", window}); }

    void typeCode(const QString& code) {
        focus(window_);
        xtool("xdotool", {"type", "--delay", "20", code});
    }

    void clickRepairButton() {
        xtool("xdotool", {"mousemove", "--window", window_, QString::number(kButtonX),
                          QString::number(kButtonY), "click", "1"});
    }

    void pressEnter(const QString& window) {
        focus(window);
        xtool("xdotool", {"key", "Return"});
    }

    // The program's next top-level window besides Form1: its message box.
    QString waitForMessageBox() {
        QString box;
        waitUntil("a message box", [&] {
            const QStringList windows =
                xtool("xdotool", {"search", "--onlyvisible", "--maxdepth", "1", "--pid",
                                  QString::number(app_.processId())});
            for (const QString& window : windows) {
                if (window != window_) box = window;
            }
            return !box.isEmpty();
        });
        return box;
    }

    WindowName windowName(const QString& window) {
        WindowName name;
        const QStringList lines = xtool("xprop", {"-id", window, "_NET_WM_NAME", "WM_NAME"});
        name.raw = lines.join('\n');
        for (const QString& line : lines) {
            const qsizetype equals = line.indexOf(QStringLiteral(" = "));
            if (equals < 0) continue;  // "WM_NAME:  not found."
            QString value = line.mid(equals + 3);
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) {
                value = value.mid(1, value.size() - 2);
            }
            if (line.startsWith(QStringLiteral("_NET_WM_NAME("))) name.netWmName = value;
            if (line.startsWith(QStringLiteral("WM_NAME("))) name.wmName = value;
        }
        return name;
    }

    ::testing::AssertionResult hasTitle(const QString& window, const QString& expected) {
        const WindowName name = windowName(window);
        if (name.raw.isEmpty()) return ::testing::AssertionFailure() << "xprop found no window";
        if (expected.isEmpty()) {
            // Where either name holds text, a window manager would show it.
            if (name.netWmName.value_or(QString()).isEmpty() &&
                name.wmName.value_or(QString()).isEmpty()) {
                return ::testing::AssertionSuccess();
            }
        } else if (name.netWmName == expected && name.wmName == expected) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "expected title \"" << expected.toStdString() << "\", xprop says:\n"
               << name.raw.toStdString();
    }

    // Dismisses the message box with its OK button's key and waits until it
    // is gone (or the program has ended).
    void dismiss(const QString& box) {
        pressEnter(box);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kWaitMs && !programEnded(0)) {
            const QStringList windows =
                xtool("xdotool", {"search", "--onlyvisible", "--maxdepth", "1", "--pid",
                                  QString::number(app_.processId())});
            if (!windows.contains(box)) return;
            QThread::msleep(100);
        }
    }

    // After the message the program ends by itself, with the outcome's
    // status: 0 for a repair, a number of its own for each other outcome.
    void expectProgramEndsWith(int status) {
        ASSERT_TRUE(programEnded(kWaitMs)) << "the program is still running";
        EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app_.exitCode(), status);
    }

    // Runs the program to one message box: types the code (if any), presses
    // the button by a click or by Enter, and checks the box's title.
    QString runToMessage(const QString& code, bool click, const QString& expectedTitle) {
        startProgram();
        if (HasFatalFailure()) return {};
        if (!code.isEmpty()) typeCode(code);
        if (click) {
            clickRepairButton();
        } else {
            pressEnter(window_);
        }
        const QString box = waitForMessageBox();
        if (box.isEmpty()) return {};
        // The title is read with the box in front, as the operator sees it.
        focus(box);
        EXPECT_TRUE(hasTitle(box, expectedTitle));
        return box;
    }

    QString sampleSize_ = QStringLiteral("1M");
    QString sampleFree_ = QStringLiteral("0.5");
    XvfbSession xvfb_;
    QTemporaryDir temp_;
    QProcess app_;
    QString window_;
    QString prefix_;
    QString dataRoot_;
    QString sessionFolder_;
    QString database_;
};

// A school code that finds its session: the program compacts the database
// in place, says so with an untitled box, and ends once it is dismissed.
class EndToEndRepair : public EndToEnd {};

TEST_F(EndToEndRepair, ClickWithTheSchoolCodeCompactsTheDatabaseAndEnds) {
    const qint64 sizeBefore = QFileInfo(database_).size();
    const QByteArray digestBefore = sample::contentDigest(database_);

    ASSERT_NO_FATAL_FAILURE(startProgram());
    EXPECT_TRUE(hasTitle(window_, QStringLiteral("Form1")));
    // Lower case and all: the program normalises what the operator types.
    typeCode(QStringLiteral("abc1234"));
    clickRepairButton();
    const QString box = waitForMessageBox();
    ASSERT_FALSE(box.isEmpty());
    focus(box);
    EXPECT_TRUE(hasTitle(box, QString()));
    // The box waits for the operator: the program must not end under it.
    EXPECT_FALSE(programEnded(500));
    dismiss(box);
    ASSERT_NO_FATAL_FAILURE(expectProgramEndsWith(0));

    EXPECT_EQ(fileNames(sessionFolder_), QStringList{kDatabaseName});
    EXPECT_LT(QFileInfo(database_).size(), sizeBefore);
    EXPECT_EQ(sample::integrityCheck(database_), "ok");
    EXPECT_EQ(sample::contentDigest(database_), digestBefore);
}

// Input or data that stops the run before it touches anything: every file on
// drive C: stays as it was.
class EndToEndRefusal : public EndToEnd {};

TEST_F(EndToEndRefusal, EmptyCodeAsksForItAndTheWindowStaysForAnotherTry) {
    const auto before = snapshot(prefix_);
    const QString box = runToMessage(QString(), true, kApplicationTitle);
    ASSERT_FALSE(box.isEmpty());
    dismiss(box);
    EXPECT_FALSE(programEnded(1000)) << "the program ended after asking for the code";
    EXPECT_FALSE(xtool("xdotool", {"search", "--onlyvisible", "--name", "^Form1$"}).isEmpty());

    // Spaces alone are no code either; the second press runs anew.
    typeCode(QStringLiteral("   "));
    pressEnter(window_);
    const QString again = waitForMessageBox();
    ASSERT_FALSE(again.isEmpty());
    EXPECT_TRUE(hasTitle(again, kApplicationTitle));
    dismiss(again);
    EXPECT_FALSE(programEnded(1000));

    // The operator gives up: nothing the program did may remain.
    app_.terminate();
    ASSERT_TRUE(app_.waitForFinished(kWaitMs));
    EXPECT_EQ(snapshot(prefix_), before);
}

TEST_F(EndToEndRefusal, WrongSchoolCodeFindsNoDatabase) {
    const auto before = snapshot(prefix_);
    const QString box = runToMessage(QStringLiteral("XYZ999"), false, QString());
    ASSERT_FALSE(box.isEmpty());
    dismiss(box);
    ASSERT_NO_FATAL_FAILURE(expectProgramEndsWith(4));
    EXPECT_EQ(snapshot(prefix_), before);
}

TEST_F(EndToEndRefusal, RepeatedSessionKeyEndsWithItsOwnStatus) {
    ASSERT_TRUE(QDir(dataRoot_).mkdir(QStringLiteral("DataSesi2024-SM-LAMA")));
    const auto before = snapshot(prefix_);
    const QString box =
        runToMessage(kSchoolCode, false, QStringLiteral("RALAT FOLDER DATA BERULANG"));
    ASSERT_FALSE(box.isEmpty());
    dismiss(box);
    ASSERT_NO_FATAL_FAILURE(expectProgramEndsWith(2));
    EXPECT_EQ(snapshot(prefix_), before);
}

TEST_F(EndToEndRefusal, DataRootWithoutSessionFolderSaysSo) {
    ASSERT_TRUE(QDir(sessionFolder_).removeRecursively());
    // A folder of another name is not a session.
    ASSERT_TRUE(QDir(dataRoot_).mkdir(QStringLiteral("Arkib")));
    const auto before = snapshot(prefix_);
    const QString box = runToMessage(kSchoolCode, false, QStringLiteral("RALAT TIADA FOLDER DATA"));
    ASSERT_FALSE(box.isEmpty());
    dismiss(box);
    ASSERT_NO_FATAL_FAILURE(expectProgramEndsWith(3));
    EXPECT_EQ(snapshot(prefix_), before);
}

// The database engine refuses the database: the program reports the failure
// under its own title and leaves the database exactly as it found it, with
// no backup or copy beside it.
class EndToEndEngineFailure : public EndToEnd {
  protected:
    void expectRepairFailedAndDatabaseKept() {
        const QByteArray bytesBefore = readAll(database_);
        const QString box = runToMessage(kSchoolCode, false, kApplicationTitle);
        ASSERT_FALSE(box.isEmpty());
        // The folder is final before the operator reads the message.
        EXPECT_EQ(fileNames(sessionFolder_), QStringList{kDatabaseName});
        dismiss(box);
        ASSERT_NO_FATAL_FAILURE(expectProgramEndsWith(5));
        EXPECT_EQ(fileNames(sessionFolder_), QStringList{kDatabaseName});
        EXPECT_TRUE(readAll(database_) == bytesBefore) << "the database changed";
    }

    static QByteArray readAll(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

TEST_F(EndToEndEngineFailure, DatabaseOpenInTheProductIsLeftAlone) {
    // The product holds a shared lock on the database while it runs.
    const int fd = ::open(QFile::encodeName(database_).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_SH), 0);
    expectRepairFailedAndDatabaseKept();
    ::close(fd);
}

TEST_F(EndToEndEngineFailure, FileThatIsNoDatabaseIsLeftAlone) {
    // Random bytes of the same size: not even the header survives to salvage.
    QFile file(database_);
    const qint64 size = file.size();
    QByteArray noise(size, '\0');
    std::mt19937 random(11);
    for (char& byte : noise) byte = static_cast<char>(random());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(noise), size);
    file.close();
    expectRepairFailedAndDatabaseKept();
}

// A run long enough to matter (48 MiB, every page in use): the window answers
// the window manager's ping within a second while the engine works, so no
// desktop offers to force the program to quit in the middle of it.
class EndToEndAlive : public EndToEnd {
  protected:
    void SetUp() override {
        sampleSize_ = QStringLiteral("48M");
        sampleFree_ = QStringLiteral("0");
        EndToEnd::SetUp();
    }
};

TEST_F(EndToEndAlive, AnswersPingsWhileTheEngineWorks) {
    ASSERT_NO_FATAL_FAILURE(startProgram());
    WindowPinger pinger(xvfb_.display());
    const auto window = static_cast<xcb_window_t>(window_.toULong());
    ASSERT_TRUE(pinger.offersPing(window));
    ASSERT_TRUE(pinger.ping(window, 1000).has_value()) << "no answer while idle";

    typeCode(kSchoolCode);
    clickRepairButton();
    // The engine's lock file is there exactly while it holds the database.
    const QString lockFile = sessionFolder_ + QStringLiteral("/TinjaraSM2024.ldb");
    ASSERT_TRUE(waitUntil("the engine at work", [&] { return QFile::exists(lockFile); }));
    int answered = 0;
    while (QFile::exists(lockFile)) {
        const std::optional<qint64> answer = pinger.ping(window, 1000);
        ASSERT_TRUE(answer.has_value()) << "no answer within a second while the run worked";
        ++answered;
        QThread::msleep(100);
    }
    EXPECT_GE(answered, 2) << "the engine was done too soon to tell";

    const QString box = waitForMessageBox();
    ASSERT_FALSE(box.isEmpty());
    dismiss(box);
    ASSERT_NO_FATAL_FAILURE(expectProgramEndsWith(0));
    EXPECT_EQ(fileNames(sessionFolder_), QStringList{kDatabaseName});
}

// Without a display the program says so in one line and ends with status 6,
// rather than the toolkit aborting with advice to reinstall it.
TEST(EndToEndNoDisplay, SaysSoInOneLineAndEndsWithSix) {
    for (const QString& display : {QString(), QStringLiteral(":4711")}) {
        SCOPED_TRACE(display.toStdString());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"}) {
            env.remove(QString::fromLatin1(name));
        }
        if (!display.isEmpty()) env.insert(QStringLiteral("DISPLAY"), display);
        QProcess app;
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(APP_EXECUTABLE), {});
        ASSERT_TRUE(app.waitForFinished(kWaitMs));
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 6);
        const QString error = QString::fromLocal8Bit(app.readAllStandardError());
        EXPECT_EQ(error.count('\n'), 1) << error.toStdString();
        EXPECT_TRUE(error.contains(QStringLiteral("no display"))) << error.toStdString();
        EXPECT_TRUE(error.contains(QStringLiteral("set DISPLAY or WAYLAND_DISPLAY")));
        // Where a display was named, the line says which one failed.
        if (!display.isEmpty()) {
            EXPECT_TRUE(error.contains(display));
        }
        EXPECT_TRUE(app.readAllStandardOutput().isEmpty());
    }
}
