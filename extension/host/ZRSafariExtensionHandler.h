// The extension's logic: the links a page reports for a right-click, whether the context-menu item
// shows and with which title, and the quorvel:// address that hands the links to the application.
#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace ZRSafariExtensionKey
{
inline const QString ContextMessageName = QStringLiteral("context");
inline const QString Primary = QStringLiteral("primary");
inline const QString Gathered = QStringLiteral("gathered");
inline const QString ExtensionFilter = QStringLiteral("Safari Extension Filter");
inline const QString EncodedURLPrefix = QStringLiteral("quorvel://encoded/");
inline const QString LinkedURLPrefix = QStringLiteral("quorvel://linked/");
} // namespace ZRSafariExtensionKey

class ZRSafariExtensionHandler
{
public:
    // Seconds on a clock that only has to move forward.
    using Clock = std::function<double()>;
    // The filter text as it is stored now; empty when there is none.
    using FilterSource = std::function<QString()>;
    // Hands the address to the application; false when it could not be delivered.
    using Opener = std::function<bool(const QString &url)>;

    ZRSafariExtensionHandler(FilterSource filterSource, Opener opener, Clock clock = steadyClock);

    // Thread-safe, all three: each holds the lock only while it reads or writes the pending links.

    // Only "context" counts: its "primary" links, else its "gathered" links passed through the filter.
    void messageReceivedWithName(const QString &name, const QVariantMap &userInfo);

    struct Validation {
        bool hide = true;
        QString title; // empty when hidden
    };
    // Hidden when the last message is a second old or more, or holds no links.
    Validation validateContextMenuItemWithCommand(const QString &command) const;

    // Opens the quorvel:// address of the pending links; false means "beep" (nothing to hand over,
    // or it could not be handed over).
    bool contextMenuItemSelectedWithCommand(const QString &command);

    // "quorvel://encoded/" for one address, "quorvel://linked/" for several, followed by the addresses
    // joined by line feeds and percent-escaped; none when there is nothing or it does not parse.
    static std::optional<QString> handOffURLStringWithAddresses(const QStringList &addresses);

    // The gathered addresses the filter lets through: a blank or invalid filter lets all through.
    static QStringList addressesPassingFilter(const QStringList &addresses, const QString &filter);

    // $XDG_CONFIG_HOME/Quorvel/Shared.plist, which the application's preferences write.
    static QString sharedDefaultsFilePath();
    // The filter from that file, read afresh: the preferences may change it at any time.
    static QString filterFromSharedDefaults();

    static double steadyClock();

private:
    FilterSource _filterSource;
    Opener _opener;
    Clock _clock;

    mutable QMutex _lock;
    QStringList _pendingAddresses;
    double _messageTime = 0;
    bool _hasMessage = false;
};
