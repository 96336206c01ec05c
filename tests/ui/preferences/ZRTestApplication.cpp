// The widget tests need a QApplication (QT_QPA_PLATFORM is "offscreen" for them).
#include <QApplication>

#include <memory>

std::unique_ptr<QCoreApplication> ZRTestMakeApplication(int &argc, char **argv)
{
    return std::make_unique<QApplication>(argc, argv);
}
