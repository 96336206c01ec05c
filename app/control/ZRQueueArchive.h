// The queue archive file "Queue.plist" in the application-support folder: an XML property list whose
// root is an array of download archive dictionaries, in queue order.
#pragma once

#include <QString>
#include <QVariantList>

// Main thread.
class ZRQueueArchive
{
public:
    // The default file, in the application-support folder.
    ZRQueueArchive();
    explicit ZRQueueArchive(const QString &path);

    QString path() const { return _path; }

    // The elements of the file; empty when it is missing. A file that exists but cannot be read as an
    // array is kept aside (renamed to "Queue.plist.corrupt", or a numbered variant so an older copy
    // survives) and reads as empty. When it cannot even be renamed, writes are refused until
    // allowOverwritingDamagedFile() says the user has something new to keep.
    QVariantList read();

    // Whether the last read found a damaged file.
    bool foundDamagedFile() const { return _foundDamagedFile; }
    QString keptAsidePath() const { return _keptAsidePath; }
    void allowOverwritingDamagedFile() { _mustNotOverwrite = false; }

    // Written aside, flushed and renamed into place. False when refused or failed (logged).
    bool write(const QVariantList &elements);

    // Deletes the file (nothing happens while a damaged file must not be overwritten).
    void remove();

    // Keeps elements that could not be restored beside the file, as "Queue.plist.unrestored" (or a
    // numbered variant, so that an older copy survives), for a look or a repair. The path written, or
    // empty when the write failed (logged).
    QString keepUnrestoredElements(const QVariantList &elements);

private:
    QString _path;
    QString _keptAsidePath;
    bool _foundDamagedFile = false;
    bool _mustNotOverwrite = false;
};
