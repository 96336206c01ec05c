// Address intake: how text, files, address lists, request files and download bundles become
// downloads in the master list, with the target and request values that scripts ask for.
#include "app/control/ZRMainController.h"

#include "app/control/ZRPreferenceKeys.h"
#include "app/control/ZRScriptArgumentKeys.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRNaturalOrder.h"
#include "core/text/ZRPathExtensions.h"
#include "core/text/ZRTargetSafety.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTimer>

#include <algorithm>

namespace
{

// The file question comes before the 101st file of one intake, and before every file after it.
constexpr qsizetype fileQuestionThreshold = 100;

const QString bundleSuffix = QStringLiteral("quorvel");
const QString requestFileSuffix = QStringLiteral("qbp");
const QString addressListSuffix = QStringLiteral("txt");
const QString formContentType = QStringLiteral("application/x-www-form-urlencoded");
const QString addedToQueue = QStringLiteral("Added to Queue");

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

bool hasSuffix(const QString &path, const QString &suffix)
{
    return QFileInfo(path).suffix().compare(suffix, Qt::CaseInsensitive) == 0;
}

// A valid and absolute URL, or none.
QUrl URLFromString(const QString &string)
{
    QUrl url(string, QUrl::StrictMode);
    if (url.isValid() && !url.scheme().isEmpty())
        return url;
    url = QUrl(ZRExtensions::URLEncodedString(string), QUrl::StrictMode);
    if (url.isValid() && !url.scheme().isEmpty())
        return url;
    return QUrl();
}

// A header value with a line break (or a NUL) would end its field early and add fields of its own.
bool isSafeHeaderValue(const QString &value)
{
    return !value.contains(QLatin1Char('\r')) && !value.contains(QLatin1Char('\n')) &&
           !value.contains(QChar(u'\0'));
}

bool headerFieldsAreSafe(const QVariant &fields)
{
    const QVariantMap map = fields.toMap();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (!isSafeHeaderValue(it.key()) || !isSafeHeaderValue(it.value().toString()))
            return false;
    }
    return true;
}

// "scheme:" at the start of the text: a letter, then letters, digits, "+", "-" or ".".
QString schemeOfString(const QString &string)
{
    const qsizetype colon = string.indexOf(QLatin1Char(':'));
    if (colon < 1 || !string.at(0).isLetter() || string.at(0).unicode() >= 0x80)
        return {};
    for (qsizetype i = 1; i < colon; ++i) {
        const char16_t c = string.at(i).unicode();
        const bool allowed = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                             c == u'+' || c == u'-' || c == u'.';
        if (!allowed)
            return {};
    }
    return string.left(colon).toLower();
}

QString statusNameForDuplicate(ZRDownload &download)
{
    return download.statusDescriptionWithLiveDetails(false);
}

