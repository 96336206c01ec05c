// One queue per user: the process that holds the lock file in the application-support folder is the
// only one that reads and writes Queue.plist there.
#pragma once

#include <QString>

// Main thread. The lock is held for the life of the object (the process's, for the program's one).
class ZRInstanceLock
{
public:
    // "Quorvel.lock" beside the queue archive.
    static QString defaultLockFilePath();

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
