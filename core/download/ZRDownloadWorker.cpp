// The basic worker on libcurl: one easy handle per transfer on a shared multi handle that the main
// event loop services through socket notifiers and a timer.
#include "core/download/ZRDownloadWorker.h"

#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/text/ZRAddressExtensions.h"
#include "core/text/ZRPathExtensions.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class CurlMultiDriver;

// The counter prefix of the file a resumed transfer writes beside its target.
const QString resumeFragmentCounterPrefix = QStringLiteral(".quorvel-rf-");

// One multi handle for every basic transfer, serviced on the main thread.
class CurlMultiDriver : public QObject {
public:
    static CurlMultiDriver *shared()
    {
        static QPointer<CurlMultiDriver> driver;
        if (!driver && QCoreApplication::instance())
            driver = new CurlMultiDriver(QCoreApplication::instance());
        return driver;
    }

    ~CurlMultiDriver() override
    {
        // Not inside a notifier's signal here: the notifiers can go at once.
        _sockets.clear();
        curl_multi_cleanup(_multi);
    }

    bool add(CURL *easy) { return curl_multi_add_handle(_multi, easy) == CURLM_OK; }
    void remove(CURL *easy) { curl_multi_remove_handle(_multi, easy); }

private:
    struct Watch {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
        // Notifiers may be in the middle of their own signal: let the loop delete them.
        void release()
        {
            for (auto *notifier : {read.release(), write.release()}) {
                if (notifier) {
                    notifier->setEnabled(false);
                    notifier->deleteLater();
                }
            }
        }
    };

    explicit CurlMultiDriver(QObject *parent) : QObject(parent), _multi(curl_multi_init())
    {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        curl_multi_setopt(_multi, CURLMOPT_SOCKETFUNCTION, &CurlMultiDriver::socketCallback);
        curl_multi_setopt(_multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(_multi, CURLMOPT_TIMERFUNCTION, &CurlMultiDriver::timerCallback);
        curl_multi_setopt(_multi, CURLMOPT_TIMERDATA, this);
        _timer.setSingleShot(true);
        connect(&_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    }

    static int socketCallback(CURL *, curl_socket_t socket, int what, void *driverPointer, void *)
    {
        auto *driver = static_cast<CurlMultiDriver *>(driverPointer);
        if (what == CURL_POLL_REMOVE) {
            const auto it = driver->_sockets.find(socket);
            if (it != driver->_sockets.end()) {
                it->second.release();
                driver->_sockets.erase(it);
            }
            return 0;
        }
        Watch &watch = driver->_sockets[socket];
        const bool wantsRead = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
        const bool wantsWrite = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
        driver->watch(watch.read, socket, QSocketNotifier::Read, wantsRead, CURL_CSELECT_IN);
        driver->watch(watch.write, socket, QSocketNotifier::Write, wantsWrite, CURL_CSELECT_OUT);
        return 0;
    }

    void watch(std::unique_ptr<QSocketNotifier> &notifier, curl_socket_t socket, QSocketNotifier::Type type,
               bool wanted, int selectFlag)
    {
        if (!wanted) {
            if (notifier)
                notifier->setEnabled(false);
            return;
        }
        if (!notifier) {
            notifier = std::make_unique<QSocketNotifier>(qintptr(socket), type);
            connect(notifier.get(), &QSocketNotifier::activated, this,
                    [this, socket, selectFlag] { act(socket, selectFlag); });
        }
        notifier->setEnabled(true);
    }

    static int timerCallback(CURLM *, long milliseconds, void *driverPointer)
    {
        auto *driver = static_cast<CurlMultiDriver *>(driverPointer);
        if (milliseconds < 0)
            driver->_timer.stop();
        else
            driver->_timer.start(int(milliseconds));
        return 0;
    }

    void act(curl_socket_t socket, int flags)
    {
        int running = 0;
        curl_multi_socket_action(_multi, socket, flags, &running);
        collectFinishedTransfers();
    }

    void collectFinishedTransfers();

    CURLM *_multi;
    QTimer _timer;
    std::map<curl_socket_t, Watch> _sockets;
};

} // namespace

// One transfer: its curl handle, the response as curl delivers it, the file it writes and the
// events waiting for the main loop. Curl callbacks only fill it; the delegate hears of it later.
struct ZRDownloadWorker::Transfer {
    enum class EventKind { response, bytes, finished, failed };
    struct Event {
        Event(EventKind eventKind, qint64 byteCount = 0, ZRHTTPErrorPtr failure = nullptr)
            : kind(eventKind), count(byteCount), error(std::move(failure))
        {
        }
        EventKind kind;
        qint64 count;
        ZRHTTPErrorPtr error;
    };

