#include "repair/RepairRun.h"

#include <exception>
#include <future>

#include "platform/DatabaseEngineClass.h"
#include "platform/Failures.h"
#include "repair/DataLayout.h"
#include "repair/LossReport.h"
#include "repair/RunMessages.h"
#include "repair/fn1.h"

namespace repair {

namespace failures = platform::failures;
using platform::Failure;
using platform::Variant;

namespace {

// The widest value of the 16-bit counters the run has always used.
constexpr int kCounterLimit = 32767;

const QString kCompactMethod = QStringLiteral("CompactDatabase");
const QString kErrorsProperty = QStringLiteral("Errors");
const QString kCountProperty = QStringLiteral("Count");
// Kept originals of one minute: enough for any operator, and an end.
constexpr int kKeptNameAttempts = 99;
const QString kConnectPassword = QStringLiteral(";pwd=Wq7#Lm.2%xR!9z");
constexpr std::int16_t kCurrentFileFormat = 128;

std::int16_t raiseCounter(std::int16_t counter) {
    if (counter >= kCounterLimit) throw failures::make(failures::Overflow);
    return static_cast<std::int16_t>(counter + 1);
}

}  // namespace

QString trimSpaces(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' ')) ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' ')) --last;
    return text.mid(first, last - first);
}

QString NormaliseSchoolCode(const QString& typed) {
    const QString trimmed = trimSpaces(typed);
    // The counter runs 1..length and steps once past the end, so a length of
    // 32,767 already overflows it.
    if (trimmed.size() >= kCounterLimit) throw failures::make(failures::Overflow);
    QString code;
    code.reserve(trimmed.size());
    for (const QChar c : trimmed) {
        if (c != QLatin1Char(' ')) code.append(c);
    }
    return code.toUpper();
}

RepairRun::RepairRun(RunWindow& window, RunServices services)
    : window_(window), services_(std::move(services)) {}

RepairRun::~RepairRun() = default;

Outcome RepairRun::cmdRepair_Click() {
    const Outcome outcome = run();
    sessionLock_.reset();
    phase_ = Phase::NoBackup;
    reportWritten_.clear();
    return outcome;
}

Outcome RepairRun::run() {
    try {
        if (trimSpaces(window_.schoolCodeText()).isEmpty()) {
            window_.showMessage(messages::codeMissing());
            window_.focusSchoolCode();
            return Outcome::CodeMissing;
        }
        schoolCode_.clear();
        schoolCode_ = NormaliseSchoolCode(window_.schoolCodeText());

        Outcome ended{};
        if (!DiscoverSession(ended)) return ended;
        return CompactAndSwap();
    } catch (const Failure& failure) {
        return RecoverFromFailure(failure);
    } catch (const std::exception& unexpected) {
        return RecoverFromFailure(
            failures::make(failures::InternalError, QString::fromUtf8(unexpected.what())));
    }
}

Outcome RepairRun::finish(Outcome outcome, const platform::Message& message) {
    window_.showMessage(message);
    const int status = exitStatusOf(outcome);
    if (status == exit_status::Success) {
        window_.closeWindow();
    } else {
        window_.endProgram(status);
    }
    return outcome;
}

platform::FileSystemService& RepairRun::fileSystem() {
    if (!fileSystem_) fileSystem_ = services_.makeFileSystem();
    return *fileSystem_;
}

bool RepairRun::DiscoverSession(Outcome& outcome) {
    std::int16_t sessionCount = 0;
    auto& fs = fileSystem();
    if (!sessionRegistry_) sessionRegistry_ = std::make_unique<platform::KeyedCollection>();
    auto& registry = *sessionRegistry_;

    const platform::Folder root = fs.GetFolder(layout::DataRoot);
    for (const platform::Folder& folder : fs.SubFolders(root)) {
        const QString name = folder.Name;
        if (!layout::IsSessionFolderName(name)) continue;
        sessionCount = raiseCounter(sessionCount);
        const QString key = layout::SessionKeyOf(name);
        if (fn1::HasKey(registry, key)) {
            outcome =
                finish(Outcome::DuplicateSessionFolder, messages::duplicateSessionFolder(name));
            return false;
        }
        registry.Add(key, key);
        const QString& added = registry.Item(static_cast<int>(sessionCount));
        // Ordinal by character code: not numeric, not case-folded.
        if (bestSessionKey_ < added) bestSessionKey_ = added;
    }
    if (registry.Count() < 1) {
        outcome = finish(Outcome::NoSessionFolder, messages::noSessionFolder());
        return false;
    }
    return true;
}

