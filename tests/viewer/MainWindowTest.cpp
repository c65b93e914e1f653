// The main window: the command builder against literal bytes, the command table and the
// clipboard, repeats, the learning phase, the failure paths and drag and drop.
#include "ViewerFeatureBase.h"
#include "MainWindow.h"
#include "PropertyTreeViewerEx.h"
#include "ViewerTestUtil.h"

#include <QClipboard>
#include <QComboBox>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QStackedWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTime>
#include <QTreeWidget>
#include <QUrl>

#include <gtest/gtest.h>

using namespace viewer;
using viewertest::waitUntil;

namespace {

QByteArray bytes(std::initializer_list<int> list) {
    QByteArray b;
    for (int v : list) b.append(static_cast<char>(v));
    return b;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Loading through the feature directly: no learning phase, every read makes a row.
        ASSERT_EQ(window.feature()->loadXmlFile(viewertest::dataFile("camera.xml").toStdString()), QX_OK);
    }
    QTableWidget* table() { return window.form().tableWidget; }
    int rows() { return table()->rowCount(); }
    QString cell(int row, int column) { return table()->item(row, column)->text(); }
    bool waitRows(int n) {
        return waitUntil([&] { return rows() >= n; }) && rows() == n;
    }

    MainWindow window;
};

} // namespace

