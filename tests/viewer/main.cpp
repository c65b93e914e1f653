// The viewer tests run with a QApplication (offscreen platform) in a private working
// directory, where the viewer keeps its INI files.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString startDir = QDir::currentPath();
    QTemporaryDir workDir;
    if (!workDir.isValid() || !QDir::setCurrent(workDir.path())) return 1;
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Back out before the directory goes: the SDK library may still write there at exit.
    QDir::setCurrent(startDir);
    return result;
}
