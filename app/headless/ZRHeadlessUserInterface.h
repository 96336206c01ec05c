// The terminal front end: the download list as one line per download, alerts and notifications as
// text. On a terminal it prompts for answers; without one, alerts take their default button.
#pragma once

#include "app/control/ZRUserInterface.h"

#include <QHash>
#include <QTimer>

#include <cstdio>
#include <functional>

// Main thread.
class ZRHeadlessUserInterface : public ZRUserInterface
{
public:
    // Prompts only when interactive (input and output on a terminal). With live rows (output on a
    // terminal) the downloads that are transferring keep one line each at the bottom, redrawn in
    // place; everything else is printed above them. The streams are not owned.
    ZRHeadlessUserInterface(std::FILE *input, std::FILE *output, bool interactive, bool liveRows = false);
    // stdin and stdout, interactive when both are terminals, live rows when stdout is one that can
    // move its cursor.
    ZRHeadlessUserInterface();
    ~ZRHeadlessUserInterface() override;

    bool isInteractive() const { return _interactive; }
    bool showsLiveRows() const { return _liveRows; }
    // Takes the live rows off the screen (before a final summary, or when quitting).
    void clearLiveRows();

    int runModalAlert(const ZRAlert &alert) override;
    std::optional<QStringList> runOpenPanel(const ZROpenPanelOptions &options) override;
    std::optional<QString> runSavePanel(const ZRSavePanelOptions &options) override;
    std::optional<QString> runFolderPanel(const ZRFolderPanelOptions &options) override;
    // On a terminal: the explanation, then user name, password (not echoed) and the keyring choice.
    std::optional<ZRAuthenticationAnswer> runAuthenticationPanel(const ZRAuthenticationQuestion &question) override;
    QString pasteboardString() const override { return _pasteboard; }
    void setPasteboardContents(const QString &text, const QList<QUrl> &urls) override;
    void beep() override;
    void showDownloads(const ZRDownloadList &rows) override;
    void redrawDownload(ZRDownload *download) override;
    void showStatusText(const QString &text) override;
    ZRDownloadList selectedDownloads() const override { return {}; }
    void selectDownloads(const ZRDownloadList &downloads) override { (void)downloads; }
    void postNotification(const ZRUserNotification &notification) override;
    void setLauncherBadge(qint64 count, double progress, bool urgent) override;
    ZRActivationPolicy activationPolicy() const override { return _activationPolicy; }
    bool setActivationPolicy(ZRActivationPolicy policy) override;
    void setStatusItemVisible(bool visible) override { (void)visible; }
    void activate() override {}
    bool isDownloadWindowVisible() const override { return false; }
    void showDownloadWindow() override {}
    void collapseDownloadWindowAndRestoreFrame() override {}
    void terminate() override;

    // The line shown for one download: its display name and status text, control characters escaped.
    static QString lineForDownload(ZRDownload &download);

    // Called (on the main thread, from inside the controller's update) whenever a row or the status
    // text changes; a terminal run uses it to see at once that its downloads are done.
    void setChangeHandler(std::function<void()> handler) { _changeHandler = std::move(handler); }

private:
    void print(const QString &text);
    // One line typed by the user; none at end of input.
    // A secret one is read without echo and kept as typed.
    std::optional<QString> readLine(const QString &prompt, bool secret = false);
    void printChangedRows();
    // The live rows: drawn below everything else; erased before anything else is printed.
    void drawLiveRows();
    void eraseLiveRows();
    void drawLiveRowsSoon();
    // On a terminal at once; into a pipe or a file, with the other lines of this turn of the loop.
    void flushSoon();

    std::FILE *_input;
    std::FILE *_output;
    bool _interactive;
    bool _liveRows;
    // Lines of live rows now on the screen, just above the cursor.
    int _liveLineCount = 0;
    bool _isLiveDrawPending = false;
    bool _isFlushPending = false;
    bool _liveRowsCleared = false;
    QString _pasteboard;
    QString _statusText;
    ZRActivationPolicy _activationPolicy = ZRActivationPolicy::Regular;
    ZRDownloadList _rows;
    // What each row showed last, so an unchanged row is not printed again.
    QHash<const ZRDownload *, QString> _shownLines;
    // Row redraws arrive many times a second while downloading; print them at most once a second.
    QTimer _redrawTimer;
    std::function<void()> _changeHandler;
};
