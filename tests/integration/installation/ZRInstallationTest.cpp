// Installing Quorvel: `cmake --install` into a staging folder, and the per-user set-up commands
// `quorvel --register-desktop` and `quorvel --install-browser-hosts` under a temporary home.
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>

using namespace ZRTestSupport;

namespace
{

const QString chromiumOrigin = QStringLiteral("chrome-extension://logignhcnnmdhealhdhdjklfflkihbcc/");
const QString firefoxAddOn = QStringLiteral("quorvel-extension@tessaline.com");

struct ProcessRun {
    int exitCode = -1;
    QString output;
};

ProcessRun run(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120 * 1000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAll())};
}

QJsonObject readJSON(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object();
}

// Whether the manifest lets the Quorvel extension start the host at hostPath.
void expectManifest(const QString &path, const QString &hostPath, bool chromium)
{
    SCOPED_TRACE(path.toStdString());
    const QJsonObject manifest = readJSON(path);
    EXPECT_EQ(manifest.value(QStringLiteral("name")).toString(), QStringLiteral("com.tessaline.quorvel"));
    EXPECT_EQ(manifest.value(QStringLiteral("type")).toString(), QStringLiteral("stdio"));
    EXPECT_EQ(manifest.value(QStringLiteral("path")).toString(), hostPath);
    if (chromium)
        EXPECT_EQ(manifest.value(QStringLiteral("allowed_origins")).toArray(), QJsonArray{chromiumOrigin});
    else
        EXPECT_EQ(manifest.value(QStringLiteral("allowed_extensions")).toArray(), QJsonArray{firefoxAddOn});
}

class InstallationTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        _staging = new QString(sandboxRoot() + QStringLiteral("/staging"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DESTDIR"), *_staging);
        _install = new ProcessRun(run(QStringLiteral(QUORVEL_CMAKE),
                                      {QStringLiteral("--install"), QStringLiteral(QUORVEL_BUILD_DIR),
                                       QStringLiteral("--prefix"), QStringLiteral("/usr")},
                                      environment));
    }
    static void TearDownTestSuite()
    {
        delete _staging;
        delete _install;
    }

    static QString *_staging;
    static ProcessRun *_install;
};

QString *InstallationTest::_staging = nullptr;
ProcessRun *InstallationTest::_install = nullptr;