bool isASCII(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

QString canonicalOrCleanPath(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

// Something the user should know of an intake that went on without asking: a notification.
void postIntakeNotice(ZRUserInterface *userInterface, const QString &title, const QString &message)
{
    if (userInterface)
        userInterface->postNotification({QString(), title, message, {}});
}

// A file of the bundle, also once its links are followed.
bool isInsideBundle(const QString &path, const QString &bundle)
{
    if (!path.startsWith(bundle + QLatin1Char('/')))
        return false;
    const QFileInfo info(path);
    if (!info.exists())
        return !info.isSymLink();
    const QString canonicalBundle = QFileInfo(bundle).canonicalFilePath();
    return !canonicalBundle.isEmpty() &&
           info.canonicalFilePath().startsWith(canonicalBundle + QLatin1Char('/'));
}

// A bundle opened as a document may come from anywhere: its targets and its data file must not
// reach settings, keys, autostart entries or system folders (its own data file may lie in it,
// wherever the bundle is). What is refused is left out, so the download goes to the download folder.
QVariantMap safeBundleMetadata(ZRUserInterface *userInterface, QVariantMap metadata,
                               const QString &bundlePath)
{
    const QString bundle = QDir::cleanPath(bundlePath);
    for (const QString &key :
         {ZRDownloadKeys::DownloadFile, ZRDownloadKeys::DownloadFolder, ZRDownloadKeys::ResumePath}) {
        const QString value = metadata.value(key).toString();
        if (value.isEmpty())
            continue;
        const QString expanded = QDir::cleanPath(ZRExtensions::stringByExpandingTildeInPath(value));
        if (key == ZRDownloadKeys::ResumePath && isInsideBundle(expanded, bundle))
            continue;
        QString refusal;
        if (ZRExtensions::isSafeTargetPathFromOutside(value, &refusal))
            continue;
        metadata.remove(key);
        ZRLog(QStringLiteral("ignoring \"%1\" <%2> of download bundle <%3>: %4")
                  .arg(key, value, bundlePath, refusal));
        postIntakeNotice(
            userInterface, QStringLiteral("Target Ignored"),
            QStringLiteral("The download bundle \"%1\" named \"%2\" as its place, but %3. The download "
                           "goes into the download folder instead.")
                .arg(QFileInfo(bundle).fileName(), value, refusal));
    }
    return metadata;
}

// Long pasted text is named by its beginning.
QString shortened(const QString &text)
{
    constexpr qsizetype maximumLength = 200;
    return text.size() <= maximumLength ? text : text.left(maximumLength) + QChar(0x2026);
}

} // namespace

// What the passes of one intake share, the nested ones for address lists included.
struct ZRMainController::IntakeState {
    // "~"-abbreviated; empty when there is none.
    QString targetPath;
    bool targetPathIsFolder = false;
    QVariantMap request;
    bool autoStart = true;
    bool hasSingleURL = false;
    // Shift (or Alt) was held when the intake began: the user says where the downloads go.
    bool alternateModifiersHeld = false;
    // "~"-abbreviated; the folder chosen in this intake's prompt.
    QString chosenFolder;
    // The user cancelled a prompt: the rest of the intake is not taken.
    bool stopped = false;
    QSet<QString> readTextFiles;
    QStringList addedNames;
    // The paused and aborted downloads of the list by comparison address: given again, they go on.
    QHash<QString, ZRDownloadPtr> continuable;
    bool continuedAny = false;
    // Where the caller wants to hear of what was refused; none: the log.
    QList<ZRIntakeRefusal> *refusals = nullptr;
};

// --- Text and files to URLs ---

QList<QUrl> ZRMainController::URLsFromCollection(const QStringList &collection, QList<ZRIntakeRefusal> *refusals)
{
    const bool checkDuplicates = defaults().boolForKey(ZRPreferenceKey::InstantDuplicateCheck);
    QHash<QString, ZRDownload *> listedAddresses;
    if (checkDuplicates) {
        for (const ZRDownloadPtr &download : std::as_const(_downloads)) {
            if (!listedAddresses.contains(download->comparisonURLString()))
                listedAddresses.insert(download->comparisonURLString(), download.get());
        }
    }

    QList<QUrl> urls;
    for (const QString &item : collection) {
        const QString trimmed = ZRExtensions::trimmedString(item);
        if (trimmed.isEmpty())
            continue;
        bool truncated = false;
        const QStringList strings = ZRExtensions::explodedURLStrings(
            ZRExtensions::unearthedURLStrings(
                ZRExtensions::unescacpedURLStringWithReplacementsApplied(trimmed)),
            &truncated);
        if (truncated) {
            // One pass of arg(): an address's own "%2F" must stay as it is.
            const QString limit = QString::number(ZRExtensions::MaximumExplodedURLCount);
            ZRLog(QStringLiteral("brace expansion stopped at %1 addresses; the rest of <%2> was not added")
                      .arg(limit, shortened(trimmed)));
            postIntakeNotice(
                _userInterface, QStringLiteral("Too Many Addresses"),
                QStringLiteral("The brace ranges of \"%1\" stand for more than %2 addresses; only the "
                               "first %2 were taken.")
                    .arg(shortened(trimmed), limit));
        }
        bool loggedRefusal = false;
        for (const QString &string : strings) {
            const QUrl url = URLFromString(string);
            const QString refusal = url.isValid() ? refusalForURL(url) : refusalForURLString(string);
            if (!refusal.isEmpty()) {
                if (refusals) {
                    refusals->append({string, refusal});
                } else if (!loggedRefusal && !schemeOfString(string).isEmpty()) {
                    // One line for a brace range, and none for text without any address.
                    ZRLog(QStringLiteral("cannot download <%1>: %2").arg(string, refusal));
                    loggedRefusal = true;
                }
                continue;
            }
            // Only the list counts: the same address twice in one intake is meant twice. A download
            // that stopped is continued by the intake instead.
            // An empty list (a fresh start) has nothing to compare with.
            ZRDownload *listed = checkDuplicates && !listedAddresses.isEmpty()
                                     ? listedAddresses.value(ZRExtensions::comparisonURLString(string))
                                     : nullptr;
            if (listed && !listed->matchesStatusMask(ZRDownloadStatusPaused | ZRDownloadStatusAborted)) {
                ZRLogDebug(QStringLiteral("skipping duplicate: %1").arg(string));
                if (refusals)
                    refusals->append({string, QStringLiteral("in the queue already: ") + statusNameForDuplicate(*listed),
                                      true});
                continue;
            }
            urls.append(url);
        }
    }
    return urls;
}

QList<QUrl> ZRMainController::URLsFromString(const QString &string)
{
    return URLsFromCollection(ZRExtensions::componentsSeparatedByLineBreaks(string));
}

bool ZRMainController::getFileURLs(QList<QUrl> &fileURLs, const QStringList &paths, const QString &basePath)
{
    QSet<QString> walkedFolders;
    return getFileURLsWalking(fileURLs, paths, basePath, walkedFolders);
}

bool ZRMainController::getFileURLsWalking(QList<QUrl> &fileURLs, const QStringList &paths,
                                          const QString &basePath, QSet<QString> &walkedFolders)
{
    QStringList sorted = paths;
    std::stable_sort(sorted.begin(), sorted.end(), ZRNaturalLessThan);
    const bool storesMetadataLocally = defaults().boolForKey(ZRPreferenceKey::StoreMetadataLocally);

    for (const QString &name : std::as_const(sorted)) {
        if (name.endsWith(QLatin1Char('.') + bundleSuffix, Qt::CaseInsensitive) && !storesMetadataLocally)
            continue;
        const QString path = ZRExtensions::itemPathWithBasePath(name, basePath);
        if (path.isEmpty())
            continue;
        if (ZRExtensions::isFolderPath(path) && !hasSuffix(path, bundleSuffix)) {
            // A link back up the tree would walk forever: each folder once per walk.
            const QString canonical = canonicalOrCleanPath(path);
            if (walkedFolders.contains(canonical))
                continue;
            walkedFolders.insert(canonical);
            const QStringList entries =
                QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
            if (!getFileURLsWalking(fileURLs, entries, path, walkedFolders))
                return false;
            continue;
        }
        if (fileURLs.size() >= fileQuestionThreshold) {
            const int choice = runAlert({QStringLiteral("100 files and counting..."),
                                         QStringLiteral("Are you sure you still want more?"),
                                         {QStringLiteral("Continue"), QStringLiteral("Stop")},
                                         ZRAlert::Style::Warning});
            if (choice != ZRAlertFirstButton)
                return false;
        }
        fileURLs.append(QUrl::fromLocalFile(path));
    }
    return true;
}

// --- The request from script arguments ---

QString ZRMainController::lineBreakRefusalForArgument(const QString &argumentName)
{
    return QStringLiteral("The value of \"%1\" holds a line break; it would add request headers of its own, so no "
                          "download was added.")
        .arg(argumentName);
}

std::optional<QVariantMap> ZRMainController::requestDictionaryFromAppleScriptArguments(const QVariantMap &arguments,
                                                                                       QString *error,
                                                                                       QString *refusedKey)
{
    using namespace ZRScriptArgumentKey;
    for (const QString &key : {ByPostingData, WithReferrer, PosingAsUserAgent, UsingCookies}) {
        if (arguments.contains(key) && !isSafeHeaderValue(arguments.value(key).toString())) {
            if (error)
                *error = lineBreakRefusalForArgument(key);
            if (refusedKey)
                *refusedKey = key;
            return std::nullopt;
        }
    }

    QVariantMap request;
    QVariantMap headers;
    const QString body = arguments.value(ByPostingData).toString();
    if (!body.isEmpty() && isASCII(body)) {
        request.insert(ZRDownloadKeys::RequestBody, body.toLatin1());
        request.insert(ZRDownloadKeys::RequestMethod, QStringLiteral("POST"));
        headers.insert(QStringLiteral("Content-Type"), formContentType);
    }
    if (arguments.contains(WithReferrer))
        headers.insert(QStringLiteral("Referer"), arguments.value(WithReferrer).toString());
    if (arguments.contains(PosingAsUserAgent))
        headers.insert(QStringLiteral("User-Agent"), arguments.value(PosingAsUserAgent).toString());
    if (arguments.contains(UsingCookies))
        headers.insert(QStringLiteral("Cookie"), arguments.value(UsingCookies).toString());
    if (!headers.isEmpty())
        request.insert(ZRDownloadKeys::RequestPartialHeaderFields, headers);
    return request;
}

// --- What can be downloaded ---

QString ZRMainController::refusalForURL(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("file")) {
        const QString host = url.host();
        if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
            return QStringLiteral("the file address names another computer (%1)").arg(host);
        const QFileInfo file(url.toLocalFile());
        if (!file.exists())
            return QStringLiteral("no such file");
        return {};
    }
    if (scheme.isEmpty())
        return QStringLiteral("neither an address nor an existing file");
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QStringLiteral("\"%1:\" addresses cannot be downloaded (only http, https and file)").arg(scheme);
    if (url.host().isEmpty())
        return QStringLiteral("the address has no host");
    if (url.port() == 0)
        return QStringLiteral("the port is not valid (1 to 65535)");
    return {};
}

