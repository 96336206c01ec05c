// One queue per user: the process that holds the lock of an application-support folder is the only
// one that reads and writes Queue.plist there.
#pragma once

#include <QString>

// Main thread. The lock is held for the life of the object (the process's, for the program's one).
class ZRInstanceLock
{
public:
    // The lock file of the application-support folder in use. It lives in the runtime folder
    // ($XDG_RUNTIME_DIR, else a private folder in the temporary one) so that the support folder holds
    // only what is worth keeping; its name comes from the support folder's path, so that each queue
    // has its own.
    static QString defaultLockFilePath();
    static QString lockFilePathForFolder(const QString &supportFolderPath);

    ZRInstanceLock() = default;
    ~ZRInstanceLock();
    ZRInstanceLock(const ZRInstanceLock &) = delete;
    ZRInstanceLock &operator=(const ZRInstanceLock &) = delete;

    enum class Result { Locked, HeldElsewhere, Failed };
    // Takes the lock without waiting. HeldElsewhere when another process (or another lock object)
    // holds it: then *holderProcessID is its process id when it could be read, else 0. Failed when
    // the file cannot be opened or locked, with the reason in *error.
    Result tryLock(const QString &path, qint64 *holderProcessID = nullptr, QString *error = nullptr);
    bool isLocked() const { return _fd >= 0; }
    void unlock();

private:
    int _fd = -1;
};
