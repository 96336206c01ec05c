// A scripted front end that also records the status line, the application image and the signals
// of finished downloads, and a machine that records sleep and shut-down requests.
#pragma once

#include "app/platform/ZRSystemPower.h"
#include "tests/unit/control/ZRScriptedUserInterface.h"

class ZRStatusUserInterface : public ZRScriptedUserInterface
{
public:
    QStringList statusTexts;
    QList<ZRApplicationImage> images;
    QList<std::tuple<qint64, double>> launcherBadges;
    int attentionRequests = 0;
    QStringList sounds;
    bool clearButtonVisible = false;
    bool documentEdited = false;
    int abortedAlerts = 0;

    void showStatusText(const QString &text) override { statusTexts.append(text); }
    void showApplicationImage(const ZRApplicationImage &image) override { images.append(image); }
    void setLauncherBadge(qint64 count, double progress, bool) override { launcherBadges.append({count, progress}); }
    void requestUserAttention() override { ++attentionRequests; }
    void playSound(const QString &name) override { sounds.append(name); }
    void setClearButtonVisible(bool visible) override { clearButtonVisible = visible; }
    void setDocumentEdited(bool edited) override { documentEdited = edited; }
    void abortModalAlert() override { ++abortedAlerts; }
};

class ZRFakeSystemPower : public ZRSystemPower
{
public:
    bool accepts = true;
    int suspends = 0;
    int powerOffs = 0;

    void suspend(Completion completion) override
    {
        ++suspends;
        completion(accepts);
    }
    void powerOff(Completion completion) override
    {
        ++powerOffs;
        completion(accepts);
    }
};
