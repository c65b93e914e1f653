// The property tree: rows of the test file, user levels, the keyword filter, favourites and
// their INI file, the information panel and the value editors.
#include "ViewerFeatureBase.h"
#include "MainWindow.h"
#include "PropertyTreeViewerEx.h"
#include "ViewerTestUtil.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeWidget>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace viewer;
using viewertest::waitUntil;

namespace {

class TreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(QStringLiteral("FavoriteProperty.ini"));
        window = std::make_unique<MainWindow>();
        load();
    }
    void load() {
        window->form().lineEdit->setText(viewertest::dataFile("camera.xml"));
        window->loadCurrentPath();
        ASSERT_TRUE(tree()->isLoaded());
    }
    PropertyTreeViewerEx* tree() { return window->tree(); }
    QTreeWidgetItem* item(const char* name) { return tree()->itemForName(QString::fromLatin1(name)); }
    bool hidden(const char* name) {
        QTreeWidgetItem* i = item(name);
        return !i || i->isHidden();
    }
    QWidget* editor(const char* name) { return tree()->treeWidget()->itemWidget(item(name), 1); }
    // Waits until every row the worker read has its editor.
    bool waitFilled() {
        return waitUntil([&] { return tree()->refreshIdle() && editor("PixelFormat") && editor("ReverseX"); });
    }
    QDoubleSpinBox* spinOf(const char* name) {
        QWidget* w = editor(name);
        if (auto* box = qobject_cast<QDoubleSpinBox*>(w)) return box;
        if (auto* linear = qobject_cast<MyLinearWidget*>(w)) return linear->spinBox();
        return nullptr;
    }
    int rows() { return window->form().tableWidget->rowCount(); }
    QString cell(int row, int column) { return window->form().tableWidget->item(row, column)->text(); }
    bool learningOver() {
        return waitUntil(
            [&] {
                // A read outside the learning phase makes a row.
                viewer::IntValueInfo info{};
                window->feature()->getIntValue("Height", &info);
                QApplication::processEvents();
                return rows() > 0;
            },
            5000);
    }

    std::unique_ptr<MainWindow> window;
};

} // namespace

TEST_F(TreeTest, RowsOfTheTestFile) {
    QTreeWidget* t = tree()->treeWidget();
    ASSERT_EQ(t->topLevelItemCount(), 3);
    EXPECT_EQ(t->topLevelItem(0)->text(0), QStringLiteral("Device Control"));
    QTreeWidgetItem* image = t->topLevelItem(1);
    ASSERT_EQ(image->childCount(), 4);
    EXPECT_EQ(image->child(0)->text(0), QStringLiteral("Image Width"));
    EXPECT_EQ(image->child(0)->toolTip(0), QStringLiteral("(addr:0x00001004) Width of the image"));
    EXPECT_EQ(t->headerItem()->text(0), QStringLiteral("property"));
    EXPECT_EQ(t->headerItem()->text(1), QStringLiteral("value"));
    // Guru sees everything but the invisible node.
    EXPECT_TRUE(hidden("SecretNode"));
    EXPECT_FALSE(hidden("ReverseX"));
    EXPECT_FALSE(hidden("Gain"));
    EXPECT_FALSE(hidden("DeviceVersionHex"));
    EXPECT_EQ(tree()->favoriteButton()->text(), QStringLiteral("☆（收藏数:0）"));
}

TEST_F(TreeTest, EditorsAfterTheFirstRefresh) {
    ASSERT_TRUE(waitFilled());
    auto* pixel = qobject_cast<QComboBox*>(editor("PixelFormat"));
    ASSERT_NE(pixel, nullptr);
    ASSERT_EQ(pixel->count(), 2);
    EXPECT_EQ(pixel->itemText(0), QStringLiteral("Mono8"));
    EXPECT_EQ(pixel->itemText(1), QStringLiteral("Mono16"));
    EXPECT_NE(qobject_cast<QCheckBox*>(editor("ReverseX")), nullptr);
    auto* command = qobject_cast<QPushButton*>(editor("AcquisitionStart"));
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->text(), QStringLiteral("Execute"));
    EXPECT_NE(qobject_cast<QLineEdit*>(editor("DeviceUserID")), nullptr);
    auto* exposure = qobject_cast<QDoubleSpinBox*>(editor("ExposureTime"));
    ASSERT_NE(exposure, nullptr);
    EXPECT_EQ(exposure->decimals(), 6);
    EXPECT_EQ(exposure->maximum(), 100000.0);
    // HexNumber: text, no widget; the register reads 0.
    EXPECT_EQ(editor("DeviceVersionHex"), nullptr);
    EXPECT_EQ(item("DeviceVersionHex")->text(1), QStringLiteral("0"));
    // A read-only node's editor is disabled.
    ASSERT_NE(spinOf("Width"), nullptr);
    EXPECT_TRUE(spinOf("Width")->isEnabled());
    // The wheel never changes a value.
    QDoubleSpinBox* width = spinOf("Width");
    const double before = width->value();
    QWheelEvent wheel(QPointF(5, 5), width->mapToGlobal(QPoint(5, 5)), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(width, &wheel);
    EXPECT_EQ(width->value(), before);
}

