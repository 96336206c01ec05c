// A user interface for tests: records what the controller shows and answers alerts from a script.
#pragma once

#include "app/control/ZRUserInterface.h"

#include <QList>
#include <functional>

class ZRScriptedUserInterface : public ZRUserInterface
{
public:
    // Answers for the next alerts, in order; when none is left, the first (default) button.
    QList<int> alertAnswers;
    // Runs while an alert is on screen, before it is answered.
    std::function<void(const ZRAlert &)> whileAlertShows;

    QList<ZRAlert> alerts;
    QList<ZRDownloadList> shownLists;
    QList<ZRDownload *> redrawnDownloads;
    QList<ZRUserNotification> notifications;
    ZRDownloadList selection;
    QString pasteboard;
    QList<QUrl> pasteboardURLs;
    ZRActivationPolicy policy = ZRActivationPolicy::Regular;
    bool canSetPolicy = true;
    bool windowVisible = false;
    bool statusItemVisible = false;
    int beeps = 0;
    int activations = 0;
    int windowShows = 0;
    int collapses = 0;
    int terminations = 0;

    int runModalAlert(const ZRAlert &alert) override
    {
        alerts.append(alert);
        if (whileAlertShows)
            whileAlertShows(alert);
        return alertAnswers.isEmpty() ? ZRAlertFirstButton : alertAnswers.takeFirst();
    }
    std::optional<QStringList> runOpenPanel(const ZROpenPanelOptions &) override { return std::nullopt; }
    std::optional<QString> runSavePanel(const ZRSavePanelOptions &) override { return std::nullopt; }
    std::optional<QString> runFolderPanel(const ZRFolderPanelOptions &) override { return std::nullopt; }
    QString pasteboardString() const override { return pasteboard; }
    void setPasteboardContents(const QString &text, const QList<QUrl> &urls) override
    {
        pasteboard = text;
        pasteboardURLs = urls;
    }
    void beep() override { ++beeps; }
    void showDownloads(const ZRDownloadList &rows) override { shownLists.append(rows); }
    void redrawDownload(ZRDownload *download) override { redrawnDownloads.append(download); }
    void showStatusText(const QString &) override {}
    ZRDownloadList selectedDownloads() const override { return selection; }
    void selectDownloads(const ZRDownloadList &downloads) override { selection = downloads; }
    void postNotification(const ZRUserNotification &notification) override
    {
        notifications.append(notification);
    }
    void setLauncherBadge(qint64, double, bool) override {}
    ZRActivationPolicy activationPolicy() const override { return policy; }
    bool setActivationPolicy(ZRActivationPolicy wanted) override
    {
        if (canSetPolicy)
            policy = wanted;
        return canSetPolicy;
    }
    void setStatusItemVisible(bool visible) override { statusItemVisible = visible; }
    void activate() override { ++activations; }
    bool isDownloadWindowVisible() const override { return windowVisible; }
    void showDownloadWindow() override
    {
        windowVisible = true;
        ++windowShows;
    }
    void collapseDownloadWindowAndRestoreFrame() override { ++collapses; }
    void terminate() override { ++terminations; }
};
