// The worker contract: range header, time-out, user agents, suggested names and event forwarding.
#include "core/download/ZRDownloadWorkerPrototype.h"

#include "core/download/ZRDownloadWorker.h"
#include "core/download/ZRHTTPRequestDownloadWorker.h"
#include "core/foundation/ZRLog.h"
#include "core/foundation/ZRSystemCalls.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/http/ZRDataDecompressor.h"
#include "core/http/ZRHTTPRequest.h"
#include "core/text/ZRStringExtensions.h"

#include <QCoreApplication>
#include <QFile>
#include <QMimeDatabase>
#include <QMimeType>
#include <QSysInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

ZRUserDefaults &defaults()
{
    return ZRUserDefaults::standardUserDefaults();
}

// The part of a name after its last dot; a leading dot ("._x") or a trailing one gives none.
QString pathExtension(const QString &name)
{
    const QString last = name.section(QLatin1Char('/'), -1);
    const qsizetype dot = last.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == last.size() - 1)
        return {};
    return last.mid(dot + 1);
}

QString machineArchitecture()
{
    struct utsname names {};
    if (uname(&names) == 0 && names.machine[0] != '\0')
        return QString::fromLocal8Bit(names.machine);
    return QSysInfo::currentCpuArchitecture();
}

// "bytes a-b/t" or "bytes a-b/*": start, end and total (-1 for "*"); false when malformed.
bool parseContentRange(const QString &value, qint64 *start, qint64 *end, qint64 *total)
{
    QString text = value.trimmed();
    if (!text.startsWith(QLatin1String("bytes"), Qt::CaseInsensitive))
        return false;
    text = text.mid(5).trimmed();
    const qsizetype dash = text.indexOf(QLatin1Char('-'));
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    if (dash <= 0 || slash <= dash)
        return false;
    bool ok1 = false, ok2 = false, ok3 = true;
    *start = text.left(dash).trimmed().toLongLong(&ok1);
    *end = text.mid(dash + 1, slash - dash - 1).trimmed().toLongLong(&ok2);
    const QString totalText = text.mid(slash + 1).trimmed();
    *total = totalText == QLatin1String("*") ? -1 : totalText.toLongLong(&ok3);
    return ok1 && ok2 && ok3 && *start >= 0 && *end >= *start;
}

bool isSuccessStatus(qint64 statusCode)
{
    return statusCode >= 200 && statusCode <= 299;
}

} // namespace

ZRDownloadWorkerPrototype::~ZRDownloadWorkerPrototype() = default;

// --- Class operations ---

qint64 ZRDownloadWorkerPrototype::extensionPolicy()
{
    return defaults().integerForKey(ZRDownloadWorkerDefaultsKeys::FilenameExtensionPolicy);
}

void ZRDownloadWorkerPrototype::setExtensionPolicy(qint64 policy)
{
    defaults().setInteger(policy, ZRDownloadWorkerDefaultsKeys::FilenameExtensionPolicy);
}

QString ZRDownloadWorkerPrototype::defaultUserAgent()
{
    // A download page that picks its file by the visitor's platform must see Linux.
    static const QString userAgent = [] {
        QString name = QCoreApplication::applicationName();
        if (name.isEmpty())
            name = QStringLiteral("Quorvel");
        QString version = QCoreApplication::applicationVersion();
        if (version.isEmpty())
            version = QStringLiteral("1.0");
        return QStringLiteral("Mozilla/5.0 (X11; Linux %1) Version/%2 %3/%4")
            .arg(machineArchitecture(), version, name, version);
    }();
    return userAgent;
}

std::optional<QString> ZRDownloadWorkerPrototype::userAgentForURL(const QUrl &url)
{
    const QString custom = defaults().stringForKey(ZRDownloadWorkerDefaultsKeys::CustomUserAgent);
    if (!custom.isEmpty()) {
        if (custom == QLatin1String("-"))
            return std::nullopt;
        return custom;
    }
    // The trailer site hands its movies only to a player it knows.
    static const QString trailerSiteMarker = QStringLiteral("://trailers.apple.com/");
    if (url.toString().contains(trailerSiteMarker, Qt::CaseInsensitive))
        return QStringLiteral("QuickTime/7.6.6 ") + defaultUserAgent();
    return defaultUserAgent();
}