    ZRDownloadWorker *worker;
    quint64 serial;
    CURL *easy = nullptr;
    curl_slist *headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    bool inMulti = false;
    bool isFileURL = false;
    std::unique_ptr<QTimer> idleTimer;

    // The response: headers of the latest response block; captured at the first body byte.
    ZRHTTPHeaders headers;
    bool responseCaptured = false;
    bool decided = false;
    bool writeBody = false;
    bool paused = false;
    bool ended = false;
    qint64 statusCode = -1;
    QUrl responseURL;
    qint64 contentLength = 0;
    QString suggestedFilename;

    // The file.
    int fd = -1;
    QString destinationPath;
    bool destinationIsFragment = false;

    std::deque<Event> events;

    Transfer(ZRDownloadWorker *owner, quint64 number) : worker(owner), serial(number) {}

    ~Transfer()
    {
        if (inMulti) {
            if (CurlMultiDriver *driver = CurlMultiDriver::shared())
                driver->remove(easy);
        }
        if (easy)
            curl_easy_cleanup(easy);
        curl_slist_free_all(headerList);
        if (fd >= 0)
            ZRSystem().close(fd);
    }

    void touch()
    {
        if (idleTimer && !ended)
            idleTimer->start();
    }

    void post(Event event)
    {
        if (event.kind == EventKind::bytes && !events.empty() && events.back().kind == EventKind::bytes) {
            events.back().count += event.count;
            return;
        }
        const bool wasEmpty = events.empty();
        events.push_back(std::move(event));
        if (wasEmpty)
            schedule();
    }

    void schedule()
    {
        CurlMultiDriver *driver = CurlMultiDriver::shared();
        if (!driver)
            return;
        std::weak_ptr<ZRDownloadWorkerPrototype> weakWorker = worker->weak_from_this();
        const quint64 number = serial;
        QMetaObject::invokeMethod(driver, [weakWorker, number] {
            ZRDownloadWorker *raw = nullptr;
            {
                const auto strong = std::static_pointer_cast<ZRDownloadWorker>(weakWorker.lock());
                if (!strong || !strong->_download || strong->_download->serial != number)
                    return;
                raw = strong.get();
            }
            // Someone else still owns the worker; no strong reference is held here, so that an owner
            // letting go during the delegate call is noticed and the worker ends with it.
            raw->handleNextEvent();
        }, Qt::QueuedConnection);
    }

    void captureResponse()
    {
        if (responseCaptured)
            return;
        responseCaptured = true;
        if (isFileURL) {
            post({EventKind::response});
            return;
        }
        long code = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
        statusCode = code <= 0 ? -1 : qint64(code);
        char *effective = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
        responseURL = effective ? QUrl::fromEncoded(QByteArray(effective)) : worker->URL();
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        contentLength = length > 0 ? qint64(length) : 0;
        suggestedFilename =
            filenameFromContentDisposition(ZRDownloadWorkerHeaders::value(headers, "Content-Disposition"));
        if (suggestedFilename.isEmpty())
            suggestedFilename = ZRExtensions::filename(responseURL);
        post({EventKind::response});
    }

    void completed(CURLcode result)
    {
        inMulti = false;
        if (ended)
            return;
        ended = true;
        if (idleTimer)
            idleTimer->stop();
        if (result == CURLE_OK) {
            captureResponse();
            post({EventKind::finished});
            return;
        }
        if (result == CURLE_OPERATION_TIMEDOUT) {
            post({EventKind::failed, 0, ZRHTTPError::requestTimedOutError()});
            return;
        }
        QString message = QString::fromUtf8(curl_easy_strerror(result));
        if (errorBuffer[0] != '\0')
            message += QLatin1String(": ") + QString::fromUtf8(errorBuffer);
        const auto underlying = ZRHTTPError::make(int(result), message.toStdString(), nullptr, ZRHTTPTransportErrorDomain);
        post({EventKind::failed, 0,
              ZRHTTPError::make(ZRHTTPConnectionFailureErrorCode, ZRHTTPErrorMessage::connectionFailure, underlying)});
    }

