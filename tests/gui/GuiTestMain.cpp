// main() for GUI test programs: GoogleTest inside a QApplication.

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // ctest sets the offscreen platform for the runs; the test listing at build
    // time runs without that environment and must not need a display either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Regional date and time texts are checked against literal texts in the C
    // locale's formats; the locale of whoever runs the tests must not change them.
    qputenv("LC_ALL", "C.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