ZRDownloadWorkerPtr ZRDownloadWorkerPrototype::downloadWorkerForURL(const QUrl &url)
{
    ZRDownloadWorkerPtr worker;
    if (ZRHTTPRequestDownloadWorker::isAvailable() && !url.isLocalFile())
        worker = std::make_shared<ZRHTTPRequestDownloadWorker>();
    else
        worker = std::make_shared<ZRDownloadWorker>();
    worker->setURL(url);
    return worker;
}

ZRDownloadWorkerPtr ZRDownloadWorkerPrototype::downloadWorkerWithDownloadWorker(const ZRDownloadWorkerPrototype *worker)
{
    if (!worker)
        return nullptr;
    ZRDownloadWorkerPtr copy;
    if (dynamic_cast<const ZRHTTPRequestDownloadWorker *>(worker))
        copy = std::make_shared<ZRHTTPRequestDownloadWorker>();
    else if (dynamic_cast<const ZRDownloadWorker *>(worker))
        copy = std::make_shared<ZRDownloadWorker>();
    else
        copy = std::make_shared<ZRDownloadWorkerPrototype>();
    copy->_delegate = worker->_delegate;
    copy->_url = worker->_url;
    copy->_requestMethod = worker->_requestMethod;
    copy->_requestHeaders = worker->_requestHeaders;
    copy->_additionalRequestHeaders = worker->_additionalRequestHeaders;
    copy->_requestBody = worker->_requestBody;
    copy->_referer = worker->_referer;
    copy->_targetPath = worker->_targetPath;
    // The same file: its fractions must be checked against the same version.
    copy->_rangeValidator = worker->_rangeValidator;
    copy->_expectedTotalBytes = worker->_expectedTotalBytes;
    return copy;
}

QString ZRDownloadWorkerPrototype::filenameByApplyingExtensionPolicy(const QString &suggestedFilename,
                                                                     const QString &contentType, qint64 policy)
{
    const QString extension = pathExtension(suggestedFilename);
    if (policy < 1 || policy > 3 || (policy == 1 && !extension.isEmpty()))
        return suggestedFilename;
    const QString mimeName = contentType.section(QLatin1Char(';'), 0, 0).trimmed();
    if (mimeName.isEmpty())
        return suggestedFilename;
    // The MIME database stands in for type identifiers: a type's canonical name is its identity.
    const QMimeDatabase database;
    const QMimeType mimeType = database.mimeTypeForName(mimeName);
    if (!mimeType.isValid())
        return suggestedFilename;
    if (policy == 2 && !extension.isEmpty()) {
        const QList<QMimeType> typesOfExtension =
            database.mimeTypesForFileName(QStringLiteral("name.") + extension);
        for (const QMimeType &type : typesOfExtension) {
            if (type.name().compare(mimeType.name(), Qt::CaseInsensitive) == 0)
                return suggestedFilename;
        }
    }
    const QString preferred = mimeType.preferredSuffix();
    if (!preferred.isEmpty() && (extension.isEmpty() || extension != preferred))
        return ZRExtensions::cleanFilename(suggestedFilename) + QLatin1Char('.') + preferred;
    return suggestedFilename;
}

