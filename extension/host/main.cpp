// quorvel-extension-host: the native-messaging host that the browser extension talks to. It keeps the
// links of the last right-click, tells the extension whether to show its menu item and hands the
// links to Quorvel when the item is chosen.
//
// The extension keeps one port open (runtime.connectNative), so one host serves every right-click
// of a browser session. Messages, one JSON object per frame:
//   {"command": "message", "name": "context", "userInfo": {"primary": [...], "gathered": [...]}}
//       no answer;
//   {"command": "validate", "id": ID}   answer {"command": "validate", "id": ID, "hide": bool, "title":
//   "..."};
//   {"command": "selected", "id": ID}   answer {"command": "selected", "id": ID, "ok": bool, "beep": bool}.
// Anything else is logged and left unanswered.
#include "extension/host/ZRApplicationHandOff.h"
#include "extension/host/ZRNativeMessagingChannel.h"
#include "extension/host/ZRSafariExtensionHandler.h"

#include "core/foundation/ZRLog.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace
{

const QString commandKey = QStringLiteral("command");
const QString idKey = QStringLiteral("id");
const QString nameKey = QStringLiteral("name");
const QString userInfoKey = QStringLiteral("userInfo");
// Tests set QUORVEL_EXTENSION_HOST_TEST_CLOCK=1 and give every message the time it stands for.
const QString testTimeKey = QStringLiteral("testTime");

QString describeCaller(const QStringList &arguments)
{
    // Chromium passes the extension's origin; Firefox the manifest's path and the add-on's ID.
    if (arguments.size() >= 3)
        return QStringLiteral("add-on %1 (manifest %2)").arg(arguments.at(2), arguments.at(1));
    if (arguments.size() == 2)
        return arguments.at(1);
    return QStringLiteral("an unknown caller");
}

} // namespace

int main(int argc, char **argv)
{
    if (::isatty(STDIN_FILENO)) {
        std::fputs("quorvel-extension-host: started by the Quorvel browser extension, not by hand; "
                   "run \"quorvel --install-browser-hosts\" to let the browsers find it\n",
                   stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quorvel"));
    ZRLogSetEchoToStandardError(true);

    std::optional<ZRNativeMessagingChannel> channel = ZRNativeMessagingChannel::openStandardStreams();
    if (!channel) {
        ZRLog(QStringLiteral("extension host cannot take over its standard output"));
        return 1;
    }

    double messageTime = 0;
    ZRSafariExtensionHandler::Clock clock = ZRSafariExtensionHandler::steadyClock;
    if (qEnvironmentVariable("QUORVEL_EXTENSION_HOST_TEST_CLOCK") == QStringLiteral("1"))
        clock = [&messageTime] { return messageTime; };
    ZRSafariExtensionHandler handler(ZRSafariExtensionHandler::filterFromSharedDefaults,
                                     ZRApplicationHandOff::openURL, clock);
    const QString caller = describeCaller(QCoreApplication::arguments());

    for (;;) {
        QJsonObject message;
        switch (channel->readMessage(&message)) {
        case ZRNativeMessagingChannel::ReadResult::Message:
            break;
        case ZRNativeMessagingChannel::ReadResult::End:
            return 0;
        case ZRNativeMessagingChannel::ReadResult::Truncated:
            ZRLog(QStringLiteral("extension host: the message from %1 ends early; stopping").arg(caller));
            return 1;
        case ZRNativeMessagingChannel::ReadResult::Oversized:
            ZRLog(QStringLiteral("extension host: a message from %1 is longer than %2 bytes; stopping")
                      .arg(caller)
                      .arg(ZRNativeMessagingChannel::MaximumMessageLength));
            return 1;
        case ZRNativeMessagingChannel::ReadResult::Malformed:
            ZRLog(QStringLiteral("extension host: ignoring a message from %1 that is not a JSON object")
                      .arg(caller));
            continue;
        }
        messageTime = message.value(testTimeKey).toDouble();
        const QString command = message.value(commandKey).toString();
        QJsonObject reply{{commandKey, command}, {idKey, message.value(idKey)}};
        if (command == QStringLiteral("message")) {
            handler.messageReceivedWithName(message.value(nameKey).toString(),
                                            message.value(userInfoKey).toObject().toVariantMap());
            continue;
        } else if (command == QStringLiteral("validate")) {
            const ZRSafariExtensionHandler::Validation validation =
                handler.validateContextMenuItemWithCommand(command);
            reply.insert(QStringLiteral("hide"), validation.hide);
            reply.insert(QStringLiteral("title"),
                         validation.hide ? QJsonValue() : QJsonValue(validation.title));
        } else if (command == QStringLiteral("selected")) {
            const bool opened = handler.contextMenuItemSelectedWithCommand(command);
            reply.insert(QStringLiteral("ok"), opened);
            reply.insert(QStringLiteral("beep"), !opened);
        } else {
            ZRLog(QStringLiteral("extension host: ignoring the command <%1> from %2").arg(command, caller));
            continue;
        }
        if (!channel->writeMessage(reply))
            return 0;
    }
}
