#pragma once

#include <QString>
#include <memory>

#include "platform/Automation.h"
#include "platform/Failure.h"
#include "platform/FileSystemService.h"
#include "platform/KeyedCollection.h"
#include "repair/Outcome.h"
#include "repair/RunServices.h"
#include "repair/RunWindow.h"

namespace repair {

// Removes every space (U+0020) from the trimmed code and upper-cases it. The
// position counter is 16 bits wide, as it always was: a trimmed code of
// 32,767 characters or more fails with Overflow.
QString NormaliseSchoolCode(const QString& typed);

// Trims U+0020 only from both ends; tabs and other white space stay.
QString trimSpaces(const QString& text);

// The repair run behind the button, with the state that lives as long as the
// window: one press runs to exactly one outcome.
class RepairRun {
  public:
    RepairRun(RunWindow& window, RunServices services);
    ~RepairRun();

    Outcome cmdRepair_Click();

    const QString& bestSessionKey() const { return bestSessionKey_; }
    const QString& sessionFolder() const { return sessionFolder_; }
    const QString& schoolCode() const { return schoolCode_; }

  private:
    Outcome run();
    bool DiscoverSession(Outcome& outcome);
    Outcome CompactAndSwap();
    Outcome RecoverFromFailure(const platform::Failure& failure);
    // Backs the database up while the engine writes its compacted copy, and
    // returns the engine once both are done.
    std::unique_ptr<platform::AutomationObject> backUpWhileCompacting(
        platform::FileSystemService& fs, const QString& database, const QString& backup,
        const QString& compacted);
    static bool engineReportedProblems(platform::AutomationObject& engine);
    // Writes the list of what was lost and renames the backup beside it, to
    // the first pair of free "rosak" names; returns the names given.
    struct KeptOriginal {
        QString name;
        QString reportName;
    };
    KeptOriginal keepDamagedOriginal(platform::FileSystemService& fs, const QString& backup,
                                     const QString& database, platform::AutomationObject& engine);
    Outcome finish(Outcome outcome, const platform::Message& message);
    platform::FileSystemService& fileSystem();

    RunWindow& window_;
    RunServices services_;

    QString bestSessionKey_;
    QString sessionFolder_;
    QString schoolCode_;
    std::unique_ptr<platform::FileSystemService> fileSystem_;
    std::unique_ptr<platform::KeyedCollection> sessionRegistry_;

    // Where a run stands, as far as the recovery must know it.
    enum class Phase {
        // No backup, or it is gone again: nothing to put back.
        NoBackup,
        // The backup is made; the database file is still the original.
        BackedUp,
        // The original database file is deleted or replaced.
        DatabaseReplaced,
        // The old database's log is removed too: the backup alone then lacks
        // its committed pages.
        OldLogRemoved,
    };

    std::unique_ptr<platform::FolderLock> sessionLock_;
    Phase phase_ = Phase::NoBackup;
    // The loss report this run wrote, which a failure takes away again.
    QString reportWritten_;
};

}  // namespace repair