    void timedOut()
    {
        if (ended)
            return;
        ended = true;
        post({EventKind::failed, 0, ZRHTTPError::requestTimedOutError()});
    }

    static size_t headerCallback(char *buffer, size_t size, size_t count, void *transferPointer)
    {
        auto *transfer = static_cast<Transfer *>(transferPointer);
        const size_t length = size * count;
        transfer->touch();
        const QByteArray line = QByteArray(buffer, qsizetype(length)).trimmed();
        if (line.startsWith("HTTP/")) {
            // A new response (after a redirect or an interim answer) replaces the headers.
            transfer->headers.clear();
        } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
            const std::string name = line.left(colon).trimmed().toStdString();
            const std::string value = line.mid(colon + 1).trimmed().toStdString();
            auto [it, inserted] = transfer->headers.emplace(name, value);
            if (!inserted)
                it->second += ", " + value;
        }
        return length;
    }

    static size_t writeCallback(char *data, size_t size, size_t count, void *transferPointer)
    {
        auto *transfer = static_cast<Transfer *>(transferPointer);
        const size_t length = size * count;
        if (transfer->ended)
            return 0;
        transfer->touch();
        if (!transfer->decided) {
            // Hold the body until the delegate has seen the response and the file is chosen.
            transfer->captureResponse();
            transfer->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (!transfer->writeBody)
            return length;
        if (!writeAllToFile(transfer->fd, data, qint64(length))) {
            transfer->ended = true;
            transfer->post({EventKind::failed, 0, transfer->worker->cannotWriteError(errno)});
            return 0;
        }
        transfer->post({EventKind::bytes, qint64(length)});
        return length;
    }
};

namespace {

void CurlMultiDriver::collectFinishedTransfers()
{
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(_multi, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL *easy = message->easy_handle;
        const CURLcode result = message->data.result;
        curl_multi_remove_handle(_multi, easy);
        char *transferPointer = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transferPointer);
        if (transferPointer)
            reinterpret_cast<ZRDownloadWorker::Transfer *>(transferPointer)->completed(result);
    }
}

quint64 nextTransferSerial()
{
    static quint64 serial = 0;
    return ++serial;
}

} // namespace

ZRDownloadWorker::ZRDownloadWorker() = default;

ZRDownloadWorker::~ZRDownloadWorker()
{
    cancelTransfer();
}

QString ZRDownloadWorker::destinationPath() const
{
    return _download ? _download->destinationPath : QString();
}

ZRHTTPErrorPtr ZRDownloadWorker::cannotWriteError(int posixCode) const
{
    return workerError(ZRDownloadWorkerCannotWriteErrorCode,
                       QStringLiteral("%1 cannot write to intermediate file").arg(description()), posixCode);
}