Outcome RepairRun::CompactAndSwap() {
    sessionFolder_ = layout::SessionFolderPath(bestSessionKey_, schoolCode_);
    auto& fs = fileSystem();
    const QString database = layout::DatabaseFile(sessionFolder_, bestSessionKey_);
    const QString compacted = layout::CompactedCopy(sessionFolder_, bestSessionKey_);
    const QString backup = layout::BackupCopy(sessionFolder_, bestSessionKey_);
    const QString lockFile = layout::LockFile(sessionFolder_, bestSessionKey_);

    if (fs.listFile(database).isEmpty()) {
        return finish(Outcome::DatabaseNotFound, messages::databaseNotFound(bestSessionKey_));
    }

    // A second copy of the program on the same session would delete this
    // run's backup and compacted copy; only one run may work on a session.
    sessionLock_ = fs.lockFolder(sessionFolder_);

    if (fs.FileExists(compacted)) fs.DeleteFile(compacted, true);
    std::unique_ptr<platform::AutomationObject> engine;
    window_.runLongStep([&] { engine = backUpWhileCompacting(fs, database, backup, compacted); });
    // The engine reports a repair (data it could not read) in its Errors.
    const bool repaired = engineReportedProblems(*engine);

    if (fs.FileExists(database)) fs.DeleteFile(database, true);
    phase_ = Phase::DatabaseReplaced;
    fs.rename(compacted, database);
    // The old database's log, its index and its journal belong to the file
    // just replaced; the copy already holds the log's committed pages and
    // the journal rolled back, and a journal left beside the copy would be
    // played onto it at the next open. Once one is gone the backup alone no
    // longer holds the old database, so the recovery keeps the new one.
    for (const QString& beside : {layout::RollbackJournalFile(database),
                                  layout::SharedMemoryFile(database), layout::LogFile(database)}) {
        if (fs.FileExists(beside)) {
            fs.DeleteFile(beside, true);
            phase_ = Phase::OldLogRemoved;
        }
    }
    KeptOriginal kept;
    if (repaired) {
        // The untouched original is the only copy of what could not be read.
        kept = keepDamagedOriginal(fs, backup, database, *engine);
    } else if (fs.FileExists(backup)) {
        fs.DeleteFile(backup, true);
    }
    phase_ = Phase::NoBackup;
    if (fs.FileExists(lockFile)) fs.DeleteFile(lockFile, true);
    engine.reset();

    if (repaired) {
        return finish(Outcome::RepairSucceeded,
                      messages::repairSucceededKeepingOriginal(kept.name, kept.reportName));
    }
    return finish(Outcome::RepairSucceeded, messages::repairSucceeded());
}

std::unique_ptr<platform::AutomationObject> RepairRun::backUpWhileCompacting(
    platform::FileSystemService& fs, const QString& database, const QString& backup,
    const QString& compacted) {
    // Nothing changes the database before the swap, which waits for both:
    // the backup need not keep the engine waiting.
    std::future<void> backedUp =
        std::async(std::launch::async, [&] { fs.CopyFile(database, backup, true); });
    std::unique_ptr<platform::AutomationObject> engine;
    std::exception_ptr engineFailure;
    try {
        engine =
            services_.classes->createObject(QString::fromLatin1(platform::kDatabaseEngineClass));
        engine->invoke(kCompactMethod,
                       {Variant::text(database), Variant::text(compacted), Variant::missing(),
                        Variant::int16(kCurrentFileFormat), Variant::text(kConnectPassword)});
    } catch (...) {
        engineFailure = std::current_exception();
    }
    try {
        backedUp.get();
    } catch (...) {
        // As though the backup had come first: its failure is the one told,
        // and the engine's copy goes with the lock it still holds.
        engine.reset();
        if (fs.FileExists(compacted)) fs.DeleteFile(compacted, true);
        throw;
    }
    phase_ = Phase::BackedUp;
    if (engineFailure) std::rethrow_exception(engineFailure);
    return engine;
}

