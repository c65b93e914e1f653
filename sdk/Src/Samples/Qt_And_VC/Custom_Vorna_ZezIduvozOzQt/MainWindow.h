// MainWindow: the viewer's only window. The feature tree on the left, the command table on
// the right. Every register access the node map makes while features are browsed or edited
// arrives at onPortRead/onPortWrite and becomes one serial register command ('R' or 'W', a
// 16-bit address, four data bytes for a write), listed in the table and copied, as upper-case
// hexadecimal text, to the clipboard.
#pragma once
#include "PendingCommand.h"
#include "QxCamApi.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QSettings>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace viewer {
class FeatureBase;
}
class QSplitter;
class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;
class QStackedWidget;
class QTableWidget;
class QVBoxLayout;
class QHBoxLayout;
class QGridLayout;
class QWidget;
class QMessageBox;

namespace viewer {

class PropertyTreeViewerEx;

// The form: the window's widgets and their texts.
class Ui_MainWindow {
public:
    QWidget* centralwidget = nullptr;
    QVBoxLayout* verticalLayout = nullptr;
    QHBoxLayout* horizontalLayout = nullptr;
    QLabel* label = nullptr;
    QLineEdit* lineEdit = nullptr;
    QPushButton* btnSelectXml = nullptr;
    QPushButton* btnRefresh = nullptr;
    QFrame* line = nullptr;
    QStackedWidget* stackedWidget = nullptr;
    QWidget* page = nullptr;
    QVBoxLayout* pageLayout = nullptr;
    QLabel* labelDragDropTip = nullptr;
    QLabel* labelCopyright = nullptr;
    QWidget* page1 = nullptr;
    QVBoxLayout* verticalLayoutPropertyWidget = nullptr;
    QHBoxLayout* horizontalLayoutPropertyWidget = nullptr;
    QWidget* widgetCommand = nullptr;
    QGridLayout* gridLayoutPropertyWidget = nullptr;
    QHBoxLayout* horizontalLayout_2 = nullptr;
    QLabel* labelClipboardContent_2 = nullptr;
    QLabel* labelClipboardContent = nullptr;
    QPushButton* btnClearTableWiget = nullptr;
    QTableWidget* tableWidget = nullptr;

    void setupUi(QMainWindow* window);
    void retranslateUi(QMainWindow* window);
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Reads within this time after the start of a load only teach keyAddressMap.
    static constexpr int kLearningPhaseMs = 1000;
    // The tree's share of the default window width, and a little room beside a command.
    static constexpr int kTreeWidth = 640;
    static constexpr int kSlack = 8;

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The FeatureBase port callbacks; any thread, from inside a feature access.
    void onPortRead(void* buffer, int64_t address, int64_t length, QX_PORT_DEVICE_TYPE type);
    void onPortWrite(const void* buffer, int64_t address, int64_t length, QX_PORT_DEVICE_TYPE type);

    // The register frame of one access: "R" + address (3 bytes), or "W" + address + data
    // bytes 3, 2, 1, 0 (7 bytes). False for a write of fewer than 4 bytes and for an address
    // that does not fit the frame's 16 bits.
    bool buildCommand(QByteArray& out, int64_t address, const void* data, int64_t length) const;
    // Upper-case hexadecimal byte pairs separated by single spaces.
    static QString hexText(const QByteArray& bytes);

    // The window's size on a screen whose available area is `available`, below title bars
    // `titleBarHeight` pixels high: two thirds of the height, and half the width, or more when
    // the tree and a whole command need more (never more than the screen has).
    QSize defaultSize(const QRect& available, int titleBarHeight) const;
    // The command area's width for a typical command row: every column readable.
    int commandAreaWidth() const;

    // Loads the XML file named in the path field (the "刷新" button).
    void loadCurrentPath();

    // For tests and the tree.
    Ui_MainWindow& form() { return *ui; }
    PropertyTreeViewerEx* tree() const { return m_tree; }
    viewer::FeatureBase* feature() const { return m_feature; }
    PendingCommand& pendingCommand() { return m_pending; }
    int64_t learnedAddress(const std::string& key);

public slots:
    void appendRow();

private slots:
    void on_btnSelectXml_clicked();
    void on_btnRefresh_clicked();
    void recoverColor();
    void on_btnClearTableWiget_clicked();
    void on_tableWidget_cellClicked(int row, int column);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    int insertTableRow();
    void highlightClipboardLabel();
    void postAppendRow();
    void warnUnbuilt(const std::string& key);
    void fitColumnsToRow(int row);
    int columnWidthFor(const QString& sample) const;
    void placeSplitter();

    std::unique_ptr<Ui_MainWindow> ui;
    PropertyTreeViewerEx* m_tree = nullptr;
    QSettings settings;
    viewer::FeatureBase* m_feature = nullptr;
    QSplitter* m_splitter = nullptr;
    bool addressHighByteFirst = true;
    QTimer highlightTimer;
    // New rows are painted together at most this often.
    static constexpr int kTablePaintMs = 40;
    QTimer m_tablePaintTimer;
    bool m_splitterPlaced = false; // the command area got its width at the first load
    PendingCommand m_pending;
    QElapsedTimer loadTime QX_GUARDED_BY(m_pending.mutex);
    QMap<std::string, int64_t> keyAddressMap QX_GUARDED_BY(m_pending.mutex);
    const std::thread::id m_guiThread;
    QPointer<QMessageBox> m_warningBox; // the open "转换命令" warning, if any
};

} // namespace viewer
