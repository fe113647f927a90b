// Lays out sample session data for tests, the benchmark and the demo:
//   make_sample_data --root DIR [--wine-prefix PREFIX] --session KEY [--session KEY...]
//                    [--code CODE] [--size 64M] [--free 0.5] [--damage PAGES] [--seed N]
// With --wine-prefix the data root goes on the prefix's drive C: and --root
// is not needed.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>
#include <cstdio>
#include <exception>

#include "sample/DataRoot.h"
#include "sample/SampleDatabase.h"

namespace {

// "64M", "512K", "1G" or plain bytes; -1 if malformed.
qint64 parseSize(const QString& text) {
    qint64 scale = 1;
    QString digits = text.trimmed().toUpper();
    if (digits.endsWith('K')) scale = qint64(1) << 10;
    if (digits.endsWith('M')) scale = qint64(1) << 20;
    if (digits.endsWith('G')) scale = qint64(1) << 30;
    if (scale != 1) digits.chop(1);
    bool ok = false;
    const double value = digits.toDouble(&ok);
    return ok && value > 0 ? qint64(value * double(scale)) : -1;
}

int usage() {
    std::fputs(
        "usage: make_sample_data (--root DIR | --wine-prefix PREFIX) --session KEY "
        "[--session KEY...] [--code CODE] [--size 64M] [--free 0.5] [--damage PAGES] "
        "[--seed N]\n"
        "       make_sample_data --print-password\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    // For scripts that open the sample databases with another tool.
    if (arguments == QStringList{QStringLiteral("--print-password")}) {
        std::puts(sample::kPassword);
        return 0;
    }
    QString root;
    QString winePrefix;
    QStringList keys;
    sample::Session session;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString option = arguments[i];
        if (i + 1 >= arguments.size()) return usage();
        const QString value = arguments[++i];
        bool ok = true;
        if (option == "--root") {
            root = value;
        } else if (option == "--wine-prefix") {
            winePrefix = value;
        } else if (option == "--session") {
            keys << value;
        } else if (option == "--code") {
            session.schoolCode = value;
        } else if (option == "--size") {
            session.database.sizeBytes = parseSize(value);
            ok = session.database.sizeBytes > 0;
        } else if (option == "--free") {
            session.database.freeShare = value.toDouble(&ok);
            ok = ok && session.database.freeShare >= 0 && session.database.freeShare < 1;
        } else if (option == "--damage") {
            session.damagedPages = value.toInt(&ok);
        } else if (option == "--seed") {
            session.database.seed = value.toUInt(&ok);
        } else {
            return usage();
        }
        if (!ok) return usage();
    }
    if (keys.isEmpty() || root.isEmpty() == winePrefix.isEmpty()) return usage();

    try {
        if (!winePrefix.isEmpty()) root = sample::layOutWinePrefix(winePrefix);
        std::vector<sample::Session> sessions;
        for (const QString& key : keys) {
            session.key = key;
            sessions.push_back(session);
        }
        QElapsedTimer timer;
        timer.start();
        for (const QString& database : sample::layOutDataRoot(root, sessions)) {
            std::printf("%s\t%lld bytes\n", qPrintable(database),
                        static_cast<long long>(QFileInfo(database).size()));
        }
        std::printf("made in %.1f s\n", double(timer.elapsed()) / 1000.0);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "make_sample_data: %s\n", failure.what());
        return 1;
    }
    return 0;
}