TEST_F(TreeTest, UserLevels) {
    tree()->userLevelBox()->setCurrentIndex(0); // Beginner
    EXPECT_TRUE(hidden("DeviceVersionHex"));
    EXPECT_TRUE(hidden("ReverseX"));
    EXPECT_TRUE(hidden("Gain"));
    EXPECT_FALSE(hidden("Width"));
    EXPECT_FALSE(hidden("ExposureTime"));
    tree()->userLevelBox()->setCurrentIndex(1); // Expert
    EXPECT_FALSE(hidden("DeviceVersionHex"));
    EXPECT_FALSE(hidden("Gain"));
    EXPECT_TRUE(hidden("ReverseX"));
    EXPECT_TRUE(hidden("SecretNode"));
    tree()->userLevelBox()->setCurrentIndex(2);
    EXPECT_FALSE(hidden("ReverseX"));
    EXPECT_TRUE(hidden("SecretNode"));
}

TEST_F(TreeTest, KeywordFilter) {
    tree()->filterEdit()->setText(QStringLiteral("gain,EXPO"));
    EXPECT_FALSE(hidden("Gain"));
    EXPECT_FALSE(hidden("ExposureTime"));
    EXPECT_TRUE(hidden("Width"));
    EXPECT_TRUE(hidden("AcquisitionStart"));
    EXPECT_FALSE(hidden("AcquisitionControl"));
    EXPECT_TRUE(item("AcquisitionControl")->isExpanded());
    // Categories whose features are all filtered out are hidden.
    EXPECT_TRUE(hidden("ImageFormatControl"));
    EXPECT_TRUE(hidden("DeviceControl"));
    // Only commas: no keyword, everything passes again.
    tree()->filterEdit()->setText(QStringLiteral(",,"));
    EXPECT_FALSE(hidden("Width"));
    EXPECT_FALSE(hidden("AcquisitionStart"));
}

TEST_F(TreeTest, FavouritesOnlyAndTheirFile) {
    viewertest::BoxCloser closer;
    // No favourites yet: the button only explains.
    tree()->favoriteButton()->pressed();
    EXPECT_EQ(closer.count(), 1);
    EXPECT_EQ(closer.lastText(), QStringLiteral("尚未收藏任何属性，\n点击属性左边五角星可收藏。"));
    EXPECT_FALSE(hidden("Height"));

    tree()->toggleFavoriteOf(item("Width"));
    tree()->toggleFavoriteOf(item("ExposureTime"));
    EXPECT_EQ(tree()->favoriteButton()->text(), QStringLiteral("☆（收藏数:2）"));
    tree()->favoriteButton()->pressed();
    EXPECT_EQ(tree()->favoriteButton()->text(), QStringLiteral("★（收藏数:2）"));
    EXPECT_FALSE(tree()->filterEdit()->isEnabled());
    EXPECT_FALSE(hidden("Width"));
    EXPECT_FALSE(hidden("ExposureTime"));
    EXPECT_TRUE(hidden("Height"));
    EXPECT_TRUE(hidden("DeviceControl"));
    tree()->favoriteButton()->pressed();
    EXPECT_FALSE(hidden("Height"));

    // The favourites are written when the viewer resets (the next load).
    load();
    QSettings ini(QStringLiteral("FavoriteProperty.ini"), QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("camera.xml"));
    QStringList keys = ini.childKeys();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{QStringLiteral("ExposureTime"), QStringLiteral("Width")}));
    EXPECT_EQ(ini.value(QStringLiteral("Width")).toInt(), 1);
    ini.endGroup();
    // ...and read back by the load.
    EXPECT_TRUE(tree()->favorites().contains(QStringLiteral("Width")));
    EXPECT_EQ(tree()->favoriteButton()->text(), QStringLiteral("☆（收藏数:2）"));

    // Removing one and resetting again rewrites the group.
    tree()->toggleFavoriteOf(item("Width"));
    tree()->resetViewer();
    QSettings again(QStringLiteral("FavoriteProperty.ini"), QSettings::IniFormat);
    again.beginGroup(QStringLiteral("camera.xml"));
    EXPECT_EQ(again.childKeys(), QStringList{QStringLiteral("ExposureTime")});
}

