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
        return waitUntil([&] {
                   // A read outside the learning phase makes a row.
                   viewer::IntValueInfo info{};
                   window->feature()->getIntValue("Height", &info);
                   QApplication::processEvents();
                   return rows() > 0;
               }, 5000);
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
    EXPECT_TRUE(tree()->infoPanel()->toPlainText().contains(
        QStringLiteral("[Limits] fMax:3.40282e+38, fMin:1.17549e-38\n")));
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
    EXPECT_TRUE(tree()->infoPanel()->toPlainText().contains(QStringLiteral("[ERROR] 设置值 25 无效，不是步进值 16 的倍数")));
    QApplication::processEvents();
    for (int r = 0; r < rows(); ++r) EXPECT_EQ(cell(r, 2), QStringLiteral("(读)"));

    // A refused write whose read-back shows replaced limits posts the command itself, with
    // the address learned for the key.
    window->form().tableWidget->setRowCount(0);
    tree()->intvalueChanged(spinOf("TestValue"), 5);
    EXPECT_TRUE(tree()->infoPanel()->toPlainText().contains(QStringLiteral("QX_XML_SetIntValue(5) failed, err: 0x800001ff")));
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
        if (button->defaultAction() && button->defaultAction()->objectName() == QLatin1String("_q_qlineeditclearaction"))
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
    const auto xml = qx::test::ArvFakeCameraXml(&why);
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
    QObject::connect(window.tree(), &PropertyTreeViewerEx::nodeValueUpdated, window.tree(), [&] { ++passes; },
                     Qt::DirectConnection);
    window.form().lineEdit->setText(viewertest::dataFile("camera.xml"));
    window.loadCurrentPath();
    // 12 feature rows: one pass of ten, one of two, each followed by a row refresh.
    ASSERT_TRUE(waitUntil([&] { return passes.load() >= 2 && window.tree()->refreshIdle(); }));
    QApplication::processEvents();
    EXPECT_EQ(passes.load(), 2);
    EXPECT_NE(window.tree()->treeWidget()->itemWidget(window.tree()->itemForName(QStringLiteral("TestValue")), 1),
              nullptr);
}