TEST(CommandBuilder, ReadAndWriteFrames) {
    MainWindow window;
    QByteArray out;
    ASSERT_TRUE(window.buildCommand(out, 0x1004, nullptr, 0));
    EXPECT_EQ(out, bytes({'R', 0x10, 0x04}));
    EXPECT_EQ(MainWindow::hexText(out), QStringLiteral("52 10 04"));

    const unsigned char one[4] = {0x01, 0x00, 0x00, 0x00};
    ASSERT_TRUE(window.buildCommand(out, 0x1004, one, 4));
    EXPECT_EQ(out, bytes({'W', 0x10, 0x04, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(MainWindow::hexText(out), QStringLiteral("57 10 04 00 00 00 01"));

    const unsigned char eight[8] = {0xAA, 0xBB, 0xCC, 0xDD, 1, 2, 3, 4};
    ASSERT_TRUE(window.buildCommand(out, 0xFFFF, eight, 8));
    EXPECT_EQ(MainWindow::hexText(out), QStringLiteral("57 FF FF DD CC BB AA"));
}

TEST(CommandBuilder, RefusesShortWritesAndAddressesBeyond16Bits) {
    MainWindow window;
    QByteArray out;
    const unsigned char two[2] = {1, 2};
    EXPECT_FALSE(window.buildCommand(out, 0x1004, two, 2));
    EXPECT_FALSE(window.buildCommand(out, 0x1004, two, 0));
    // A register above 0xFFFF cannot be addressed by the frame; cutting it would name another.
    EXPECT_FALSE(window.buildCommand(out, 0x12345, nullptr, 0));
    const unsigned char four[4] = {1, 2, 3, 4};
    EXPECT_FALSE(window.buildCommand(out, 0x10000, four, 4));
    EXPECT_FALSE(window.buildCommand(out, -1, nullptr, 0));
}

TEST_F(MainWindowTest, ReadBecomesARowAndTheClipboard) {
    viewer::IntValueInfo info{};
    ASSERT_EQ(window.feature()->getIntValue("Width", &info), QX_OK);
    ASSERT_TRUE(waitRows(1));
    EXPECT_EQ(cell(0, 1), QStringLiteral("Width"));
    EXPECT_EQ(cell(0, 2), QStringLiteral("(读)"));
    EXPECT_EQ(cell(0, 3), QStringLiteral("52 10 04"));
    EXPECT_TRUE(QTime::fromString(cell(0, 0), QStringLiteral("hh:mm:ss")).isValid());
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("52 10 04"));
    EXPECT_EQ(window.form().labelClipboardContent->text(), QStringLiteral("52 10 04（已复制）"));
    EXPECT_FALSE(window.form().labelClipboardContent->styleSheet().isEmpty());
    // The highlight goes after a second.
    ASSERT_TRUE(waitUntil([&] { return window.form().labelClipboardContent->text() == QStringLiteral("52 10 04"); }));
    EXPECT_TRUE(window.form().labelClipboardContent->styleSheet().isEmpty());
}

TEST_F(MainWindowTest, WriteBecomesARowWithTheValue) {
    ASSERT_EQ(window.feature()->setIntValue("Width", 32), QX_OK);
    ASSERT_TRUE(waitUntil([&] { return rows() >= 1; }));
    const int last = rows() - 1;
    EXPECT_EQ(cell(last, 1), QStringLiteral("Width"));
    EXPECT_EQ(cell(last, 2), QStringLiteral("32"));
    EXPECT_EQ(cell(last, 3), QStringLiteral("57 10 04 00 00 00 20"));
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("57 10 04 00 00 00 20"));
}

TEST_F(MainWindowTest, RepeatsAreMergedButAlternationIsNot) {
    viewer::IntValueInfo info{};
    ASSERT_EQ(window.feature()->getIntValue("Width", &info), QX_OK);
    ASSERT_EQ(window.feature()->getIntValue("Width", &info), QX_OK);
    ASSERT_TRUE(waitRows(1));
    ASSERT_EQ(window.feature()->getIntValue("Height", &info), QX_OK);
    ASSERT_TRUE(waitRows(2));
    ASSERT_EQ(window.feature()->getIntValue("Width", &info), QX_OK);
    ASSERT_TRUE(waitRows(3));
    EXPECT_EQ(cell(1, 1), QStringLiteral("Height"));
    EXPECT_EQ(cell(1, 3), QStringLiteral("52 10 08"));
    EXPECT_EQ(cell(2, 1), QStringLiteral("Width"));

    // The same value twice: one row; another value: a second row.
    ASSERT_EQ(window.feature()->setIntValue("Height", 5), QX_OK);
    ASSERT_EQ(window.feature()->setIntValue("Height", 5), QX_OK);
    ASSERT_TRUE(waitRows(4));
    ASSERT_EQ(window.feature()->setIntValue("Height", 6), QX_OK);
    ASSERT_TRUE(waitRows(5));
    EXPECT_EQ(cell(3, 3), QStringLiteral("57 10 08 00 00 00 05"));
    EXPECT_EQ(cell(4, 3), QStringLiteral("57 10 08 00 00 00 06"));
}

TEST_F(MainWindowTest, UnshownReadGivesWayWhileWritesAreEachListed) {
    // Accesses before the GUI thread takes any: a newer access replaces a read not shown yet,
    // nothing replaces a write.
    viewer::IntValueInfo info{};
    ASSERT_EQ(window.feature()->getIntValue("Width", &info), QX_OK);
    ASSERT_EQ(window.feature()->getIntValue("Height", &info), QX_OK);
    ASSERT_EQ(window.feature()->executeCommand("AcquisitionStart"), QX_OK);
    ASSERT_EQ(window.feature()->setIntValue("Height", 5), QX_OK);
    ASSERT_EQ(window.feature()->getIntValue("Width", &info), QX_OK);
    ASSERT_EQ(window.feature()->setIntValue("Height", 6), QX_OK);
    ASSERT_EQ(window.feature()->getIntValue("Width", &info), QX_OK);
    ASSERT_EQ(window.feature()->getIntValue("Height", &info), QX_OK);
    ASSERT_TRUE(waitRows(4));
    EXPECT_EQ(cell(0, 1), QStringLiteral("AcquisitionStart"));
    EXPECT_EQ(cell(0, 2), QStringLiteral("--"));
    EXPECT_EQ(cell(0, 3), QStringLiteral("57 12 00 00 00 00 01"));
    EXPECT_EQ(cell(1, 3), QStringLiteral("57 10 08 00 00 00 05"));
    EXPECT_EQ(cell(2, 3), QStringLiteral("57 10 08 00 00 00 06"));
    EXPECT_EQ(cell(3, 1), QStringLiteral("Height"));
    EXPECT_EQ(cell(3, 2), QStringLiteral("(读)"));
    EXPECT_EQ(cell(3, 3), QStringLiteral("52 10 08"));
    // Every post was consumed; the surplus ones found nothing.
    QApplication::processEvents();
    EXPECT_EQ(rows(), 4);
    qx::sys::MutexLock lk(window.pendingCommand().mutex);
    EXPECT_FALSE(window.pendingCommand().pending);
}

TEST_F(MainWindowTest, FarRegisterGivesTheWarningAndAMarkedRow) {
    viewertest::BoxCloser closer;
    QApplication::clipboard()->setText(QStringLiteral("before"));
    viewer::IntValueInfo info{};
    ASSERT_EQ(window.feature()->getIntValue("FarRegister", &info), QX_OK);
    ASSERT_TRUE(waitUntil([&] { return closer.count() == 1; }));
    EXPECT_EQ(closer.lastTitle(), QStringLiteral("警告"));
    EXPECT_EQ(closer.lastText(), QStringLiteral("转换命令 FarRegister 异常！"));
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, 2), QStringLiteral("(读) [无法转换]"));
    EXPECT_EQ(cell(0, 3), QStringLiteral(" "));
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("before"));
    // Clicking the row leaves the clipboard as it was, and the label says why.
    window.form().tableWidget->cellClicked(0, 1);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("before"));
    EXPECT_EQ(window.form().labelClipboardContent->text(), QStringLiteral("[无法转换] 此行没有指令，剪切板未改变"));
    // A row with a command is copied again after it.
    ASSERT_EQ(window.feature()->getIntValue("Width", &info), QX_OK);
    ASSERT_TRUE(waitRows(2));
    window.form().tableWidget->cellClicked(1, 0);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("52 10 04"));
    EXPECT_EQ(window.form().labelClipboardContent->text(), QStringLiteral("52 10 04（已复制）"));
}