TEST_F(TreeTest, StarringACategoryStarsItsBranch) {
    tree()->toggleFavoriteOf(item("AcquisitionControl"));
    for (const char* name : {"AcquisitionControl", "AcquisitionStart", "ExposureTime", "Gain", "TestValue"})
        EXPECT_TRUE(tree()->favorites().contains(QString::fromLatin1(name))) << name;
    EXPECT_EQ(tree()->favorites().size(), 5);
    tree()->toggleFavoriteOf(item("AcquisitionControl"));
    EXPECT_TRUE(tree()->favorites().isEmpty());
}

TEST_F(TreeTest, InformationPanel) {
    tree()->on_treeWidget_itemClicked(item("Width"), 0);
    const QString text = tree()->infoPanel()->toPlainText();
    EXPECT_TRUE(text.startsWith(QStringLiteral("[DisplayName] Image Width\n\n[KeyName] Width\n\n"
                                               "[IntfaceType] IFT_IInteger\n\n[Limits] max:4096, min:16, inc:16\n\n"
                                               "[AccessMode] AM_RW, 读写\n\n[Visibility] Beginner\n\n")))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("[Description] (addr:0x00001004) Width of the image in pixels")));

    tree()->on_treeWidget_itemClicked(item("PixelFormat"), 0);
    EXPECT_TRUE(tree()->infoPanel()->toPlainText().contains(QStringLiteral("[Enumeration Entries]: Mono8, Mono16\n")));
    tree()->on_treeWidget_itemClicked(item("Gain"), 0);
    EXPECT_TRUE(tree()->infoPanel()->toPlainText().contains(QStringLiteral("[Limits] fMax:100, fMin:0\n")));
    EXPECT_TRUE(tree()->infoPanel()->toPlainText().contains(QStringLiteral("[Visibility] Expert")));
}

TEST_F(TreeTest, EditorWritesBecomeCommands) {
    ASSERT_TRUE(waitFilled());
    ASSERT_TRUE(learningOver());
    window->form().tableWidget->setRowCount(0);

    auto* pixel = qobject_cast<QComboBox*>(editor("PixelFormat"));
    ASSERT_NE(pixel, nullptr);
    pixel->setCurrentText(QStringLiteral("Mono16"));
    ASSERT_TRUE(waitUntil([&] { return rows() >= 1; }));
    EXPECT_EQ(cell(0, 1), QStringLiteral("PixelFormat"));
    EXPECT_EQ(cell(0, 2), QStringLiteral("Mono16"));
    EXPECT_EQ(cell(0, 3), QStringLiteral("57 10 20 01 10 00 07"));

    // Not a multiple of the increment: an error tip and no write.
    window->form().tableWidget->setRowCount(0);
    tree()->intvalueChanged(spinOf("Width"), 25);
    EXPECT_TRUE(
        tree()->infoPanel()->toPlainText().contains(QStringLiteral("[ERROR] 设置值 25 无效，不是步进值 16 的倍数")));
    QApplication::processEvents();
    for (int r = 0; r < rows(); ++r) EXPECT_EQ(cell(r, 2), QStringLiteral("(读)"));

    // A refused write whose read-back shows replaced limits posts the command itself, with
    // the address learned for the key.
    window->form().tableWidget->setRowCount(0);
    tree()->intvalueChanged(spinOf("TestValue"), 5);
    EXPECT_TRUE(
        tree()->infoPanel()->toPlainText().contains(QStringLiteral("QX_XML_SetIntValue(5) failed, err: 0x800001ff")));
    ASSERT_TRUE(waitUntil([&] {
        for (int r = 0; r < rows(); ++r)
            if (cell(r, 2) == QStringLiteral("5.000000")) return true;
        return false;
    }));
    for (int r = 0; r < rows(); ++r) {
        if (cell(r, 2) != QStringLiteral("5.000000")) continue;
        EXPECT_EQ(cell(r, 1), QStringLiteral("TestValue"));
        EXPECT_EQ(cell(r, 3), QStringLiteral("57 10 50 00 00 00 05"));
    }

    // The command button acts on press.
    window->form().tableWidget->setRowCount(0);
    qobject_cast<QPushButton*>(editor("AcquisitionStart"))->pressed();
    ASSERT_TRUE(waitUntil([&] { return rows() >= 1; }));
    EXPECT_EQ(cell(rows() - 1, 3), QStringLiteral("57 12 00 00 00 00 01"));
}