QString ZRDownloadWorkerPrototype::filenameFromContentDisposition(const QString &contentDisposition)
{
    const qsizetype at = contentDisposition.indexOf(QLatin1String("filename"), 0, Qt::CaseInsensitive);
    if (at < 0)
        return {};
    QString name = contentDisposition.mid(at + 8).trimmed();
    // "filename*=" (the extended form) and a bare "filename" give no name.
    if (name.size() <= 1 || !name.startsWith(QLatin1Char('=')))
        return {};
    name = name.mid(1).trimmed();
    const QChar first = name.isEmpty() ? QChar() : name.at(0);
    if (first == QLatin1Char('"') || first == QLatin1Char('\'')) {
        // The quoted string ends at its closing quote, so parameters behind it stay out of the name.
        QString unquoted;
        bool closed = false;
        for (qsizetype i = 1; i < name.size(); ++i) {
            const QChar c = name.at(i);
            if (c == QLatin1Char('\\') && first == QLatin1Char('"') && i + 1 < name.size()) {
                unquoted += name.at(++i);
            } else if (c == first) {
                closed = true;
                break;
            } else {
                unquoted += c;
            }
        }
        if (closed)
            return unquoted.trimmed();
        // An unterminated quote: the value as it stands, up to the next parameter.
        name = name.mid(1);
    }
    // An unquoted value ends where the next parameter begins.
    return name.section(QLatin1Char(';'), 0, 0).trimmed();
}

QString ZRDownloadWorkerPrototype::validatorFromResponseHeaders(const ZRHTTPHeaders &headers)
{
    // A weak entity tag may not be used with If-Range; the date still works.
    const QString etag = ZRDownloadWorkerHeaders::value(headers, "ETag").trimmed();
    if (!etag.isEmpty() && !etag.startsWith(QLatin1String("W/")))
        return etag;
    return ZRDownloadWorkerHeaders::value(headers, "Last-Modified").trimmed();
}

QString ZRDownloadWorkerPrototype::rangeHeaderValue(qint64 fromByte, qint64 endByte)
{
    if (endByte > 0)
        return QStringLiteral("bytes=%1-%2").arg(fromByte).arg(endByte);
    if (fromByte > 0)
        return QStringLiteral("bytes=%1-").arg(fromByte);
    return {};
}

double ZRDownloadWorkerPrototype::requestTimeoutInterval()
{
    const qint64 seconds = defaults().integerForKey(ZRDownloadWorkerDefaultsKeys::RequestTimeoutInterval);
    return seconds >= 1 ? double(seconds) : 60.0;
}

// --- Instance operations ---

QString ZRDownloadWorkerPrototype::description() const
{
    return QStringLiteral("<%1: 0x%2>")
        .arg(QLatin1String(className()))
        .arg(quintptr(this), 0, 16);
}

QString ZRDownloadWorkerPrototype::targetPathByFallingBackToDelegate(bool wholeBody)
{
    if (_targetPath.isEmpty() && _delegate)
        _targetPath = wholeBody ? _delegate->targetPathForWholeBodyOfDownloadWorker(*this)
                                : _delegate->targetPathForDownloadWorker(*this);
    return _targetPath;
}

bool ZRDownloadWorkerPrototype::start()
{
    if (_url.isEmpty() || !_url.isValid()) {
        _status = ZRWorkerStatusFailed;
        return false;
    }
    const qint64 from = _fractionStartByte + _resumeByteOffset;
    const QString range = rangeHeaderValue(from, _endByte);
    _requestedFromByte = range.isEmpty() ? -1 : from;
    _requestedEndByte = _endByte;
    _responseHonoursRequestedRange = true;
    _responseStatusCode = 0;
    const bool started = startWithURL(_url, _requestMethod, range, _requestHeaders, _additionalRequestHeaders,
                                      _requestBody, _referer, requestTimeoutInterval());
    _status = started ? ZRWorkerStatusRunning : ZRWorkerStatusFailed;
    return started;
}

bool ZRDownloadWorkerPrototype::startWithURL(const QUrl &, const QString &, const QString &,
                                             const std::optional<QVariantMap> &, const std::optional<QVariantMap> &,
                                             const QByteArray &, const QString &, double)
{
    // The core has no speaker; the log line is the alarm.
    ZRLog(QStringLiteral("you're not supposed to start a ZRDownloadWorkerPrototype"));
    return false;
}

bool ZRDownloadWorkerPrototype::truncateAtOffset(qint64 offset)
{
    // The offset is in the whole file; what this transfer brought ends there.
    _downloadedBytes = std::max<qint64>(0, offset - _fractionStartByte - _resumeByteOffset);
    _status = ZRWorkerStatusTruncated;
    finish();
    return true;
}