namespace {

void recordWrite(MainWindow& window, int64_t address, const QByteArray& data, const char* key, const char* value) {
    qx::sys::MutexLock lk(window.pendingCommand().mutex);
    PendingCommand::Command c;
    c.isRead = false;
    c.address = address;
    c.data = data;
    c.key = key;
    c.valueText = value;
    window.pendingCommand().record(c);
}

QList<QMessageBox*> openBoxes() {
    QList<QMessageBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) boxes << box;
    return boxes;
}

} // namespace

TEST_F(MainWindowTest, FailuresKeepAtMostOneBoxOpenAndNeverNest) {
    // Each appendRow returns while the box is up: it runs no event loop of its own.
    recordWrite(window, 0x1004, bytes({1, 2}), "Short", "3");
    window.appendRow();
    recordWrite(window, 0x10000, bytes({1, 0, 0, 0}), "Far1", "1");
    window.appendRow();
    recordWrite(window, 0x20000, bytes({2, 0, 0, 0}), "Far2", "2");
    window.appendRow();
    ASSERT_EQ(rows(), 3);
    EXPECT_EQ(cell(0, 2), QStringLiteral("3 [无法转换]"));
    EXPECT_EQ(cell(1, 2), QStringLiteral("1 [无法转换]"));
    EXPECT_EQ(cell(2, 2), QStringLiteral("2 [无法转换]"));
    for (int r = 0; r < 3; ++r) EXPECT_EQ(cell(r, 3), QStringLiteral(" "));
    QList<QMessageBox*> boxes = openBoxes();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes.first()->text(), QStringLiteral("转换命令 Short 异常！"));
    // A good command while the box is up is listed and copied as usual.
    recordWrite(window, 0x1004, bytes({1, 0, 0, 0}), "Width", "1");
    window.appendRow();
    EXPECT_EQ(cell(3, 3), QStringLiteral("57 10 04 00 00 00 01"));
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("57 10 04 00 00 00 01"));

    // Once it is closed, the next failure may open one again.
    boxes.first()->done(QMessageBox::Ok);
    ASSERT_TRUE(waitUntil([] { return openBoxes().isEmpty(); }));
    recordWrite(window, 0x30000, bytes({3, 0, 0, 0}), "Far3", "3");
    window.appendRow();
    boxes = openBoxes();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes.first()->text(), QStringLiteral("转换命令 Far3 异常！"));
    boxes.first()->done(QMessageBox::Ok);
}

