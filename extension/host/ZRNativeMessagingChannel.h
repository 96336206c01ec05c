// The browser's native-messaging pipe: frames of a 32-bit length in native byte order followed by
// that many bytes of UTF-8 JSON, in both directions.
#pragma once

#include <QJsonObject>

#include <cstdint>
#include <optional>

class ZRNativeMessagingChannel
{
public:
    // Browsers send at most this much in one message to a host and take at most this much back.
    static constexpr uint32_t MaximumMessageLength = 1024 * 1024;

    // Takes stdout for the frames and points file descriptor 1 at stderr, so that nothing else the
    // process (or a library, or a program it starts) prints can land between two frames.
    static std::optional<ZRNativeMessagingChannel> openStandardStreams();
    ZRNativeMessagingChannel(int input, int output) : _input(input), _output(output) {}

    enum class ReadResult { Message, End, Truncated, Oversized, Malformed };
    // Blocks for the next frame. End: the browser closed the pipe between frames. Malformed: the
    // frame was read whole but holds no JSON object (the next frame may be fine).
    ReadResult readMessage(QJsonObject *message);

    // False when the frame would be too long or the pipe is gone.
    bool writeMessage(const QJsonObject &message);

private:
    bool readFully(char *buffer, size_t length, size_t *got);

    int _input;
    int _output;
};