TEST_F(TreeTest, ResetEmptiesTheTreeAndStopsTheWorker) {
    EXPECT_TRUE(tree()->workerRunning());
    tree()->resetViewer();
    EXPECT_FALSE(tree()->workerRunning());
    EXPECT_EQ(tree()->treeWidget()->topLevelItemCount(), 0);
    EXPECT_FALSE(tree()->isLoaded());
    EXPECT_EQ(tree()->favoriteButton()->text(), QStringLiteral("☆（收藏数:--）"));
}

namespace {

// The line edit's own clear button (the trailing one; the leading one is the magnifier).
QWidget* clearButtonOf(QLineEdit* edit) {
    for (QToolButton* button : edit->findChildren<QToolButton*>())
        if (button->defaultAction() &&
            button->defaultAction()->objectName() == QLatin1String("_q_qlineeditclearaction"))
            return button;
    return nullptr;
}

} // namespace

TEST_F(TreeTest, ClearButtonGoesWithTheFilterOnAReload) {
    QLineEdit* filter = tree()->filterEdit();
    window->show();
    QWidget* clear = clearButtonOf(filter);
    ASSERT_NE(clear, nullptr);
    filter->setText(QStringLiteral("Width"));
    ASSERT_TRUE(waitUntil([&] { return clear->isVisibleTo(filter); }));
    // 刷新: the filter is emptied, and its clear button goes with the text.
    window->form().btnRefresh->click();
    EXPECT_TRUE(filter->text().isEmpty());
    EXPECT_TRUE(tree()->isLoaded());
    EXPECT_TRUE(waitUntil([&] { return !clear->isVisibleTo(filter); }));
    EXPECT_FALSE(hidden("Height")); // and the empty filter shows every row again
}

TEST(TreeAfterAFailedLoad, AReloadThatFailsLeavesNoFileLoaded) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("changing.xml"));
    ASSERT_TRUE(QFile::copy(viewertest::dataFile("camera.xml"), path));
    MainWindow window;
    window.form().lineEdit->setText(path);
    window.loadCurrentPath();
    PropertyTreeViewerEx* tree = window.tree();
    ASSERT_TRUE(tree->isLoaded());
    // The file turns bad on disk; the next keyword reloads it once and fails once.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::copy(viewertest::dataFile("broken.xml"), path));
    viewertest::BoxCloser closer;
    tree->filterEdit()->setText(QStringLiteral("Width"));
    EXPECT_EQ(closer.count(), 1);
    EXPECT_EQ(closer.lastText(), QStringLiteral("XML 文件解析失败！"));
    EXPECT_FALSE(tree->isLoaded());
    tree->filterEdit()->setText(QStringLiteral("Height"));
    tree->userLevelBox()->setCurrentIndex(1);
    EXPECT_EQ(closer.count(), 1);
    // 刷新 on the mended file loads it again.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::copy(viewertest::dataFile("camera.xml"), path));
    window.loadCurrentPath();
    EXPECT_TRUE(tree->isLoaded());
    EXPECT_EQ(closer.count(), 1);
}

// An independent peer's description: the aravis fake camera's, extracted at run time.
#include "ArvFakeCamera.h"

#include <QTemporaryDir>