TEST_F(MainWindowTest, ShortWriteGivesTheWarning) {
    viewertest::BoxCloser closer;
    recordWrite(window, 0x1004, bytes({1, 2}), "Short", "");
    window.appendRow();
    ASSERT_TRUE(waitUntil([&] { return closer.count() == 1; }));
    EXPECT_EQ(closer.lastText(), QStringLiteral("转换命令 Short 异常！"));
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, 3), QStringLiteral(" "));
    // Nothing pending: appendRow does nothing.
    window.appendRow();
    EXPECT_EQ(rows(), 1);
}

TEST_F(MainWindowTest, AddressZeroTakesTheLearnedAddress) {
    {
        qx::sys::MutexLock lk(window.pendingCommand().mutex);
        PendingCommand::Command c;
        c.address = 0;
        c.data = bytes({1, 0, 0, 0});
        c.key = "Unknown";
        c.valueText = "1.000000";
        window.pendingCommand().record(c);
    }
    window.appendRow();
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, 3), QStringLiteral("57 00 00 00 00 00 01"));
    EXPECT_EQ(window.learnedAddress("Unknown"), 0);
}

TEST_F(MainWindowTest, ClickingACellCopiesItsCommand) {
    viewer::IntValueInfo info{};
    ASSERT_EQ(window.feature()->getIntValue("Width", &info), QX_OK);
    ASSERT_TRUE(waitRows(1));
    ASSERT_EQ(window.feature()->getIntValue("Height", &info), QX_OK);
    ASSERT_TRUE(waitRows(2));
    window.form().tableWidget->cellClicked(0, 2);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("52 10 04"));
    EXPECT_EQ(window.form().labelClipboardContent->text(), QStringLiteral("52 10 04（已复制）"));
    window.form().btnClearTableWiget->click();
    EXPECT_EQ(rows(), 0);
}

TEST(MainWindowStart, ShowsTheSdkVersionAndTheTitle) {
    MainWindow window;
    EXPECT_EQ(window.form().stackedWidget->currentIndex(), 0);
    EXPECT_TRUE(window.form().labelCopyright->text().endsWith(
        QString::asprintf("\n\nQxCamSdk Version: 0x%08x", QX_GetSdkVersion())));
    EXPECT_TRUE(window.windowTitle().startsWith(QStringLiteral("相机属性 XML 预览及串口指令生成（Build on ")));
    EXPECT_EQ(window.form().tableWidget->columnCount(), 4);
    EXPECT_EQ(window.form().tableWidget->horizontalHeaderItem(3)->text(), QStringLiteral("CMD HEX"));
}

TEST(MainWindowStart, StyleSheetsRaiseNoWarnings) {
    static QStringList messages;
    messages.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
    {
        MainWindow window;
        window.show();
        QApplication::processEvents();
        window.form().labelCopyright->ensurePolished();
    }
    qInstallMessageHandler(previous);
    for (const QString& m : messages) EXPECT_FALSE(m.contains(QStringLiteral("Unknown property"))) << m.toStdString();
}

TEST(MainWindowLoad, LearningPhaseTeachesAddressesAndMakesNoRows) {
    MainWindow window;
    window.form().lineEdit->setText(viewertest::dataFile("camera.xml"));
    window.loadCurrentPath();
    EXPECT_EQ(window.form().stackedWidget->currentIndex(), 1);
    // The tree was built and read inside the first second: addresses learned, no rows.
    ASSERT_TRUE(waitUntil(
        [&] { return window.learnedAddress("Width") == 0x1004 && window.learnedAddress("ExposureTime") == 0x1030; }));
    EXPECT_EQ(window.form().tableWidget->rowCount(), 0);
}

