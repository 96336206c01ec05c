// Suspend and power off through logind (org.freedesktop.login1 on the system bus).
#pragma once

#include "app/platform/ZRSystemPower.h"

#include <QDBusConnection>
#include <QObject>

// Main thread.
class ZRLogindSystemPower : public QObject, public ZRSystemPower
{
    Q_OBJECT
public:
    // The system bus, unless another connection stands in for it.
    explicit ZRLogindSystemPower(QObject *parent = nullptr);
    ZRLogindSystemPower(const QDBusConnection &bus, QObject *parent = nullptr);
    ~ZRLogindSystemPower() override;

    // The answer comes asynchronously: logind may first have the user authorise the request.
    void suspend(Completion completion) override;
    void powerOff(Completion completion) override;

private:
    void call(const QString &method, Completion completion);

    QDBusConnection _bus;
};
