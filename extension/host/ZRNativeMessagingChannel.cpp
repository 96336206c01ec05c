#include "extension/host/ZRNativeMessagingChannel.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::optional<ZRNativeMessagingChannel> ZRNativeMessagingChannel::openStandardStreams()
{
    const int output = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (output < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return std::nullopt;
    return ZRNativeMessagingChannel(STDIN_FILENO, output);
}

bool ZRNativeMessagingChannel::readFully(char *buffer, size_t length, size_t *got)
{
    *got = 0;
    while (*got < length) {
        const ssize_t count = ::read(_input, buffer + *got, length - *got);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        *got += size_t(count);
    }
    return true;
}

ZRNativeMessagingChannel::ReadResult ZRNativeMessagingChannel::readMessage(QJsonObject *message)
{
    uint32_t length = 0;
    size_t got = 0;
    if (!readFully(reinterpret_cast<char *>(&length), sizeof length, &got))
        return got == 0 ? ReadResult::End : ReadResult::Truncated;
    // Refused before anything is allocated for it.
    if (length > MaximumMessageLength)
        return ReadResult::Oversized;
    QByteArray bytes(qsizetype(length), Qt::Uninitialized);
    if (!readFully(bytes.data(), length, &got))
        return ReadResult::Truncated;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return ReadResult::Malformed;
    *message = document.object();
    return ReadResult::Message;
}

bool ZRNativeMessagingChannel::writeMessage(const QJsonObject &message)
{
    const QByteArray json = QJsonDocument(message).toJson(QJsonDocument::Compact);
    if (json.size() > qsizetype(MaximumMessageLength))
        return false;
    const uint32_t length = uint32_t(json.size());
    QByteArray frame(reinterpret_cast<const char *>(&length), sizeof length);
    frame += json;
    qsizetype written = 0;
    while (written < frame.size()) {
        const ssize_t count = ::write(_output, frame.constData() + written, size_t(frame.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        written += count;
    }
    return true;
}