namespace {
struct DropWindow : MainWindow {
    using MainWindow::dropEvent;
};
} // namespace

TEST(MainWindowLoad, EmptyPathAndBadDropsAreRefused) {
    DropWindow window;
    viewertest::BoxCloser closer;
    window.form().btnRefresh->click();
    EXPECT_EQ(closer.count(), 1);
    EXPECT_EQ(closer.lastText(), QStringLiteral("请选择相机属性配置 XML 文件"));

    QMimeData upper;
    upper.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/a.XML"))});
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &upper, Qt::LeftButton, Qt::NoModifier);
    window.dropEvent(&drop);
    EXPECT_EQ(closer.count(), 2);
    EXPECT_TRUE(window.form().lineEdit->text().isEmpty());

    QMimeData text;
    text.setText(QStringLiteral("hello"));
    QDropEvent drop2(QPointF(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    window.dropEvent(&drop2);
    EXPECT_EQ(closer.count(), 3);
    EXPECT_EQ(window.form().stackedWidget->currentIndex(), 0);

    QMimeData good;
    good.setUrls({QUrl::fromLocalFile(viewertest::dataFile("camera.xml"))});
    QDropEvent drop3(QPointF(5, 5), Qt::CopyAction, &good, Qt::LeftButton, Qt::NoModifier);
    window.dropEvent(&drop3);
    EXPECT_EQ(closer.count(), 3);
    EXPECT_EQ(window.form().lineEdit->text(), viewertest::dataFile("camera.xml"));
    EXPECT_EQ(window.form().stackedWidget->currentIndex(), 1);
    EXPECT_TRUE(window.tree()->isLoaded());
}

TEST(MainWindowLoad, BrokenXmlShowsTheParseWarning) {
    MainWindow window;
    viewertest::BoxCloser closer;
    window.form().lineEdit->setText(viewertest::dataFile("broken.xml"));
    window.loadCurrentPath();
    EXPECT_EQ(closer.count(), 1);
    EXPECT_EQ(closer.lastTitle(), QStringLiteral("警告"));
    EXPECT_EQ(closer.lastText(), QStringLiteral("XML 文件解析失败！"));
    PropertyTreeViewerEx* tree = window.tree();
    EXPECT_FALSE(tree->workerRunning());
    // No file is loaded: the filter, the user level and the favourites button reload nothing
    // and raise nothing.
    EXPECT_FALSE(tree->isLoaded());
    tree->filterEdit()->setText(QStringLiteral("Width"));
    tree->filterEdit()->setText(QStringLiteral("Width,Gain"));
    tree->userLevelBox()->setCurrentIndex(0);
    tree->userLevelBox()->setCurrentIndex(2);
    tree->favoriteButton()->click();
    EXPECT_EQ(closer.count(), 1);
    EXPECT_FALSE(tree->isLoaded());
    EXPECT_FALSE(tree->workerRunning());
    EXPECT_EQ(tree->treeWidget()->topLevelItemCount(), 0);
}

#include <QFileDialog>
#include <QSettings>

TEST(MainWindowLoad, ChosenFileIsLoadedAndItsDirectoryRemembered) {
    QFile::remove(QStringLiteral("XmlViewerConfig.ini"));
    MainWindow window;
    const QString path = viewertest::dataFile("camera.xml");
    QString title;
    QTimer picker;
    picker.setInterval(5);
    QObject::connect(&picker, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        title = dialog->windowTitle();
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
    picker.start();
    window.form().btnSelectXml->click();
    picker.stop();
    EXPECT_EQ(title, QStringLiteral("请选择相机属性配置 XML 文件"));
    EXPECT_EQ(window.form().lineEdit->text(), path);
    EXPECT_TRUE(window.tree()->isLoaded());
    QSettings ini(QStringLiteral("XmlViewerConfig.ini"), QSettings::IniFormat);
    EXPECT_EQ(ini.value(QStringLiteral("LastDir")).toString(), QFileInfo(path).absolutePath());
}

TEST_F(MainWindowTest, ColumnsFitEveryRowListed) {
    // What resizeColumnToContents would give the column now.
    auto fit = [&](int c) {
        return std::max(static_cast<QAbstractItemView*>(table())->sizeHintForColumn(c),
                        table()->horizontalHeader()->sectionSizeHint(c));
    };
    recordWrite(window, 0x1004, bytes({1, 0, 0, 0}), "W", "1");
    window.appendRow();
    const int narrow = table()->columnWidth(1);
    EXPECT_EQ(narrow, fit(1));
    recordWrite(window, 0x1008, bytes({2, 0, 0, 0}), "ALongerFeatureName", "123456.000000");
    window.appendRow();
    EXPECT_GT(table()->columnWidth(1), narrow);
    for (int c = 0; c <= 2; ++c) EXPECT_GE(table()->columnWidth(c), fit(c)) << c;
    // A shorter row keeps the width; after a clear the first row fits the columns again.
    const int wide = table()->columnWidth(1);
    recordWrite(window, 0x1004, bytes({3, 0, 0, 0}), "W", "3");
    window.appendRow();
    EXPECT_EQ(table()->columnWidth(1), wide);
    // A key far longer than any usual one is cut, not allowed to push the command away.
    recordWrite(window, 0x1004, bytes({5, 0, 0, 0}), "AFeatureNameSoLongThatNoCameraDescriptionWouldEverUseIt", "5");
    window.appendRow();
    EXPECT_GT(table()->columnWidth(1), wide);
    EXPECT_LT(table()->columnWidth(1), fit(1));
    window.form().btnClearTableWiget->click();
    recordWrite(window, 0x1004, bytes({4, 0, 0, 0}), "W", "4");
    window.appendRow();
    EXPECT_EQ(table()->columnWidth(1), narrow);
}

// On a 1920x1080 screen (1040 pixels available below a panel) the window opens at its default
// size; a command is readable without scrolling, and listing it moves nothing.
TEST(MainWindowLayout, DefaultSizeShowsAWholeCommand) {
    MainWindow window;
    window.resize(window.defaultSize(QRect(0, 0, 1920, 1040), 24));
    window.show();
    window.form().lineEdit->setText(viewertest::dataFile("camera.xml"));
    window.loadCurrentPath();
    QTableWidget* table = window.form().tableWidget;
    ASSERT_TRUE(waitUntil([&] { return window.tree()->refreshIdle(); }));
    QApplication::processEvents();
    const int commandWidth = window.form().widgetCommand->width();
    const int treeWidth = window.tree()->width();
    // A write after the learning phase: one row with every column filled.
    ASSERT_TRUE(waitUntil([&] {
        window.feature()->setFloatValue("ExposureTime", 12345.5f);
        window.feature()->setFloatValue("ExposureTime", 54321.5f);
        QApplication::processEvents();
        return table->rowCount() > 0;
    }));
    ASSERT_TRUE(waitUntil([&] {
        QApplication::processEvents();
        return table->updatesEnabled();
    }));
    const int row = table->rowCount() - 1;
    EXPECT_FALSE(table->item(row, 3)->text().trimmed().isEmpty());
    EXPECT_EQ(window.form().widgetCommand->width(), commandWidth);
    EXPECT_EQ(window.tree()->width(), treeWidth);
    // Every column lies inside the viewport: nothing to scroll sideways.
    EXPECT_EQ(table->horizontalScrollBar()->maximum(), 0);
    const int hexRight = table->columnViewportPosition(3) + table->columnWidth(3);
    EXPECT_LE(hexRight, table->viewport()->width());
    const QFontMetrics metrics(table->font());
    EXPECT_GE(table->columnWidth(3), metrics.horizontalAdvance(table->item(row, 3)->text()));
    for (int c = 0; c <= 2; ++c)
        EXPECT_GE(table->columnWidth(c), metrics.horizontalAdvance(table->item(row, c)->text())) << c;
}
