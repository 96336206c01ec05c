// The widget tests need a QApplication (QT_QPA_PLATFORM is "offscreen" for them).
#include <QApplication>

#include <memory>

std::unique_ptr<QCoreApplication> ZRTestMakeApplication(int &argc, char **argv)
{
    // Listing the tests (ctest's discovery) runs without the test's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QApplication>(argc, argv);
}
