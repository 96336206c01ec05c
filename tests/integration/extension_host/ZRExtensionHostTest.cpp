// quorvel-extension-host as the browser runs it: frames in on stdin, frames out on stdout, and the
// links handed to a Quorvel on the session bus or to a quorvel program it starts.
#include "core/foundation/ZRPropertyList.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <cstring>

using namespace ZRTestSupport;

namespace
{

const QString chromiumOrigin = QStringLiteral("chrome-extension://logignhcnnmdhealhdhdjklfflkihbcc/");

QByteArray frame(const QByteArray &json)
{
    const uint32_t length = uint32_t(json.size());
    return QByteArray(reinterpret_cast<const char *>(&length), sizeof length) + json;
}

QByteArray frame(const QJsonObject &message)
{
    return frame(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

QJsonArray strings(const QStringList &list)
{
    return QJsonArray::fromStringList(list);
}

QByteArray context(double time, const QStringList &primary, const QStringList &gathered,
                   const QString &name = QStringLiteral("context"))
{
    return frame(QJsonObject{
        {QStringLiteral("command"), QStringLiteral("message")},
        {QStringLiteral("name"), name},
        {QStringLiteral("userInfo"), QJsonObject{{QStringLiteral("primary"), strings(primary)},
                                                 {QStringLiteral("gathered"), strings(gathered)}}},
        {QStringLiteral("testTime"), time}});
}

QByteArray command(const QString &name, int id, double time = 0)
{
    return frame(QJsonObject{
        {QStringLiteral("command"), name}, {QStringLiteral("id"), id}, {QStringLiteral("testTime"), time}});
}

QByteArray validate(int id, double time)
{
    return command(QStringLiteral("validate"), id, time);
}

// Frames out of the host's stdout; anything that is not a whole frame of JSON fails the test.
QList<QJsonObject> parseFrames(const QByteArray &output, bool *clean)
{
    QList<QJsonObject> frames;
    *clean = true;
    qsizetype at = 0;
    while (at < output.size()) {
        uint32_t length = 0;
        if (output.size() - at < qsizetype(sizeof length)) {
            *clean = false;
            break;
        }
        std::memcpy(&length, output.constData() + at, sizeof length);
        at += sizeof length;
        const QJsonDocument document = QJsonDocument::fromJson(output.mid(at, length));
        if (output.size() - at < qsizetype(length) || !document.isObject()) {
            *clean = false;
            break;
        }
        frames.append(document.object());
        at += length;
    }
    return frames;
}

QJsonObject shown(int id, const QString &title)
{
    return {{QStringLiteral("command"), QStringLiteral("validate")},
            {QStringLiteral("id"), id},
            {QStringLiteral("hide"), false},
            {QStringLiteral("title"), title}};
}

QJsonObject hidden(int id)
{
    return {{QStringLiteral("command"), QStringLiteral("validate")},
            {QStringLiteral("id"), id},
            {QStringLiteral("hide"), true},
            {QStringLiteral("title"), QJsonValue()}};
}

QJsonObject selected(int id, bool ok)
{
    return {{QStringLiteral("command"), QStringLiteral("selected")},
            {QStringLiteral("id"), id},
            {QStringLiteral("ok"), ok},
            {QStringLiteral("beep"), !ok}};
}

// The host runs from a folder of its own, with no quorvel beside it and a PATH that holds only
// what a test puts there: whatever goes wrong, no real Quorvel is started.
class ExtensionHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        _root = sandboxRoot() + QStringLiteral("/extension-host");
        _environment = isolatedProcessEnvironment(_root);
        QDir().mkpath(_root + QStringLiteral("/host"));
        QDir().mkpath(_root + QStringLiteral("/bin"));
        _host = _root + QStringLiteral("/host/quorvel-extension-host");
        ASSERT_TRUE(QFile::copy(QStringLiteral(QUORVEL_EXTENSION_HOST), _host));
        _environment.insert(QStringLiteral("PATH"), _root + QStringLiteral("/bin"));
        _environment.insert(QStringLiteral("QUORVEL_EXTENSION_HOST_TEST_CLOCK"), QStringLiteral("1"));
    }

    void setFilter(const QVariant &filter)
    {
        const QString path =
            _environment.value(QStringLiteral("XDG_CONFIG_HOME")) + QStringLiteral("/Quorvel/Shared.plist");
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile::remove(path);
        if (filter.isValid()) {
            ASSERT_TRUE(ZRPropertyList::writePropertyListToFile(
                QVariantMap{{QStringLiteral("Safari Extension Filter"), filter}}, path));
        }
    }

    void start(QProcess &process)
    {
        process.setProcessEnvironment(_environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(_host, {chromiumOrigin});
        ASSERT_TRUE(process.waitForStarted(5000));
    }

    QString _root;
    QString _host;
    QProcessEnvironment _environment;
};

struct FrameCase {
    const char *name;
    QVariant filter;
    QByteArray input;
    QList<QJsonObject> replies;
    int exitCode;
};

TEST_F(ExtensionHostTest, AnswersFramedMessages)
{
    const QString zip = QStringLiteral("http://a/x.zip");
    const QStringList five = {QStringLiteral("http://a/one.zip"), QStringLiteral("http://a/two.txt"),
                              QStringLiteral("http://a/THREE.ZIP"), QStringLiteral("http://a/four.zip?x=1"),
                              QStringLiteral("https://b/five.zip")};
    const uint32_t oversized = 1024 * 1024 + 1;
    const QList<FrameCase> cases = {
        {"one link, fresh until a second has passed",
         {},
         context(100, {zip}, {}) + validate(1, 100.5) + validate(2, 100.999) + validate(3, 101),
         {shown(1, QStringLiteral("Download Linked File via Quorvel")),
          shown(2, QStringLiteral("Download Linked File via Quorvel")), hidden(3)},
         0},
        {"five gathered links through the filter",
         QStringLiteral("\\.zip$"),
         context(5, {}, five) + validate(1, 5.2),
         {shown(1, QStringLiteral("Download 3 Linked Files via Quorvel..."))},
         0},
        {"the primary link is never filtered",
         QStringLiteral("\\.zip$"),
         context(5, {QStringLiteral("http://a/page.html")}, five) + validate(1, 5.1),
         {shown(1, QStringLiteral("Download Linked File via Quorvel"))},
         0},
        {"a filter that does not compile lets all through",
         QStringLiteral("["),
         context(5, {}, five) + validate(1, 5.1),
         {shown(1, QStringLiteral("Download 5 Linked Files via Quorvel..."))},
         0},
        {"a blank filter lets all through",
         QStringLiteral(" \n\t"),
         context(5, {}, five) + validate(1, 5.1),
         {shown(1, QStringLiteral("Download 5 Linked Files via Quorvel..."))},
         0},
        {"a filter that passes nothing hides the item",
         QStringLiteral("\\.iso$"),
         context(5, {}, five) + validate(1, 5.1),
         {hidden(1)},
         0},
        {"a stale message hides the item", {}, context(10, {zip}, {}) + validate(1, 11.5), {hidden(1)}, 0},
        {"a message other than context changes nothing",
         {},
         context(20, {zip}, {}) + context(20.8, {}, five, QStringLiteral("other")) + validate(1, 20.9) +
             validate(2, 21.2),
         {shown(1, QStringLiteral("Download Linked File via Quorvel")), hidden(2)},
         0},
        {"nothing to hand over beeps", {}, command(QStringLiteral("selected"), 7), {selected(7, false)}, 0},
        {"a frame that is not JSON is skipped",
         {},
         frame(QByteArrayLiteral("{not json")) + frame(QByteArrayLiteral("[1]")) + validate(1, 0),
         {hidden(1)},
         0},
        {"an unknown command is left unanswered",
         {},
         command(QStringLiteral("sing"), 1) + validate(2, 0),
         {hidden(2)},
         0},
        {"an oversized frame ends the host before it is read",
         {},
         validate(1, 0) + QByteArray(reinterpret_cast<const char *>(&oversized), 4) + QByteArray(64, '{'),
         {hidden(1)},
         1},
        {"a frame cut short ends the host", {}, validate(1, 0) + validate(2, 0).left(12), {hidden(1)}, 1},
        {"a length cut short ends the host",
         {},
         validate(1, 0) + QByteArrayLiteral("\x05\x00"),
         {hidden(1)},
         1},
        {"no input at all", {}, {}, {}, 0},
    };
    for (const FrameCase &row : cases) {
        SCOPED_TRACE(row.name);
        setFilter(row.filter);
        QProcess process;
        start(process);
        process.write(row.input);
        process.closeWriteChannel();
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), row.exitCode);
        bool clean = false;
        const QList<QJsonObject> replies = parseFrames(process.readAllStandardOutput(), &clean);
        EXPECT_TRUE(clean) << "stdout holds something other than frames";
        EXPECT_EQ(replies, row.replies);
    }
}