QString ZRMainController::refusalForURLString(const QString &string)
{
    const QString scheme = schemeOfString(string);
    if (scheme.isEmpty())
        return QStringLiteral("neither an address nor an existing file");
    const QUrl url = URLFromString(string);
    if (url.isValid())
        return refusalForURL(url);
    // The scheme first: whatever follows it, Quorvel could not fetch it.
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https") && scheme != QLatin1String("file"))
        return refusalForURL(QUrl(scheme + QStringLiteral("://x")));
    const QString error = QUrl(ZRExtensions::URLEncodedString(string), QUrl::StrictMode).errorString();
    if (error.contains(QLatin1String("port"), Qt::CaseInsensitive))
        return QStringLiteral("the port is not valid (1 to 65535)");
    if (error.contains(QLatin1String("host"), Qt::CaseInsensitive) ||
        error.contains(QLatin1String("IPv"), Qt::CaseInsensitive))
        return QStringLiteral("the host is not valid");
    return QStringLiteral("not a valid address");
}

// --- The intake ---

void ZRMainController::openURLs(const QList<QUrl> &urls, const QVariantMap &appleScriptArguments,
                                QList<ZRIntakeRefusal> *refusals)
{
    IntakeState state;
    state.refusals = refusals;
    if (!appleScriptArguments.isEmpty()) {
        QString error;
        const std::optional<QVariantMap> request =
            requestDictionaryFromAppleScriptArguments(appleScriptArguments, &error);
        if (!request) {
            ZRLog(QStringLiteral("cannot add downloads: %1").arg(error));
            runAlert({QStringLiteral("Cannot Add Downloads"), error, {QStringLiteral("OK")},
                      ZRAlert::Style::Warning});
            return;
        }
        state.request = *request;
        const QString target = appleScriptArguments.value(ZRScriptArgumentKey::ToPosixPath).toString();
        if (!target.isEmpty()) {
            const QString expanded = QDir::cleanPath(ZRExtensions::stringByExpandingTildeInPath(target));
            state.targetPath = ZRExtensions::stringByAbbreviatingWithTildeInPath(expanded);
            state.targetPathIsFolder = ZRExtensions::isFolderPath(expanded);
            // "folder/" names a folder even before it exists: never a file without a name.
            if (!state.targetPathIsFolder && target.endsWith(QLatin1Char('/'))) {
                state.targetPathIsFolder = ZRExtensions::checkFolderPathAndCreateIfNecessary(expanded);
                if (!state.targetPathIsFolder) {
                    ZRLog(QStringLiteral("cannot create folder <%1>").arg(expanded));
                    state.targetPath.clear();
                }
            }
        }
    }
    state.autoStart = defaults().boolForKey(ZRPreferenceKey::AutoStart);
    state.hasSingleURL = urls.size() == 1;
    state.alternateModifiersHeld = _userInterface && _userInterface->alternateModifiersHeld();
    if (defaults().boolForKey(ZRPreferenceKey::InstantDuplicateCheck)) {
        for (const ZRDownloadPtr &download : std::as_const(_downloads)) {
            if (download->matchesStatusMask(ZRDownloadStatusPaused | ZRDownloadStatusAborted) &&
                !download->isVanishing() && !download->isBeingRemoved() &&
                !state.continuable.contains(download->comparisonURLString()))
                state.continuable.insert(download->comparisonURLString(), download);
        }
    }
    const qsizetype countBefore = _downloads.size();

    openURLsInIntake(urls, state);

    const bool grew = _downloads.size() > countBefore;
    if (!grew && !state.continuedAny)
        return;
    updateDownloadListAndStatus();
    // The first downloads go out before the archive is written and flushed, so that the server is
    // already answering while the disk is; the archive still holds every address on return.
    if (ZRDownload::isSchedulingPassPending())
        ZRDownload::startEligibleQueuedDownloadsAndResetTimer();
    writeArchiveBeforeQuitting(false);
    if (grew)
        sendUserNotification(addedToQueue, addedToQueue, state.addedNames.join(QLatin1Char('\n')), false);
}

