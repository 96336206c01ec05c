// Main of every test program: user folders point at a fresh temporary tree, never at the real ones.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>

#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::string makeSandbox()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quorvel-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        std::abort();
    const std::string root = pattern;
    const std::pair<const char *, const char *> folders[] = {
        {"HOME", "/home"},
        {"XDG_CONFIG_HOME", "/home/.config"},
        {"XDG_DATA_HOME", "/home/.local/share"},
        {"XDG_CACHE_HOME", "/home/.cache"},
        {"XDG_RUNTIME_DIR", "/run"},
    };
    for (const auto &[variable, suffix] : folders) {
        const std::string path = root + suffix;
        QDir().mkpath(QString::fromStdString(path));
        setenv(variable, path.c_str(), 1);
    }
    chmod((root + "/run").c_str(), 0700);
    setenv("QUORVEL_TEST_ROOT", root.c_str(), 1);
    // Proxies from the developer's shell must not reach loopback servers.
    for (const char *variable : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(variable);
    return root;
}

} // namespace

// The application object of the test program; a program with widgets makes a QApplication instead.
__attribute__((weak)) std::unique_ptr<QCoreApplication> ZRTestMakeApplication(int &argc, char **argv)
{
    return std::make_unique<QCoreApplication>(argc, argv);
}

int main(int argc, char **argv)
{
    const std::string root = makeSandbox();
    testing::InitGoogleTest(&argc, argv);
    int result = 0;
    {
        const std::unique_ptr<QCoreApplication> app = ZRTestMakeApplication(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Quorvel"));
        result = RUN_ALL_TESTS();
    }
    if (!std::getenv("QUORVEL_KEEP_TEST_ROOT"))
        QDir(QString::fromStdString(root)).removeRecursively();
    return result;
}
