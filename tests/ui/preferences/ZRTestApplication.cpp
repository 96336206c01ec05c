// The widget tests need a QApplication. They draw off screen: ctest sets QT_QPA_PLATFORM for the
// tests themselves, and listing the tests (gtest discovery) runs without it.
#include <QApplication>

#include <memory>

std::unique_ptr<QCoreApplication> ZRTestMakeApplication(int &argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QApplication>(argc, argv);
}