void ZRMainController::openURLsFoundOnDownloadPage(const QList<QUrl> &urls, const ZRDownload &page)
{
    // The files of the page go where the page's download was sent, with the same identity towards
    // the server; a body posted to the page is not posted again to each file.
    QVariantMap arguments;
    const QVariantMap &settings = page.userSettings();
    const QString folder = settings.value(ZRDownloadKeys::DownloadFolder).toString();
    const QString file = settings.value(ZRDownloadKeys::DownloadFile).toString();
    if (!folder.isEmpty())
        arguments.insert(ZRScriptArgumentKey::ToPosixPath, QString(folder + QLatin1Char('/')));
    else if (!file.isEmpty())
        arguments.insert(ZRScriptArgumentKey::ToPosixPath,
                         QString(QFileInfo(ZRExtensions::stringByExpandingTildeInPath(file)).path() +
                                 QLatin1Char('/')));
    const QVariantMap headers = settings.value(ZRDownloadKeys::Request)
                                    .toMap()
                                    .value(ZRDownloadKeys::RequestPartialHeaderFields)
                                    .toMap();
    if (headers.contains(QStringLiteral("User-Agent")))
        arguments.insert(ZRScriptArgumentKey::PosingAsUserAgent, headers.value(QStringLiteral("User-Agent")));
    if (headers.contains(QStringLiteral("Cookie")))
        arguments.insert(ZRScriptArgumentKey::UsingCookies, headers.value(QStringLiteral("Cookie")));
    openURLs(urls, arguments);
}

