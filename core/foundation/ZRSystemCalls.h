// One thin seam for the file and system calls that tests must be able to make fail (full disk, EIO).
#pragma once

#include <QByteArray>
#include <QString>
#include <sys/types.h>

struct ZRSystemCalls {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void *buffer, size_t count);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
    int (*lsetxattr)(const char *path, const char *name, const void *value, size_t size, int flags);
    ssize_t (*lgetxattr)(const char *path, const char *name, void *value, size_t size);
};

// The calls in use; tests may replace members and must restore them (ZRSystemCallsOverride does).
ZRSystemCalls &ZRSystem();

class ZRSystemCallsOverride {
public:
    ZRSystemCallsOverride() : _saved(ZRSystem()) {}
    ~ZRSystemCallsOverride() { ZRSystem() = _saved; }
    ZRSystemCallsOverride(const ZRSystemCallsOverride &) = delete;
    ZRSystemCallsOverride &operator=(const ZRSystemCallsOverride &) = delete;

private:
    ZRSystemCalls _saved;
};

// Writes the whole buffer through ZRSystem().write, going on after short writes and interruptions;
// false with errno set when a write fails (a write of nothing counts as EIO).
bool ZRWriteAll(int fd, const char *bytes, size_t count);

// Who may read a file that ZRWriteFileAtomically writes. Private files (the queue and a bundle's
// metadata hold cookies, POST bodies and header fields) are 0600, and their folder is narrowed to
// 0700 when it is wider.
enum class ZRFileAccess { Shared, Private };

// Writes the whole file beside its target, flushes it to disk (unless told not to: a copy of data
// kept elsewhere), renames it into place and flushes the folder, so that after a power cut the target
// is either the old file or the complete new one. Fails without touching the target.
bool ZRWriteFileAtomically(const QString &path, const QByteArray &data, QString *error = nullptr,
                           bool flush = true, ZRFileAccess access = ZRFileAccess::Shared);