bool ZRDownloadWorker::startWithURL(const QUrl &url, const QString &method, const QString &range,
                                    const std::optional<QVariantMap> &headers,
                                    const std::optional<QVariantMap> &additionalHeaders, const QByteArray &body,
                                    const QString &referer, double timeOut)
{
    if (_download)
        return false;
    CurlMultiDriver *driver = CurlMultiDriver::shared();
    if (!driver || weak_from_this().expired()) {
        ZRLog(QStringLiteral("cannot start %1 without an event loop and an owner").arg(description()));
        return false;
    }
    auto transfer = std::make_unique<Transfer>(this, nextTransferSerial());
    Transfer &t = *transfer;
    t.easy = curl_easy_init();
    if (!t.easy)
        return false;
    t.isFileURL = url.isLocalFile();

    CURL *easy = t.easy;
    const QByteArray encodedURL = url.toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, encodedURL.constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Never a proxy from the environment.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,file");
    // A web server must not be able to send us to a local file.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(timeOut * 1000));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t.errorBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::headerCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::writeCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
    // The content is stored as it comes: no Accept-Encoding, no decoding.

    if (!method.isEmpty() && method.compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0) {
        const QByteArray verb = method.toUpper().toLatin1();
        if (verb == "POST")
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
        else if (verb == "HEAD")
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        else
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.constData());
    }
    if (!body.isNull()) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.constData());
    }

    // The request's header fields: the complete set, or the additional ones.
    ZRHTTPHeaders fields;
    const std::optional<QVariantMap> &given = headers ? headers : additionalHeaders;
    if (given) {
        for (auto it = given->constBegin(); it != given->constEnd(); ++it)
            fields[it.key().toStdString()] = it.value().toString().toStdString();
    }
    if (fields.find(std::string_view("User-Agent")) == fields.end()) {
        const std::optional<QString> userAgent = userAgentForURL(url);
        ZRLogDebug(QStringLiteral("user agent: %1").arg(userAgent.value_or(QStringLiteral("(none)"))));
        if (userAgent)
            fields["User-Agent"] = userAgent->toStdString();
    }
    if (!referer.isEmpty())
        fields["Referer"] = referer.toStdString();
    if (!range.isEmpty()) {
        if (t.isFileURL) {
            const QByteArray fileRange = range.mid(range.indexOf(QLatin1Char('=')) + 1).toLatin1();
            curl_easy_setopt(easy, CURLOPT_RANGE, fileRange.constData());
        } else {
            fields["Range"] = range.toStdString();
            const QString ifRange = ifRangeValueForRange(range);
            if (!ifRange.isEmpty())
                fields["If-Range"] = ifRange.toStdString();
        }
    }
    for (const auto &[name, value] : fields) {
        // A line break in a field would end it early and smuggle others onto the wire.
        if (!ZRHTTPHeaderFields::isSafeHeaderText(name) || !ZRHTTPHeaderFields::isSafeHeaderText(value)
            || name.empty()) {
            ZRLog(QStringLiteral("%1 cannot send unsafe header field %2")
                      .arg(description(), QString::fromStdString(name).toHtmlEscaped()));
            continue;
        }
        // "Name;" sends a field with an empty value; "Name:" would remove curl's own.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        t.headerList = curl_slist_append(t.headerList, line.c_str());
    }
    // Without a User-Agent field curl sends none, as "-" asks.
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t.headerList);

    t.idleTimer = std::make_unique<QTimer>();
    t.idleTimer->setSingleShot(true);
    t.idleTimer->setInterval(int(timeOut * 1000));
    Transfer *raw = &t;
    QObject::connect(t.idleTimer.get(), &QTimer::timeout, t.idleTimer.get(), [raw] { raw->timedOut(); });

    if (t.isFileURL) {
        // A local file answers at once: settle the name and the file before curl reads a byte, so
        // that nothing has to be held in memory meanwhile.
        if (!prepareFileResponse(t, range))
            return false;
        _download = std::move(transfer);
        raw->captureResponse();
        return true;
    }
    if (!driver->add(easy))
        return false;
    t.inMulti = true;
    t.idleTimer->start();
    _download = std::move(transfer);
    return true;
}

bool ZRDownloadWorker::prepareFileResponse(Transfer &t, const QString &range)
{
    const QString path = URL().toLocalFile();
    struct stat info {};
    if (stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        ZRLog(QStringLiteral("cannot read <%1>").arg(path));
        return false;
    }
    qint64 from = 0, end = qint64(info.st_size) - 1;
    if (!range.isEmpty()) {
        const QString bytes = range.mid(range.indexOf(QLatin1Char('=')) + 1);
        from = bytes.section(QLatin1Char('-'), 0, 0).toLongLong();
        const QString last = bytes.section(QLatin1Char('-'), 1, 1);
        if (!last.isEmpty())
            end = std::min(end, last.toLongLong());
    }
    t.statusCode = -1;
    t.responseURL = URL();
    t.contentLength = std::max<qint64>(0, end - from + 1);
    t.suggestedFilename = ZRExtensions::filename(URL());
    return true;
}

void ZRDownloadWorker::handleNextEvent()
{
    Transfer *t = _download.get();
    if (!t || t->events.empty())
        return;
    const Transfer::Event event = t->events.front();
    t->events.pop_front();
    if (!t->events.empty())
        t->schedule();

    switch (event.kind) {
    case Transfer::EventKind::response:
        decideOnResponse();
        return;
    case Transfer::EventKind::bytes:
        processDownloadedBytes(event.count);
        return;
    case Transfer::EventKind::finished:
        cancelTransfer();
        finish();
        return;
    case Transfer::EventKind::failed:
        cancelTransfer();
        failWithError(event.error);
        return;
    }
}