void ZRDownloadWorkerPrototype::reset()
{
    _targetPath.clear();
    _expectedBytes = 0;
    _downloadedBytes = 0;
    if (_delegate)
        _delegate->resetProgressForDownloadWorker(*this);
}

bool ZRDownloadWorkerPrototype::processResponseHeaders(const ZRHTTPHeaders &headers, const QUrl &url,
                                                       qint64 statusCode, qint64 expectedContentLength,
                                                       const QString &suggestedFilename, bool reportHeaders)
{
    ZRLogDebug(QStringLiteral("<%1>\n- status code: %2\n- response headers: %3")
                   .arg(url.toString())
                   .arg(statusCode)
                   .arg(ZRDownloadWorkerHeaders::description(headers)));
    _expectedBytes = expectedContentLength;
    evaluateResponseRange(headers, statusCode, expectedContentLength);

    const QString name = filenameByApplyingExtensionPolicy(
        suggestedFilename, ZRDownloadWorkerHeaders::value(headers, "Content-Type"), extensionPolicy());

    const AliveCheck alive(this);
    if (_delegate)
        _delegate->downloadWorkerDidReceiveResponseHeaders(*this, reportHeaders ? headers : ZRHTTPHeaders(), url,
                                                           statusCode, name);
    return alive.isAlive();
}

void ZRDownloadWorkerPrototype::evaluateResponseRange(const ZRHTTPHeaders &headers, qint64 statusCode,
                                                      qint64 expectedContentLength)
{
    _responseStatusCode = statusCode;
    _responseHonoursRequestedRange = true;
    _responseValidator.clear();
    _responseTotalBytes = 0;
    if (!isSuccessStatus(statusCode))
        return;
    _responseValidator = validatorFromResponseHeaders(headers);

    qint64 start = 0, end = 0, total = -1;
    const bool hasRange = statusCode == 206
        && parseContentRange(ZRDownloadWorkerHeaders::value(headers, "Content-Range"), &start, &end, &total);
    if (statusCode == 206)
        _responseTotalBytes = hasRange && total > 0 ? total : 0;
    else
        _responseTotalBytes = expectedContentLength > 0 ? expectedContentLength : 0;

    if (_requestedFromByte < 0)
        return;
    if (statusCode != 206) {
        // The server sent the whole file (or a changed one, after If-Range) instead of the range.
        _responseHonoursRequestedRange = false;
        return;
    }
    // Appending bytes from elsewhere, or from another version of the file, would splice two files.
    // A server that ignores "If-Range" still names the version it sends.
    if (!hasRange || start != _requestedFromByte || (_requestedEndByte > 0 && end > _requestedEndByte) ||
        (_expectedTotalBytes > 0 && total >= 0 && total != _expectedTotalBytes) ||
        !responseValidatorMatchesRangeValidator(headers))
        _responseHonoursRequestedRange = false;
}

bool ZRDownloadWorkerPrototype::responseValidatorMatchesRangeValidator(const ZRHTTPHeaders &headers) const
{
    if (_rangeValidator.isEmpty())
        return true;
    const auto opaqueTag = [](const QString &tag) {
        return tag.startsWith(QLatin1String("W/")) ? tag.mid(2) : tag;
    };
    if (_rangeValidator.startsWith(QLatin1Char('"')) || _rangeValidator.startsWith(QLatin1String("W/"))) {
        const QString etag = ZRDownloadWorkerHeaders::value(headers, "ETag").trimmed();
        return etag.isEmpty() || opaqueTag(etag) == opaqueTag(_rangeValidator);
    }
    const QString lastModified = ZRDownloadWorkerHeaders::value(headers, "Last-Modified").trimmed();
    if (lastModified.isEmpty() || lastModified == _rangeValidator)
        return true;
    // The same moment may be written another way.
    const auto stated = ZRHTTPRequest::dateFromRFC1123String(lastModified.toStdString());
    const auto stored = ZRHTTPRequest::dateFromRFC1123String(_rangeValidator.toStdString());
    return stated && stored && *stated == *stored;
}