TEST(TreeOfAPeerFile, ArvFakeCameraLoadsAndFills) {
    std::string why;
    const auto xml = qx::test::arvFakeCameraXml(&why);
    if (!xml) GTEST_SKIP() << why;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("arv-fake-camera.xml"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(xml->data(), static_cast<qint64>(xml->size()));
    }
    MainWindow window;
    window.form().lineEdit->setText(path);
    window.loadCurrentPath();
    PropertyTreeViewerEx* tree = window.tree();
    ASSERT_TRUE(tree->isLoaded());
    EXPECT_GT(tree->treeWidget()->topLevelItemCount(), 0);
    ASSERT_NE(tree->itemForName(QStringLiteral("Width")), nullptr);
    ASSERT_NE(tree->itemForName(QStringLiteral("PixelFormat")), nullptr);
    auto filled = [&](const char* name) {
        return tree->treeWidget()->itemWidget(tree->itemForName(QString::fromUtf8(name)), 1) != nullptr;
    };
    // Without a camera every register reads 0, which is no PixelFormat entry: PayloadSize, whose
    // formula reads PixelFormat, cannot be read and stays queued, so the worker never goes idle.
    ASSERT_TRUE(waitUntil([&] { return filled("Width") && filled("PixelFormat") && filled("Height"); }, 20000));
    viewer::IntValueInfo payload{};
    EXPECT_NE(window.feature()->getIntValue("PayloadSize", &payload), QX_OK);
    EXPECT_FALSE(tree->refreshIdle());
    EXPECT_TRUE(waitUntil([&] { return window.learnedAddress("Width") != 0; }));
}

TEST_F(TreeTest, AccessModeChangeDisablesTheEditorAfterAClick) {
    ASSERT_TRUE(waitFilled());
    QWidget* exposure = editor("ExposureTime");
    ASSERT_NE(exposure, nullptr);
    EXPECT_TRUE(exposure->isEnabled());
    ASSERT_EQ(window->feature()->setIntValue("ExposureLock", 1), QX_OK);
    int32_t mode = 0;
    ASSERT_EQ(window->feature()->getNodeAccessMode("ExposureTime", &mode), QX_OK);
    ASSERT_EQ(mode, QX_NODE_ACCESS_RO);
    tree()->on_treeWidget_itemClicked(item("ExposureTime"), 1);
    ASSERT_TRUE(waitUntil([&] { return tree()->refreshIdle() && !editor("ExposureTime")->isEnabled(); }));
    EXPECT_TRUE(tree()->infoPanel()->toPlainText().contains(QStringLiteral("[AccessMode] AM_RO, 只读")));
}

TEST(TreeWorker, FirstFillRunsInBatchesOfTen) {
    MainWindow window;
    std::atomic<int> passes{0};
    QObject::connect(
        window.tree(), &PropertyTreeViewerEx::nodeValueUpdated, window.tree(), [&] { ++passes; }, Qt::DirectConnection);
    window.form().lineEdit->setText(viewertest::dataFile("camera.xml"));
    window.loadCurrentPath();
    // 12 feature rows: one pass of ten, one of two, each followed by a row refresh.
    ASSERT_TRUE(waitUntil([&] { return passes.load() >= 2 && window.tree()->refreshIdle(); }));
    QApplication::processEvents();
    EXPECT_EQ(passes.load(), 2);
    EXPECT_NE(window.tree()->treeWidget()->itemWidget(window.tree()->itemForName(QStringLiteral("TestValue")), 1),
              nullptr);
}

namespace {

QStringList* g_debugLines = nullptr;

// Counts the debug lines the viewer writes while it lives, by text (GUI thread and worker).
class DebugLines {
public:
    DebugLines() {
        const std::lock_guard<std::mutex> lk(mutex());
        g_debugLines = &m_lines;
        m_previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            const std::lock_guard<std::mutex> lock(mutex());
            if (g_debugLines) g_debugLines->append(text);
        });
    }
    ~DebugLines() {
        qInstallMessageHandler(m_previous);
        const std::lock_guard<std::mutex> lk(mutex());
        g_debugLines = nullptr;
    }
    int count(const QString& text) const {
        const std::lock_guard<std::mutex> lk(mutex());
        return static_cast<int>(m_lines.count(text));
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};

} // namespace

