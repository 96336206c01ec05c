// Whole downloads against loopback servers: a master list that behaves like the controller's, and
// a fixture with its own download folder and user defaults that are taken back after each test.
// Header-only: only tests that link the download layer and the engine include it.
#pragma once

#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/foundation/ZRUserDefaults.h"
#include "tests/support/ZRTestDownloadManager.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

// The list, and what the downloads tell it.
class ZRLiveDownloadManager : public ZRTestDownloadManager {
public:
    ZRDownloadList sortedAndFilteredDownloads() const override { return downloads; }
    void removeDownload(ZRDownload *download) override
    {
        ++removals;
        downloads.removeIf([download](const ZRDownloadPtr &d) { return d.get() == download; });
    }
    void runModalAlert(const QString &title, const QString &message) override { alerts.append(title + u'\n' + message); }
    void updateDownloadListDisplay() override { ++listRedraws; }

    // Added as the intake adds it: waiting, with a scheduling pass requested.
    ZRDownloadPtr enqueue(const QString &url)
    {
        ZRDownloadPtr download = ZRDownload::downloadWithURLString(url, true);
        downloads.append(download);
        return download;
    }

    int removals = 0;
    int listRedraws = 0;
    QStringList alerts;
};

// Base is testing::Test or testing::TestWithParam<...>.
template <class Base>
class ZRDownloadTestFixture : public Base {
protected:
    void SetUp() override
    {
        ZRHTTPRequestDownloadWorker::resetClassStateForTesting();
        ZRDownload::resetAutoResumeDecisionForTesting();
        ASSERT_TRUE(downloadsFolder.isValid());
        set(QStringLiteral("Downloads Folder"), downloadsFolder.path());
        // Intermediate files in a bundle beside the final place.
        set(QStringLiteral("Intermediates Location"), 1);
    }

    void TearDown() override
    {
        for (const ZRDownloadPtr &download : manager.downloads)
            download->pause();
        manager.downloads.clear();
        for (const QString &key : keys)
            ZRUserDefaults::standardUserDefaults().removeObjectForKey(key);
        ZRHTTPRequestDownloadWorker::resetClassStateForTesting();
    }

    // A user default for this test only.
    void set(const QString &key, const QVariant &value)
    {
        ZRUserDefaults::standardUserDefaults().setObject(value, key);
        keys.append(key);
    }

    QString downloadsPath(const QString &name) const { return downloadsFolder.filePath(name); }
    QString bundlePath(const QString &name) const { return downloadsPath(name + QStringLiteral(".quorvel")); }

    static bool isFinished(const ZRDownloadPtr &download)
    {
        return download->matchesStatusMask(ZRDownloadStatusMaskFinished);
    }

    QTemporaryDir downloadsFolder{ZRTestSupport::sandboxRoot() + QStringLiteral("/downloads-XXXXXX")};
    ZRLiveDownloadManager manager;
    QStringList keys;
};