TEST_F(InstallationTest, PutsEveryFileInItsStandardPlace)
{
    ASSERT_EQ(_install->exitCode, 0) << _install->output.toStdString();
    QStringList expected = {
        QStringLiteral("usr/bin/quorvel"),
        QStringLiteral("usr/bin/quorvel-window"),
        QStringLiteral("usr/bin/quorvel-extension-host"),
        QStringLiteral("usr/bin/quorvel-pac-runner"),
        QStringLiteral("usr/share/applications/quorvel.desktop"),
        QStringLiteral("usr/share/mime/packages/quorvel.xml"),
        QStringLiteral("usr/share/dbus-1/services/com.tessaline.Quorvel.service"),
        QStringLiteral("usr/share/metainfo/com.tessaline.Quorvel.metainfo.xml"),
        QStringLiteral("usr/share/icons/hicolor/scalable/apps/quorvel.svg"),
        QStringLiteral("usr/share/quorvel/webextension/chromium/manifest.json"),
        QStringLiteral("usr/share/quorvel/webextension/chromium/background.js"),
        QStringLiteral("usr/share/quorvel/webextension/chromium/content.js"),
        QStringLiteral("usr/share/quorvel/webextension/firefox/manifest.json"),
        QStringLiteral("usr/share/quorvel/webextension/firefox/icons/128.png"),
    };
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256, 512})
        expected.append(QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/quorvel.png").arg(size));
    const QStringList firefoxFamily = {QStringLiteral("usr/lib/mozilla/native-messaging-hosts"),
                                       QStringLiteral("usr/lib/librewolf/native-messaging-hosts")};
    const QStringList chromiumFamily = {QStringLiteral("etc/opt/chrome/native-messaging-hosts"),
                                        QStringLiteral("etc/chromium/native-messaging-hosts"),
                                        QStringLiteral("etc/opt/brave/native-messaging-hosts"),
                                        QStringLiteral("etc/opt/vivaldi/native-messaging-hosts"),
                                        QStringLiteral("etc/opt/edge/native-messaging-hosts")};
    for (const QString &folder : firefoxFamily + chromiumFamily)
        expected.append(folder + QStringLiteral("/com.tessaline.quorvel.json"));
    for (const QString &path : expected)
        EXPECT_TRUE(QFileInfo(*_staging + QLatin1Char('/') + path).isFile()) << path.toStdString();
    EXPECT_TRUE(QFileInfo(*_staging + QStringLiteral("/usr/bin/quorvel-extension-host")).isExecutable());

    // The installed paths, not the build tree's or the staging folder's.
    for (const QString &folder : firefoxFamily)
        expectManifest(*_staging + QLatin1Char('/') + folder + QStringLiteral("/com.tessaline.quorvel.json"),
                       QStringLiteral("/usr/bin/quorvel-extension-host"), false);
    for (const QString &folder : chromiumFamily)
        expectManifest(*_staging + QLatin1Char('/') + folder + QStringLiteral("/com.tessaline.quorvel.json"),
                       QStringLiteral("/usr/bin/quorvel-extension-host"), true);
    const QString service = QString::fromUtf8(
        readFile(*_staging + QStringLiteral("/usr/share/dbus-1/services/com.tessaline.Quorvel.service")));
    EXPECT_TRUE(service.contains(QStringLiteral("\nName=com.tessaline.Quorvel\n"))) << service.toStdString();
    EXPECT_TRUE(service.contains(QStringLiteral("\nExec=/usr/bin/quorvel\n"))) << service.toStdString();
    const QJsonObject extension =
        readJSON(*_staging + QStringLiteral("/usr/share/quorvel/webextension/chromium/manifest.json"));
    EXPECT_EQ(extension.value(QStringLiteral("manifest_version")).toInt(), 3);
    EXPECT_FALSE(extension.value(QStringLiteral("version")).toString().contains(QLatin1Char('@')));
}

TEST_F(InstallationTest, DesktopFileAndMetainfoValidate)
{
    ASSERT_EQ(_install->exitCode, 0) << _install->output.toStdString();
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty())
        GTEST_SKIP() << "desktop-file-validate is not installed (desktop-file-utils)";
    const ProcessRun desktop =
        run(validator, {*_staging + QStringLiteral("/usr/share/applications/quorvel.desktop")},
            QProcessEnvironment::systemEnvironment());
    EXPECT_EQ(desktop.exitCode, 0) << desktop.output.toStdString();
    EXPECT_TRUE(desktop.output.trimmed().isEmpty()) << desktop.output.toStdString();
    const QString appstream = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
    if (!appstream.isEmpty()) {
        const ProcessRun metainfo =
            run(appstream,
                {QStringLiteral("validate"), QStringLiteral("--no-net"),
                 *_staging + QStringLiteral("/usr/share/metainfo/com.tessaline.Quorvel.metainfo.xml")},
                QProcessEnvironment::systemEnvironment());
        EXPECT_EQ(metainfo.exitCode, 0) << metainfo.output.toStdString();
    }
}