bool ZRDownloadWorkerPrototype::shouldWriteResponseBody() const
{
    // A file URL has no status; its range is always honoured.
    if (_responseStatusCode == -1)
        return true;
    if (!isSuccessStatus(_responseStatusCode))
        return false;
    if (_responseHonoursRequestedRange)
        return true;
    // A whole body is fine once the delegate has taken the transfer back to the file's start.
    return _responseStatusCode != 206 && _fractionStartByte + _resumeByteOffset == 0 && _endByte <= 0;
}

bool ZRDownloadWorkerPrototype::responseRefusesRequestedRange() const
{
    return isSuccessStatus(_responseStatusCode) && !shouldWriteResponseBody();
}

QString ZRDownloadWorkerPrototype::ifRangeValueForRange(const QString &range) const
{
    return range.isEmpty() ? QString() : _rangeValidator;
}

ZRHTTPErrorPtr ZRDownloadWorkerPrototype::rangeNotHonouredError() const
{
    return workerError(ZRDownloadWorkerRangeNotHonouredErrorCode,
                       QStringLiteral("%1 cannot resume: the server did not send the requested bytes of the same file")
                           .arg(description()));
}

ZRHTTPErrorPtr ZRDownloadWorkerPrototype::workerError(int code, const QString &message, int posixCode)
{
    ZRHTTPErrorPtr underlying;
    if (posixCode != 0)
        underlying = ZRHTTPError::make(posixCode, std::strerror(posixCode), nullptr, ZRPOSIXErrorDomain);
    return ZRHTTPError::make(code, message.toStdString(), underlying, ZRDownloadWorkerErrorDomain);
}

int ZRDownloadWorkerPrototype::openFileForWriting(const QString &path, int extraFlags, struct stat *info)
{
    const QByteArray encoded = QFile::encodeName(path);
    const int fd = ZRSystem().open(encoded.constData(),
                                   O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | extraFlags, 0644);
    if (fd < 0)
        return -1;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ZRSystem().close(fd);
        errno = EINVAL;
        return -1;
    }
    // Of the status flags only the ones asked for stay: writes block again.
    fcntl(fd, F_SETFL, extraFlags & O_APPEND);
    if (info)
        *info = status;
    return fd;
}

bool ZRDownloadWorkerPrototype::writeAllToFile(int fd, const char *data, qint64 length)
{
    return length >= 0 && ZRWriteAll(fd, data, size_t(length));
}

bool ZRDownloadWorkerPrototype::processDownloadedBytes(qint64 count)
{
    _downloadedBytes += count;
    const AliveCheck alive(this);
    if (_delegate)
        _delegate->downloadWorkerDidReceiveBytes(*this, count);
    return alive.isAlive();
}

void ZRDownloadWorkerPrototype::failWithError(const ZRHTTPErrorPtr &error)
{
    _status = ZRWorkerStatusFailed;
    if (_delegate)
        _delegate->downloadWorkerDidFailWithError(*this, error);
}

void ZRDownloadWorkerPrototype::finish()
{
    if (_status != ZRWorkerStatusTruncated)
        _status = ZRWorkerStatusFinished;
    if (_delegate)
        _delegate->downloadWorkerDidFinish(*this);
}

// --- Headers ---

QString ZRDownloadWorkerHeaders::value(const ZRHTTPHeaders &headers, const char *name)
{
    const auto it = headers.find(std::string_view(name));
    if (it == headers.end())
        return {};
    return QString::fromStdString(it->second);
}

QString ZRDownloadWorkerHeaders::description(const ZRHTTPHeaders &headers)
{
    QStringList lines;
    for (const auto &[name, value] : headers)
        lines << QString::fromStdString(name) + QLatin1String(": ") + QString::fromStdString(value);
    return QLatin1String("{") + lines.join(QLatin1String("; ")) + QLatin1String("}");
}
