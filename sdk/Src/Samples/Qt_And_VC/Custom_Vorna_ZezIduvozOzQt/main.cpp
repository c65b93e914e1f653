#include "MainWindow.h"

#include <QApplication>
#include <QScreen>
#include <QStyle>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    viewer::MainWindow window;
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const int titleBar = app.style()->pixelMetric(QStyle::PM_TitleBarHeight);
    window.resize(window.defaultSize(available, titleBar));
    window.show();
    return app.exec();
}