void ZRMainController::refuseInIntake(IntakeState &state, const QString &item, const QString &reason,
                                      const QString &logLine)
{
    if (state.refusals)
        state.refusals->append({item, reason});
    else
        ZRLog(logLine);
}

void ZRMainController::openURLsInIntake(const QList<QUrl> &urls, IntakeState &state)
{
    for (const QUrl &url : urls) {
        if (state.stopped)
            return;
        if (!url.isLocalFile()) {
            if (url.toString().endsWith(QLatin1String("://quorvel"), Qt::CaseInsensitive)) {
                // Not a download: the program and its window come forward.
                if (_userInterface) {
                    _userInterface->activate();
                    if (!_userInterface->isDownloadWindowVisible())
                        _userInterface->showDownloadWindow();
                }
                continue;
            }
            const QString refusal = refusalForURL(url);
            if (!refusal.isEmpty()) {
                const QString text = url.toString();
                refuseInIntake(state, text, refusal, QStringLiteral("cannot download <%1>: %2").arg(text, refusal));
                continue;
            }
            const ZRDownloadPtr listed =
                state.continuable.isEmpty()
                    ? ZRDownloadPtr()
                    : state.continuable.value(ZRExtensions::comparisonURLString(url.toString()));
            if (listed && _downloads.contains(listed)) {
                // Given again: it goes on from where it stopped (or starts over when it was aborted).
                continueDownloads({listed});
                state.continuedAny = true;
                continue;
            }
            downloadURLInIntake(url, state, nullptr);
            continue;
        }

        const QString path = QDir::cleanPath(url.toLocalFile());
        if (hasSuffix(path, bundleSuffix)) {
            ZRDownloadPtr owner;
            for (const ZRDownloadPtr &download : std::as_const(_downloads)) {
                const QString intermediate = download->intermediateDownloadTargetPath();
                if (!intermediate.isEmpty() &&
                    ZRExtensions::isEqualToPath(QFileInfo(intermediate).path(), path)) {
                    owner = download;
                    break;
                }
            }
            if (owner) {
                owner->addToQueue();
                continue;
            }
            const QString metadataPath = path + QLatin1Char('/') + ZRDownloadKeys::BundleMetadataFileName;
            const std::optional<QVariant> metadata = QFileInfo(metadataPath).isFile()
                                                         ? ZRPropertyList::propertyListWithContentsOfFile(metadataPath)
                                                         : std::nullopt;
            if (!metadata || metadata->typeId() != QMetaType::QVariantMap) {
                refuseInIntake(state, path, QStringLiteral("the download bundle holds no metadata"),
                               QStringLiteral("no locally stored metadata: %1").arg(path));
                beep();
                continue;
            }
            const QVariantMap safeMetadata = safeBundleMetadata(_userInterface, metadata->toMap(), path);
            if (ZRDownloadPtr restored = addDownloadFromArchive(safeMetadata, path))
                state.addedNames.append(restored->displayName());
            else
                ZRLog(QStringLiteral("cannot download <%1>").arg(path));
            continue;
        }

        if (hasSuffix(path, requestFileSuffix)) {
            const std::optional<QVariant> contents = ZRPropertyList::propertyListWithContentsOfFile(path);
            const QVariantMap requestFile = contents ? contents->toMap() : QVariantMap();
            const QVariant source = requestFile.value(ZRScriptArgumentKey::RequestFileSourceURL);
            const QUrl sourceURL = source.typeId() == QMetaType::QString
                                       ? QUrl(source.toString(), QUrl::StrictMode)
                                       : QUrl();
            if (sourceURL.isValid() && !sourceURL.scheme().isEmpty()) {
                if (!headerFieldsAreSafe(requestFile.value(ZRDownloadKeys::RequestPartialHeaderFields)) ||
                    !headerFieldsAreSafe(requestFile.value(ZRDownloadKeys::RequestAllHeaderFields))) {
                    ZRLog(QStringLiteral("cannot download <%1>: a header of request file <%2> holds a line break")
                              .arg(sourceURL.toString(), path));
                    continue;
                }
                // Kept when its address cannot be downloaded: it may be worth a look.
                const QString refusal = refusalForURL(sourceURL);
                if (!refusal.isEmpty()) {
                    refuseInIntake(state, path, refusal,
                                   QStringLiteral("cannot download <%1> of request file <%2>: %3")
                                       .arg(sourceURL.toString(), path, refusal));
                    continue;
                }
                if (!QFile::remove(path))
                    ZRLog(QStringLiteral("cannot delete request file <%1>").arg(path));
                downloadURLInIntake(sourceURL, state, &requestFile);
                continue;
            }
            // Not a request file after all: a local file like any other.
        } else if (hasSuffix(path, addressListSuffix)) {
            const QString key = canonicalOrCleanPath(path);
            if (state.readTextFiles.contains(key))
                continue;
            state.readTextFiles.insert(key);
            // Nothing is sandboxed here: access is tested, never asked for.
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                if (state.refusals)
                    state.refusals->append({path, file.errorString()});
                continue;
            }
            // A byte that is not UTF-8 would become U+FFFD inside an address, which is then another one.
            QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString text = decoder.decode(file.readAll());
            file.close();
            if (decoder.hasError()) {
                refuseInIntake(state, path, QStringLiteral("the address list is not UTF-8 text"),
                               QStringLiteral("cannot read address list <%1>: not UTF-8 text").arg(path));
                continue;
            }
            openURLsInIntake(URLsFromString(text), state);
            continue;
        }

        downloadURLInIntake(url, state, nullptr);
    }
}