TEST(UserSetUp, RegistersTheDesktopAndWritesTheBrowserHostManifests)
{
    const QString root = sandboxRoot() + QStringLiteral("/user-set-up");
    const QProcessEnvironment environment = isolatedProcessEnvironment(root);
    const QString home = environment.value(QStringLiteral("HOME"));
    const QString configuration = environment.value(QStringLiteral("XDG_CONFIG_HOME"));
    const QString data = environment.value(QStringLiteral("XDG_DATA_HOME"));
    // Firefox is also installed as a Flatpak.
    QDir().mkpath(home + QStringLiteral("/.var/app/org.mozilla.firefox"));

    const ProcessRun setUp =
        run(QStringLiteral(QUORVEL_EXECUTABLE),
            {QStringLiteral("--register-desktop"), QStringLiteral("--install-browser-hosts")}, environment);
    ASSERT_EQ(setUp.exitCode, 0) << setUp.output.toStdString();

    const QString hostPath = QFileInfo(QStringLiteral(QUORVEL_EXTENSION_HOST)).absoluteFilePath();
    const QString name = QStringLiteral("/com.tessaline.quorvel.json");
    for (const char *browser :
         {"google-chrome", "chromium", "BraveSoftware/Brave-Browser", "vivaldi", "microsoft-edge", "opera"})
        expectManifest(configuration + QLatin1Char('/') + QString::fromUtf8(browser) +
                           QStringLiteral("/NativeMessagingHosts") + name,
                       hostPath, true);
    for (const char *browser : {".mozilla", ".librewolf"})
        expectManifest(home + QLatin1Char('/') + QString::fromUtf8(browser) +
                           QStringLiteral("/native-messaging-hosts") + name,
                       hostPath, false);
    // Inside the sandbox the host is reached through a launcher that leaves it; no other Flatpak
    // browser is installed, so none gets a manifest.
    const QString sandbox = home + QStringLiteral("/.var/app/org.mozilla.firefox");
    const QString launcher = sandbox + QStringLiteral("/data/quorvel/quorvel-extension-host");
    expectManifest(sandbox + QStringLiteral("/.mozilla/native-messaging-hosts") + name, launcher, false);
    EXPECT_TRUE(QFileInfo(launcher).isExecutable());
    EXPECT_TRUE(
        readFile(launcher).contains(QByteArray("flatpak-spawn --host '" + hostPath.toUtf8() + "' \"$@\"")));
    EXPECT_FALSE(QFileInfo::exists(home + QStringLiteral("/.var/app/org.chromium.Chromium")));

    // The desktop entry and the service name this very quorvel.
    const QString quorvel = QFileInfo(QStringLiteral(QUORVEL_EXECUTABLE)).absoluteFilePath();
    const QString entry = QString::fromUtf8(readFile(data + QStringLiteral("/applications/quorvel.desktop")));
    EXPECT_TRUE(entry.contains(QStringLiteral("\nExec=") + quorvel + QStringLiteral(" %U\n")))
        << entry.toStdString();
    EXPECT_TRUE(entry.contains(QStringLiteral("x-scheme-handler/securequorvel;")));
    const QString service =
        QString::fromUtf8(readFile(data + QStringLiteral("/dbus-1/services/com.tessaline.Quorvel.service")));
    EXPECT_TRUE(service.contains(QStringLiteral("\nExec=") + quorvel + QLatin1Char('\n')))
        << service.toStdString();
    EXPECT_TRUE(QFileInfo(data + QStringLiteral("/mime/packages/quorvel.xml")).isFile());
    EXPECT_TRUE(QFileInfo(data + QStringLiteral("/icons/hicolor/48x48/apps/quorvel.png")).isFile());
    EXPECT_TRUE(QFileInfo(data + QStringLiteral("/icons/hicolor/scalable/apps/quorvel.svg")).isFile());

    // Where the freedesktop tools are installed, the user's databases know Quorvel afterwards.
    if (!QStandardPaths::findExecutable(QStringLiteral("update-mime-database")).isEmpty()) {
        EXPECT_TRUE(setUp.output.contains(QStringLiteral("ran update-mime-database")))
            << setUp.output.toStdString();
        EXPECT_TRUE(
            readFile(data + QStringLiteral("/mime/globs2")).contains("application/x-quorvel-request:*.qbp"));
    }
    if (!QStandardPaths::findExecutable(QStringLiteral("xdg-mime")).isEmpty()) {
        const ProcessRun query = run(
            QStringLiteral("xdg-mime"),
            {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/quorvel")},
            environment);
        EXPECT_EQ(query.output.trimmed(), QStringLiteral("quorvel.desktop"));
    }
}

} // namespace