void ZRDownloadWorker::decideOnResponse()
{
    Transfer *t = _download.get();
    const quint64 serial = t->serial;
    // The delegate hears no header fields from this worker; it learns the status and the name.
    if (!processResponseHeaders(t->headers, t->responseURL, t->statusCode, t->contentLength,
                                t->suggestedFilename, false))
        return;
    if (!_download || _download->serial != serial)
        return;
    if (responseRefusesRequestedRange()) {
        ZRLogDebug(QStringLiteral("%1 got a %2 for bytes from %3: nothing written")
                       .arg(description())
                       .arg(t->statusCode)
                       .arg(requestedFromByte()));
        failAndCancel(rangeNotHonouredError());
        return;
    }
    t->writeBody = shouldWriteResponseBody();
    if (t->writeBody && !openDestination())
        return;
    t->decided = true;
    if (!t->inMulti) {
        CurlMultiDriver *driver = CurlMultiDriver::shared();
        if (!driver || !driver->add(t->easy)) {
            failAndCancel(ZRHTTPError::unableToCreateRequestError());
            return;
        }
        t->inMulti = true;
        t->idleTimer->start();
    } else if (t->paused) {
        t->paused = false;
        curl_easy_pause(t->easy, CURLPAUSE_CONT);
    }
}

bool ZRDownloadWorker::openDestination()
{
    Transfer *t = _download.get();
    const quint64 serial = t->serial;
    const AliveCheck alive(this);
    const QString target = targetPathByFallingBackToDelegate();
    if (!alive.isAlive() || !_download || _download->serial != serial)
        return false;
    if (target.isEmpty()) {
        failAndCancel(workerError(ZRDownloadWorkerMissingTargetErrorCode,
                                  QStringLiteral("%1 missing target path").arg(description())));
        return false;
    }
    int fd = -1;
    QString path = target;
    if (resumeByteOffset() > 0) {
        // A resumed transfer never touches what is on disk: it writes the next free fragment.
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            path = ZRExtensions::availablePathWithCurrentPath(target, QString(), resumeFragmentCounterPrefix, false);
            fd = openFileForWriting(path, O_CREAT | O_EXCL);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        t->destinationIsFragment = true;
    } else {
        fd = openFileForWriting(path, O_CREAT | O_TRUNC);
    }
    if (fd < 0) {
        const int error = errno;
        ZRLog(QStringLiteral("cannot open <%1> for writing: %2").arg(path, QString::fromLocal8Bit(strerror(error))));
        failAndCancel(cannotWriteError(error));
        return false;
    }
    t->fd = fd;
    t->destinationPath = path;
    return true;
}

bool ZRDownloadWorker::truncateAtOffset(qint64 offset)
{
    Transfer *t = _download.get();
    if (!t || t->ended)
        return false;
    // Check the file first: when it cannot be cut, the transfer goes on by itself.
    const qint64 fileOffset = t->destinationIsFragment ? std::max<qint64>(0, offset - resumeByteOffset()) : offset;
    int fd = -1;
    bool ownsDescriptor = false;
    if (t->fd >= 0) {
        fd = t->fd;
    } else {
        const QString path = targetPath();
        if (path.isEmpty())
            return false;
        fd = openFileForWriting(path, 0);
        ownsDescriptor = true;
        if (fd < 0)
            return false;
    }
    const bool cut = ftruncate(fd, fileOffset) == 0;
    if (ownsDescriptor)
        ZRSystem().close(fd);
    if (!cut) {
        ZRLog(QStringLiteral("cannot truncate <%1>: %2").arg(destinationPath(), QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    cancelTransfer();
    return ZRDownloadWorkerPrototype::truncateAtOffset(offset);
}

void ZRDownloadWorker::cancelTransfer()
{
    _download.reset();
}

void ZRDownloadWorker::failAndCancel(const ZRHTTPErrorPtr &error)
{
    cancelTransfer();
    failWithError(error);
}
