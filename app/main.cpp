#include <QApplication>
#include <QIcon>
#include <cstdio>

#include "app/AppIdentity.h"
#include "app/DisplayCheck.h"
#include "app/Form1.h"
#include "app/ProductionServices.h"
#include "repair/Outcome.h"

// The window is the program: it is shown and activated at start (so typing goes
// straight into the school-code box, even where no window manager activates
// new windows), and the program ends when it closes, with the run's exit
// status.
int main(int argc, char** argv) {
    if (const QString problem = displayProblem(argc, argv); !problem.isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(ApplicationTitle), qPrintable(problem));
        return repair::exit_status::NoDisplay;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(ApplicationTitle);
    QApplication::setApplicationVersion(ApplicationVersion);
    QGuiApplication::setDesktopFileName(DesktopFileName);
    QIcon icon;
    for (const char* size : {"16", "32", "48"})
        icon.addFile(QStringLiteral(":/icons/program-%1.png").arg(QLatin1String(size)));
    QApplication::setWindowIcon(icon);
    QApplication::setQuitOnLastWindowClosed(true);
    auto* window = new Form1(productionServices());
    window->show();
    window->activateWindow();
    return QApplication::exec();
}