bool RepairRun::engineReportedProblems(platform::AutomationObject& engine) {
    const Variant errors = engine.invoke(kErrorsProperty, {});
    if (!errors.holds<std::shared_ptr<platform::AutomationObject>>()) return false;
    const Variant count =
        errors.get<std::shared_ptr<platform::AutomationObject>>()->invoke(kCountProperty, {});
    if (count.holds<std::int32_t>()) return count.get<std::int32_t>() > 0;
    if (count.holds<std::int16_t>()) return count.get<std::int16_t>() > 0;
    return false;
}

RepairRun::KeptOriginal RepairRun::keepDamagedOriginal(platform::FileSystemService& fs,
                                                       const QString& backup,
                                                       const QString& database,
                                                       platform::AutomationObject& engine) {
    const QDateTime now = services_.now ? services_.now() : QDateTime::currentDateTime();
    for (int attempt = 1; attempt <= kKeptNameAttempts; ++attempt) {
        const QString kept = layout::DamagedOriginal(sessionFolder_, bestSessionKey_, now, attempt);
        const QString report = layout::LossReport(sessionFolder_, bestSessionKey_, now, attempt);
        if (fs.FileExists(kept) || fs.FileExists(report)) continue;
        // The list first: should keeping the original fail, the recovery
        // takes the list away with the rest of this run's files.
        const Variant errors = engine.invoke(kErrorsProperty, {});
        fs.writeNewFile(report,
                        lossReportText(database, now,
                                       *errors.get<std::shared_ptr<platform::AutomationObject>>()),
                        database);
        reportWritten_ = report;
        fs.rename(backup, kept);
        return {layout::DamagedOriginalName(bestSessionKey_, now, attempt),
                layout::LossReportName(bestSessionKey_, now, attempt)};
    }
    throw failures::make(failures::FileAlreadyExists,
                         layout::DamagedOriginal(sessionFolder_, bestSessionKey_, now));
}

Outcome RepairRun::RecoverFromFailure(const Failure& failure) {
    try {
        if (phase_ != Phase::NoBackup) {
            auto& fs = fileSystem();
            const QString database = layout::DatabaseFile(sessionFolder_, bestSessionKey_);
            const QString compacted = layout::CompactedCopy(sessionFolder_, bestSessionKey_);
            const QString backup = layout::BackupCopy(sessionFolder_, bestSessionKey_);
            if (!reportWritten_.isEmpty() && fs.FileExists(reportWritten_)) {
                fs.DeleteFile(reportWritten_, true);
            }
            if (fs.FileExists(backup)) {
                if (phase_ == Phase::OldLogRemoved) {
                    // The old log is gone: the new database holds the data the
                    // backup lacks. Keep both as they are.
                } else if (phase_ == Phase::BackedUp && fs.FileExists(database)) {
                    // The database file is still the original: drop the copies
                    // rather than replace it by its own backup, so a database
                    // that the product holds open is never deleted.
                    if (fs.FileExists(compacted)) fs.DeleteFile(compacted, true);
                    fs.DeleteFile(backup, true);
                } else {
                    if (fs.FileExists(database)) fs.DeleteFile(database, true);
                    if (fs.FileExists(compacted)) fs.DeleteFile(compacted, true);
                    fs.rename(backup, database);
                }
            }
        }
    } catch (const Failure& inner) {
        // Nothing catches a failure of the recovery itself: report it as the
        // platform reports an unhandled error and leave the files as they are.
        window_.showMessage(platform::runtimeErrorMessage(inner.number(), inner.description()));
        window_.endProgram(exitStatusOf(Outcome::RecoveryFailed));
        return Outcome::RecoveryFailed;
    }
    return finish(Outcome::RepairFailed,
                  messages::repairFailed(failure.number(), failure.description()));
}

}  // namespace repair
