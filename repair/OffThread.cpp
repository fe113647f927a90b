#include "repair/OffThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <exception>
#include <memory>

namespace repair {

void runOffThread(const std::function<void()>& step) {
    if (!QCoreApplication::instance()) {
        step();
        return;
    }
    std::exception_ptr raised;
    QEventLoop loop;
    const std::unique_ptr<QThread> worker(QThread::create([&step, &raised] {
        try {
            step();
        } catch (...) {
            raised = std::current_exception();
        }
    }));
    // Queued: the quit reaches the loop even when the step ends before
    // exec() is entered.
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    worker->start();
    loop.exec();
    // The loop also ends when the application is told to quit; the step is
    // still the run's, so it is waited for all the same.
    worker->wait();
    if (raised) std::rethrow_exception(raised);
}

}  // namespace repair
