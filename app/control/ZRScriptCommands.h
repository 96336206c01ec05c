// The two commands through which other programs hand addresses over: the download command of
// scripts (addresses and the script keys of ZRScriptArgumentKeys.h) and the get-URL handler of the
// program's own URL schemes "quorvel:" and "securequorvel:", which browsers and the extension host
// open.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <optional>

class ZRMainController;

// Main thread.
class ZRDownloadHandlerCommand
{
public:
    // The command's direct parameter: a list of address strings, or one string with addresses a
    // line; the evaluated arguments are the script keys.
    ZRDownloadHandlerCommand(ZRMainController &controller, QVariant directParameter, QVariantMap evaluatedArguments = {});
    virtual ~ZRDownloadHandlerCommand() = default;

    // Hands the addresses (with the arguments) to the controller's intake, on the next turn.
    virtual void performDefaultImplementation();

    // The URLs of the input: each line or element trimmed, blank ones skipped, each parsed as it
    // stands (nothing is escaped); what does not parse is left out.
    static QList<QUrl> URLsFromInput(const QVariant &input);

protected:
    // Whether any URL was handed over.
    bool openURLStrings(const QVariant &input, bool forwardEvaluatedArguments);

    ZRMainController &_controller;
    QVariant _directParameter;
    QVariantMap _evaluatedArguments;
};

class ZRURLHandlerCommand : public ZRDownloadHandlerCommand
{
public:
    ZRURLHandlerCommand(ZRMainController &controller, QString urlText);

    void performDefaultImplementation() override;

    // What the URL text stands for, as address text (addresses a line): "quorvel://linked/..." and
    // "quorvel://encoded/..." carry escaped addresses ("linked" asks first when there are several),
    // "quorvel:" and "securequorvel:" stand for "http:" and "https:"; other text passes unchanged.
    // None when the same text came less than a second ago, when the user said Cancel, or (with
    // *refusal) when the escapes are not UTF-8 text. Notes the text as the latest one handled.
    std::optional<QString> addressTextForURLText(QString *refusal = nullptr);

    // A page can open these URLs without the user meaning to: of what they stand for, only web
    // addresses are taken, never local files, request files or folders. Empty when it may be taken.
    static QString refusalForAddressFromURLScheme(const QUrl &url);
    // Whether the text is one of the program's own URLs (handled by this command).
    static bool isOwnSchemeURLText(const QString &text);

    // The clock of the duplicate suppression, in seconds (tests set their own; none restores).
    static void setClockForTesting(std::function<double()> clock);

private:
    QString _urlText;
};