void ZRMainController::downloadURLInIntake(const QUrl &url, IntakeState &state, const QVariantMap *requestFile)
{
    const QString refusal = refusalForURL(url);
    if (!refusal.isEmpty()) {
        // A request file's own address, or a file that went away since it was found.
        const QString text = url.isLocalFile() ? url.toLocalFile() : url.toString();
        refuseInIntake(state, text, refusal, QStringLiteral("cannot download <%1>: %2").arg(text, refusal));
        return;
    }
    ZRDownloadPtr download = ZRDownload::downloadWithURL(url, state.autoStart);
    if (!download) {
        refuseInIntake(state, url.toString(), QStringLiteral("not a valid address"),
                       QStringLiteral("cannot download <%1>").arg(url.toString()));
        return;
    }
    appendDownload(download);
    QVariantMap &settings = download->userSettings();

    if (requestFile) {
        // A request file may come from any web page: its target must not reach settings, keys,
        // autostart entries or system folders.
        const QString targetPath = requestFile->value(ZRScriptArgumentKey::RequestFileTargetPath).toString();
        if (!targetPath.isEmpty()) {
            QString refusal;
            if (ZRExtensions::isSafeTargetPathFromOutside(targetPath, &refusal)) {
                settings.insert(ZRDownloadKeys::DownloadFile,
                                ZRExtensions::stringByAbbreviatingWithTildeInPath(
                                    QDir::cleanPath(ZRExtensions::stringByExpandingTildeInPath(targetPath))));
            } else {
                ZRLog(
                    QStringLiteral("ignoring target <%1> of the request file for <%2>: %3; downloading into "
                                   "the download folder")
                        .arg(targetPath, url.toString(), refusal));
                postIntakeNotice(
                    _userInterface, QStringLiteral("Target Ignored"),
                    QStringLiteral("A request file asked to save \"%1\" as \"%2\", but %3. It goes "
                                   "into the download folder instead.")
                        .arg(download->displayName(), targetPath, refusal));
            }
        }
        QVariantMap request = *requestFile;
        request.remove(ZRScriptArgumentKey::RequestFileSourceURL);
        request.remove(ZRScriptArgumentKey::RequestFileTargetPath);
        if (!request.isEmpty())
            settings.insert(ZRDownloadKeys::Request, request);
    } else {
        if (!state.request.isEmpty())
            settings.insert(ZRDownloadKeys::Request, state.request);
        if (!state.targetPath.isEmpty()) {
            if (state.targetPathIsFolder) {
                settings.insert(ZRDownloadKeys::DownloadFolder, state.targetPath);
            } else {
                settings.insert(ZRDownloadKeys::DownloadFile, state.targetPath);
                // The named file is for the first address; the others go beside it.
                const QString expanded = ZRExtensions::stringByExpandingTildeInPath(state.targetPath);
                const QString folder = QFileInfo(expanded).path();
                if (ZRExtensions::checkFolderPathAndCreateIfNecessary(folder)) {
                    state.targetPath = ZRExtensions::stringByAbbreviatingWithTildeInPath(folder);
                    state.targetPathIsFolder = true;
                } else {
                    state.targetPath.clear();
                }
            }
        } else if (state.alternateModifiersHeld) {
            if (!state.chosenFolder.isEmpty()) {
                settings.insert(ZRDownloadKeys::DownloadFolder, state.chosenFolder);
            } else if (state.hasSingleURL &&
                       defaults().boolForKey(ZRPreferenceKey::DownloadFolderPromptAllowsFilenameEditing)) {
                const std::optional<QString> file = chooseAbbreviatedDownloadFileForURL(url);
                if (!file) {
                    state.stopped = true;
                    download->removeAndMoveToTrashIfDone(false);
                    return;
                }
                settings.insert(ZRDownloadKeys::DownloadFile, *file);
                state.chosenFolder = ZRExtensions::stringByAbbreviatingWithTildeInPath(
                    QFileInfo(ZRExtensions::stringByExpandingTildeInPath(*file)).path());
                settings.insert(ZRDownloadKeys::DownloadFolder, state.chosenFolder);
            } else {
                const std::optional<QString> folder = chooseAbbreviatedDownloadsFolder();
                if (!folder) {
                    state.stopped = true;
                    download->removeAndMoveToTrashIfDone(false);
                    return;
                }
                state.chosenFolder = *folder;
                settings.insert(ZRDownloadKeys::DownloadFolder, state.chosenFolder);
            }
        }
    }
    state.addedNames.append(download->displayName());
}