// Width and Height of this file divide by a binning register that reads 0: their reads fail
// every time. The worker tries each once per refresh, the viewer settles, and a click on the
// row tries it once more with one row and one line.
TEST(TreeOfAnUnreadableFile, FailingReadsAreTriedOncePerRefresh) {
    DebugLines lines;
    MainWindow window;
    PropertyTreeViewerEx* tree = window.tree();
    window.form().lineEdit->setText(viewertest::dataFile("gige-unreadable.xml"));
    window.loadCurrentPath();
    ASSERT_TRUE(tree->isLoaded());
    ASSERT_TRUE(waitUntil([&] { return tree->refreshIdle(); }, 20000));
    EXPECT_EQ(lines.count(QStringLiteral("read Width failed")), 1);
    EXPECT_EQ(lines.count(QStringLiteral("read Height failed")), 1);
    QTreeWidgetItem* width = tree->itemForName(QStringLiteral("Width"));
    ASSERT_NE(width, nullptr);
    EXPECT_EQ(width->text(1), QStringLiteral("读取失败"));
    EXPECT_EQ(tree->treeWidget()->itemWidget(width, 1), nullptr);
    // The readable rows of the file are filled.
    EXPECT_NE(tree->treeWidget()->itemWidget(tree->itemForName(QStringLiteral("OffsetX")), 1), nullptr);

    // Once the learning phase is over each read makes a row: a click reads the node again.
    QTableWidget* table = window.form().tableWidget;
    ASSERT_TRUE(waitUntil([&] {
        viewer::IntValueInfo info{};
        window.feature()->getIntValue("OffsetX", &info);
        QApplication::processEvents();
        return table->rowCount() > 0;
    }));
    table->setRowCount(0);
    tree->on_treeWidget_itemClicked(width, 0);
    ASSERT_TRUE(waitUntil([&] { return lines.count(QStringLiteral("read Width failed")) == 2; }, 20000));
    ASSERT_TRUE(waitUntil([&] { return tree->refreshIdle(); }, 20000));
    QApplication::processEvents();
    EXPECT_EQ(lines.count(QStringLiteral("read Width failed")), 2);
    EXPECT_EQ(lines.count(QStringLiteral("read Height failed")), 1);
    int widthRows = 0;
    for (int r = 0; r < table->rowCount(); ++r)
        if (table->item(r, 1)->text() == QStringLiteral("Width")) ++widthRows;
    EXPECT_LE(widthRows, 1);
    EXPECT_EQ(width->text(1), QStringLiteral("读取失败"));
}

namespace {

// A window on editors.xml, filled and past the learning phase, with an empty table.
class EditorFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.form().lineEdit->setText(viewertest::dataFile("editors.xml"));
        window.loadCurrentPath();
        ASSERT_TRUE(tree()->isLoaded());
        ASSERT_TRUE(waitUntil([&] { return tree()->refreshIdle() && linear("Brightness") && linear("Offset"); }));
        ASSERT_TRUE(waitUntil([&] {
            viewer::IntValueInfo info{};
            window.feature()->getIntValue("Brightness", &info);
            QApplication::processEvents();
            return rows() > 0;
        }));
        window.form().tableWidget->setRowCount(0);
    }
    PropertyTreeViewerEx* tree() { return window.tree(); }
    MyLinearWidget* linear(const char* name) {
        QTreeWidgetItem* item = tree()->itemForName(QString::fromLatin1(name));
        return item ? qobject_cast<MyLinearWidget*>(tree()->treeWidget()->itemWidget(item, 1)) : nullptr;
    }
    int rows() { return window.form().tableWidget->rowCount(); }
    QString cell(int row, int column) { return window.form().tableWidget->item(row, column)->text(); }
    int writeRows() {
        int n = 0;
        for (int r = 0; r < rows(); ++r)
            if (!cell(r, 2).startsWith(QStringLiteral("(读)"))) ++n;
        return n;
    }
    // Types a value into the slider editor's spin box and presses Enter.
    void type(MyLinearWidget* editor, double value) {
        editor->spinBox()->setValue(value);
        emit editor->spinBox()->editingFinished();
    }
    // Runs the event loop until every posted command (at most 10 ms away) is in the table.
    void settle() {
        QElapsedTimer timer;
        timer.start();
        waitUntil([&] {
            qx::sys::MutexLock lk(window.pendingCommand().mutex);
            return !window.pendingCommand().pending && timer.elapsed() > 50;
        });
    }

    MainWindow window;
};

} // namespace