// Stands in for the running Quorvel on the session bus.
class FakeQuorvel : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tessaline.Quorvel")
public:
    QStringList receivedURLs;
public Q_SLOTS:
    void GetURL(const QString &url) { receivedURLs.append(url); }
    void Download(const QStringList &, const QVariantMap &) {}
    void OpenFiles(const QStringList &) {}
    void Activate() {}
};

TEST_F(ExtensionHostTest, HandsTheLinksToQuorvelAndStartsItWhenNoneRuns)
{
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    // A session bus of our own, with no activatable services.
    const QString configuration = _root + QStringLiteral("/session.conf");
    ASSERT_TRUE(writeFile(
        configuration,
        QStringLiteral(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
            "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><listen>unix:path=%1/bus</listen><auth>EXTERNAL</auth>"
            "<policy context=\"default\"><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
            "<allow own=\"*\"/></policy></busconfig>\n")
            .arg(_root)
            .toUtf8()));
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--config-file=") + configuration, QStringLiteral("--nofork"),
               QStringLiteral("--print-address=1")});
    ASSERT_TRUE(bus.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([&] { return bus.canReadLine(); }, 5000));
    const QString address = QString::fromUtf8(bus.readLine().trimmed());
    _environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    const QString fakeOutput = _root + QStringLiteral("/started-with");
    _environment.insert(QStringLiteral("FAKE_QUORVEL_OUTPUT"), fakeOutput);
    const QString fakeQuorvel = _root + QStringLiteral("/bin/quorvel");
    ASSERT_TRUE(writeFile(fakeQuorvel, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$FAKE_QUORVEL_OUTPUT\"\n"));
    QFile::setPermissions(fakeQuorvel, QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    {
        QDBusConnection connection = QDBusConnection::connectToBus(address, QStringLiteral("fake-quorvel"));
        ASSERT_TRUE(connection.isConnected());
        FakeQuorvel quorvel;
        ASSERT_TRUE(connection.registerObject(QStringLiteral("/com/tessaline/Quorvel"), &quorvel,
                                              QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(connection.registerService(QStringLiteral("com.tessaline.Quorvel")));

        QProcess host;
        start(host);
        QByteArray output;
        const auto reply = [&](const QByteArray &input, int count) {
            host.write(input);
            bool clean = false;
            waitUntil(
                [&] {
                    output += host.readAllStandardOutput();
                    return parseFrames(output, &clean).size() >= count;
                },
                15000);
            return parseFrames(output, &clean);
        };

        // One address: "encoded", with everything but the unreserved characters escaped.
        const QString odd = QStringLiteral("http://a/x y%20z.zip?q=1&r=2#part");
        QList<QJsonObject> replies = reply(context(1, {odd}, {}) + command(QStringLiteral("selected"), 1), 1);
        ASSERT_EQ(replies.size(), 1);
        EXPECT_EQ(replies.at(0), selected(1, true));
        ASSERT_EQ(quorvel.receivedURLs.size(), 1);
        const QString encoded = QStringLiteral("quorvel://encoded/");
        ASSERT_TRUE(quorvel.receivedURLs.at(0).startsWith(encoded));
        EXPECT_EQ(quorvel.receivedURLs.at(0),
                  encoded + QStringLiteral("http%3A%2F%2Fa%2Fx%20y%2520z.zip%3Fq%3D1%26r%3D2%23part"));
        EXPECT_EQ(QUrl::fromPercentEncoding(quorvel.receivedURLs.at(0).mid(encoded.size()).toUtf8()), odd);

        // Several: "linked", joined by escaped line feeds; the links stay for a second choice.
        const QStringList three = {QStringLiteral("http://a/1.zip"), QStringLiteral("http://a/2.zip"),
                                   QStringLiteral("https://b/\u00e9.zip")};
        replies = reply(context(2, {}, three) + command(QStringLiteral("selected"), 2), 2);
        ASSERT_EQ(replies.size(), 2);
        EXPECT_EQ(replies.at(1), selected(2, true));
        ASSERT_EQ(quorvel.receivedURLs.size(), 2);
        EXPECT_EQ(quorvel.receivedURLs.at(1),
                  QStringLiteral("quorvel://linked/http%3A%2F%2Fa%2F1.zip%0Ahttp%3A%2F%2Fa%2F2.zip%0A"
                                 "https%3A%2F%2Fb%2F%C3%A9.zip"));

        // Quorvel quits: the next choice starts the quorvel program with the same address.
        ASSERT_TRUE(connection.unregisterService(QStringLiteral("com.tessaline.Quorvel")));
        replies = reply(command(QStringLiteral("selected"), 3), 3);
        ASSERT_EQ(replies.size(), 3);
        EXPECT_EQ(replies.at(2), selected(3, true));
        EXPECT_EQ(quorvel.receivedURLs.size(), 2);
        ASSERT_TRUE(waitUntil([&] { return readFile(fakeOutput).endsWith('\n'); }, 10000));
        EXPECT_EQ(readFile(fakeOutput).trimmed(), quorvel.receivedURLs.at(1).toUtf8());

        host.closeWriteChannel();
        EXPECT_TRUE(host.waitForFinished(10000));
        EXPECT_EQ(host.exitCode(), 0);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-quorvel"));
    bus.terminate();
    bus.waitForFinished(5000);
}

} // namespace

#include "ZRExtensionHostTest.moc"