void ZRMainController::openURLsWithArguments(const QVariantMap &urlsAndArguments)
{
    openURLs(urlsAndArguments.value(ZRScriptArgumentKey::URLs).value<QList<QUrl>>(),
             urlsAndArguments.value(ZRScriptArgumentKey::Arguments).toMap());
}

void ZRMainController::openURLsAfterDelay(const QList<QUrl> &urls, const QVariantMap &appleScriptArguments,
                                          bool giveFeedback)
{
    // The caller (a document event, a script reply) finishes first.
    if (!appleScriptArguments.isEmpty()) {
        const QVariantMap urlsAndArguments{{ZRScriptArgumentKey::URLs, QVariant::fromValue(urls)},
                                           {ZRScriptArgumentKey::Arguments, appleScriptArguments}};
        QTimer::singleShot(0, this, [this, urlsAndArguments] { openURLsWithArguments(urlsAndArguments); });
    } else {
        QTimer::singleShot(0, this, [this, urls] { openURLs(urls); });
    }
    // The window gives way or comes back once it exists; a terminal has nothing to retreat.
    (void)giveFeedback;
}

bool ZRMainController::openFiles(const QStringList &paths, bool afterDelay, bool giveFeedback)
{
    QList<QUrl> urls;
    // A "Stop" keeps what was collected so far.
    getFileURLs(urls, paths, QString());
    if (afterDelay) {
        openURLsAfterDelay(urls, {}, giveFeedback);
        return !urls.isEmpty();
    }
    const qsizetype countBefore = _downloads.size();
    openURLs(urls);
    return _downloads.size() > countBefore;
}

void ZRMainController::retryFromMenuItem(const ZRDownloadList &downloads)
{
    const bool autoStart = defaults().boolForKey(ZRPreferenceKey::AutoStart);
    bool replaced = false;
    for (const ZRDownloadPtr &old : downloads) {
        if (!_downloads.contains(old))
            continue;
        ZRDownloadPtr fresh = ZRDownload::downloadWithURL(old->URL(), autoStart);
        if (!fresh)
            continue;
        // Where it goes and how it is asked for are the user's choices, not the failed attempt's.
        for (const QString &key : {ZRDownloadKeys::DownloadFile, ZRDownloadKeys::DownloadFolder,
                                   ZRDownloadKeys::Request, ZRDownloadKeys::Referer}) {
            if (old->userSettings().contains(key))
                fresh->userSettings().insert(key, old->userSettings().value(key));
        }
        // A download that leaves the list must not go on writing behind it.
        if (old->matchesStatusMask(ZRDownloadStatusMaskActive))
            old->pause();
        const qsizetype index = _downloads.indexOf(old);
        if (index < 0)
            continue;
        _downloads[index] = fresh;
        replaced = true;
    }
    if (replaced)
        updateDownloadListAndStatus();
    else
        beep();
}