TEST_F(EditorFileTest, ValueOffTheIncrementWritesNothing) {
    MyLinearWidget* brightness = linear("Brightness");
    ASSERT_NE(brightness, nullptr);
    const double before = brightness->spinBox()->value();
    type(brightness, 15);
    settle();
    EXPECT_TRUE(
        tree()->infoPanel()->toPlainText().contains(QStringLiteral("[ERROR] 设置值 15 无效，不是步进值 10 的倍数")));
    EXPECT_EQ(writeRows(), 0);
    EXPECT_EQ(brightness->spinBox()->value(), before);
    EXPECT_EQ(brightness->slider()->value(), static_cast<int>(before));

    // Limits the feature layer replaced: the refusal still writes nothing.
    MyLinearWidget* offset = linear("Offset");
    ASSERT_NE(offset, nullptr);
    type(offset, 25);
    settle();
    EXPECT_TRUE(
        tree()->infoPanel()->toPlainText().contains(QStringLiteral("[ERROR] 设置值 25 无效，不是步进值 10 的倍数")));
    EXPECT_EQ(writeRows(), 0);

    // A multiple of the increment is written once.
    type(brightness, 20);
    ASSERT_TRUE(waitUntil([&] { return writeRows() == 1; }));
    settle();
    EXPECT_EQ(writeRows(), 1);
    for (int r = 0; r < rows(); ++r) {
        if (cell(r, 2) == QStringLiteral("20")) {
            EXPECT_EQ(cell(r, 3), QStringLiteral("57 13 00 00 00 00 14"));
        }
    }
}

TEST_F(EditorFileTest, FloatEditorsTakeRangesBelowZero) {
    auto* black = qobject_cast<QDoubleSpinBox*>(
        tree()->treeWidget()->itemWidget(tree()->itemForName(QStringLiteral("BlackLevel")), 1));
    ASSERT_NE(black, nullptr);
    EXPECT_EQ(black->minimum(), -100.0);
    EXPECT_EQ(black->maximum(), 100.0);
    tree()->on_treeWidget_itemClicked(tree()->itemForName(QStringLiteral("Temperature")), 0);
    EXPECT_TRUE(tree()->infoPanel()->toPlainText().contains(QStringLiteral("[Limits] fMax:-5, fMin:-40\n")));
}

// A load starts afresh: the first write after it is listed even when it repeats the last write
// made before it (here with a failed load in between, as a user mends a file and loads again).
TEST(TreeReload, FirstWriteAfterAFailedLoadAndAReloadIsListed) {
    MainWindow window;
    PropertyTreeViewerEx* tree = window.tree();
    QTableWidget* table = window.form().tableWidget;
    QElapsedTimer sinceLoad;
    auto load = [&](const char* file) {
        window.form().lineEdit->setText(viewertest::dataFile(file));
        sinceLoad.start();
        window.loadCurrentPath();
    };
    auto widthBox = [&]() -> QDoubleSpinBox* {
        QTreeWidgetItem* item = tree->itemForName(QStringLiteral("Width"));
        return item ? qobject_cast<QDoubleSpinBox*>(tree->treeWidget()->itemWidget(item, 1)) : nullptr;
    };
    // Filled, and the learning phase over, without an access of its own.
    auto ready = [&] {
        return waitUntil([&] { return tree->refreshIdle() && widthBox() && sinceLoad.elapsed() > 1500; }, 10000);
    };
    auto writeRowsOf = [&](const QString& value) {
        int n = 0;
        for (int r = 0; r < table->rowCount(); ++r)
            if (table->item(r, 1)->text() == QStringLiteral("Width") && table->item(r, 2)->text() == value) ++n;
        return n;
    };
    auto typeWidth = [&](double value) {
        widthBox()->setValue(value);
        emit widthBox()->editingFinished();
    };

    load("camera.xml");
    ASSERT_TRUE(ready());
    typeWidth(64);
    ASSERT_TRUE(waitUntil([&] { return writeRowsOf(QStringLiteral("64")) == 1; }));
    EXPECT_EQ(table->item(table->rowCount() - 1, 3)->text(), QStringLiteral("57 10 04 00 00 00 40"));

    {
        viewertest::BoxCloser closer;
        load("broken.xml");
        EXPECT_EQ(closer.count(), 1);
        EXPECT_FALSE(tree->isLoaded());
    }
    load("camera.xml");
    ASSERT_TRUE(tree->isLoaded());
    ASSERT_TRUE(ready());
    table->setRowCount(0);
    typeWidth(64);
    ASSERT_TRUE(waitUntil([&] { return writeRowsOf(QStringLiteral("64")) == 1; }));
    EXPECT_EQ(table->item(table->rowCount() - 1, 3)->text(), QStringLiteral("57 10 04 00 00 00 40"));
}

