#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

// Naming, for every interface of the program: names the program has always
// had keep their original spelling, whatever their kind: the window Form1,
// its controls (txtKodSek, lblKodSek, cmdRepair) and handlers
// (cmdRepair_Click, Form_Activate), the run's stages (NormaliseSchoolCode,
// DiscoverSession, CompactAndSwap, RecoverFromFailure), fn1 and HasKey, and the
// members of the platform objects it calls (the file-system object's
// GetFolder, SubFolders, Name, FileExists, DeleteFile and CopyFile, the
// collection's Add, Item and Count, the engine's CompactDatabase and Errors).
// Every other name: types in PascalCase, functions, members and variables in
// camelCase, constants as kPascalCase, namespaces in lower case.
namespace platform {

// A folder as the file-system service hands it out: its native path and its
// own name, letter case as stored.
struct Folder {
    QString path;
    QString Name;
};

// Holds an exclusive advisory lock until destroyed; the system drops it if the
// process dies.
class FolderLock {
  public:
    virtual ~FolderLock() = default;
};

// Every disk operation of the repair run. Paths are native ("C:\..."); names
// match without regard to letter case. Every operation raises
// platform::Failure instead of returning an error.
class FileSystemService {
  public:
    virtual ~FileSystemService() = default;

    // The folder at a path; fails with path-not-found when it does not exist.
    virtual Folder GetFolder(const QString& path) = 0;
    // Immediate sub-folders, in the file system's own order.
    virtual std::vector<Folder> SubFolders(const Folder& folder) = 0;
    // True when a file of that name exists, whatever its attributes.
    virtual bool FileExists(const QString& path) = 0;
    // Removes the file; with force, read-only files too.
    virtual void DeleteFile(const QString& path, bool force) = 0;
    // Makes the destination a byte copy of the source.
    virtual void CopyFile(const QString& source, const QString& destination,
                          bool overWriteFiles) = 0;
    // The directory-listing test: the file's name when an ordinary (not
    // hidden, not system, not folder) entry matches, else empty text.
    virtual QString listFile(const QString& path) = 0;
    // Renames a file within its folder.
    virtual void rename(const QString& oldPath, const QString& newPath) = 0;
    // Writes a new file (a name already taken fails with 58) holding `bytes`,
    // with the owner, group and permission bits of the file `likeFile`,
    // synced to disk; on failure no part of it is left.
    virtual void writeNewFile(const QString& path, const QByteArray& bytes,
                              const QString& likeFile) = 0;
    // Takes an exclusive lock on a folder without writing anything into it;
    // fails with permission-denied when another holder has it.
    virtual std::unique_ptr<FolderLock> lockFolder(const QString& path) = 0;
};

}  // namespace platform