namespace {

// A description of `features` integer registers in categories of 100.
QByteArray manyFeatures(int features) {
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                     "<RegisterDescription ModelName=\"ManyCam\" VendorName=\"Qx\" ToolTip=\"many features\"\n"
                     " StandardNameSpace=\"None\" SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\"\n"
                     " SchemaSubMinorVersion=\"0\" MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\"\n"
                     " ProductGuid=\"0\" VersionGuid=\"0\" xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n"
                     "<Category Name=\"Root\" NameSpace=\"Standard\">\n";
    const int groups = (features + 99) / 100;
    for (int g = 0; g < groups; ++g) xml += "<pFeature>Group" + QByteArray::number(g) + "</pFeature>\n";
    xml += "</Category>\n";
    for (int g = 0; g < groups; ++g) {
        xml += "<Category Name=\"Group" + QByteArray::number(g) + "\">\n";
        for (int i = g * 100; i < std::min(features, (g + 1) * 100); ++i)
            xml += "<pFeature>Feature" + QByteArray::number(i) + "</pFeature>\n";
        xml += "</Category>\n";
    }
    for (int i = 0; i < features; ++i) {
        xml += "<IntReg Name=\"Feature" + QByteArray::number(i) + "\"><Address>0x" +
               QByteArray::number(0x2000 + 4 * i, 16) +
               "</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>"
               "<Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess></IntReg>\n";
    }
    xml += "<Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
    return xml;
}

} // namespace

// Past a thousand rows the tree builds editors for the rows in view only: expanding and
// scrolling bring them, and such an editor writes like any other.
TEST(TreeOfALargeFile, EditorsComeWithTheRowsInView) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("many.xml"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(manyFeatures(1500));
    }
    MainWindow window;
    window.resize(1200, 800);
    window.show();
    PropertyTreeViewerEx* tree = window.tree();
    QTreeWidget* view = tree->treeWidget();
    window.form().lineEdit->setText(path);
    window.loadCurrentPath();
    ASSERT_TRUE(tree->isLoaded());
    auto item = [&](int i) { return tree->itemForName(QStringLiteral("Feature%1").arg(i)); };
    auto editorOf = [&](int i) { return view->itemWidget(item(i), 1); };
    auto editors = [&] {
        int n = 0;
        for (int i = 0; i < 1500; ++i) n += editorOf(i) ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(waitUntil([&] { return tree->refreshIdle(); }, 60000));
    // Every category is collapsed: no feature row is in view.
    EXPECT_EQ(editors(), 0);
    EXPECT_EQ(item(0)->text(1), QStringLiteral("读取中..."));

    view->topLevelItem(0)->setExpanded(true);
    ASSERT_TRUE(waitUntil([&] { return editorOf(0) != nullptr; }));
    EXPECT_EQ(editorOf(99), nullptr); // below the viewport
    const int afterExpand = editors();
    EXPECT_GT(afterExpand, 0);
    EXPECT_LT(afterExpand, 100);

    // Expand all, then scroll to the last row.
    for (QPushButton* button : tree->findChildren<QPushButton*>())
        if (button->text() == QStringLiteral("☷ 展开")) emit button->pressed();
    view->scrollToItem(item(1499));
    ASSERT_TRUE(waitUntil([&] { return editorOf(1499) != nullptr; }));
    EXPECT_LT(editors(), 200);

    // The editor built late writes as usual.
    auto* box = qobject_cast<QDoubleSpinBox*>(editorOf(1499));
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isEnabled());
    ASSERT_TRUE(waitUntil([&] {
        viewer::IntValueInfo info{};
        window.feature()->getIntValue("Feature0", &info);
        QApplication::processEvents();
        return window.form().tableWidget->rowCount() > 0;
    }));
    window.form().tableWidget->setRowCount(0);
    box->setValue(7);
    emit box->editingFinished();
    QTableWidget* table = window.form().tableWidget;
    ASSERT_TRUE(waitUntil([&] {
        for (int r = 0; r < table->rowCount(); ++r)
            if (table->item(r, 1)->text() == QStringLiteral("Feature1499") && table->item(r, 2)->text() == "7")
                return true;
        return false;
    }));
}
