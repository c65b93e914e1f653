#include "MainWindow.h"

#include "ViewerFeatureBase.h"
#include "PropertyTreeViewerEx.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QTableWidget>
#include <QTime>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>
#include <thread>

namespace viewer {

namespace {

const char* const kMakerNotice = "QxCam 相机属性 XML 预览及串口指令生成工具";
const char* const kYellow = "background-color: yellow; padding-left:3px;padding-right:3px;";
const char* const kCopied = "（已复制）";
// Appended to the VALUE cell of a row whose command could not be built.
const char* const kUnbuilt = " [无法转换]";
// The clipboard label after a click on such a row.
const char* const kNothingCopied = "[无法转换] 此行没有指令，剪切板未改变";
// The highlighted clipboard label's padding (3 pixels each side) and a little room.
constexpr int kLabelPadding = 12;
// A typical command row (time, key, value, command), for the widths of the command area.
const char* const kTypicalRow[] = {"00:00:00", "AcquisitionFrameRate", "100000.000000", "57 10 04 00 00 00 40"};
// Cells wider than this (long keys and texts) are elided, so that the command stays in view.
const char* const kWidestKey = "AcquisitionFrameRateAbsolute";
const char* const kWidestValue = "-2147483648.000000";

} // namespace

// ---- the form ----------------------------------------------------------------------------

void Ui_MainWindow::setupUi(QMainWindow* window) {
    if (window->objectName().isEmpty()) window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(1149, 685);
    centralwidget = new QWidget(window);
    centralwidget->setObjectName(QStringLiteral("centralwidget"));
    verticalLayout = new QVBoxLayout(centralwidget);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    label = new QLabel(centralwidget);
    label->setObjectName(QStringLiteral("label"));
    horizontalLayout->addWidget(label);
    lineEdit = new QLineEdit(centralwidget);
    lineEdit->setObjectName(QStringLiteral("lineEdit"));
    lineEdit->setMinimumSize(QSize(0, 30));
    horizontalLayout->addWidget(lineEdit);
    btnSelectXml = new QPushButton(centralwidget);
    btnSelectXml->setObjectName(QStringLiteral("btnSelectXml"));
    btnSelectXml->setMinimumSize(QSize(0, 30));
    horizontalLayout->addWidget(btnSelectXml);
    btnRefresh = new QPushButton(centralwidget);
    btnRefresh->setObjectName(QStringLiteral("btnRefresh"));
    btnRefresh->setMinimumSize(QSize(0, 30));
    horizontalLayout->addWidget(btnRefresh);
    verticalLayout->addLayout(horizontalLayout);

    line = new QFrame(centralwidget);
    line->setObjectName(QStringLiteral("line"));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    verticalLayout->addWidget(line);

    stackedWidget = new QStackedWidget(centralwidget);
    stackedWidget->setObjectName(QStringLiteral("stackedWidget"));
    page = new QWidget();
    page->setObjectName(QStringLiteral("page"));
    pageLayout = new QVBoxLayout(page);
    labelDragDropTip = new QLabel(page);
    labelDragDropTip->setObjectName(QStringLiteral("labelDragDropTip"));
    QFont font;
    font.setPointSize(15);
    labelDragDropTip->setFont(font);
    labelDragDropTip->setAlignment(Qt::AlignCenter);
    labelDragDropTip->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    pageLayout->addWidget(labelDragDropTip);
    labelCopyright = new QLabel(page);
    labelCopyright->setObjectName(QStringLiteral("labelCopyright"));
    pageLayout->addWidget(labelCopyright);
    stackedWidget->addWidget(page);

    page1 = new QWidget();
    page1->setObjectName(QStringLiteral("page1"));
    verticalLayoutPropertyWidget = new QVBoxLayout(page1);
    verticalLayoutPropertyWidget->setObjectName(QStringLiteral("verticalLayoutPropertyWidget"));
    verticalLayoutPropertyWidget->setContentsMargins(0, 0, 0, 0);
    horizontalLayoutPropertyWidget = new QHBoxLayout();
    horizontalLayoutPropertyWidget->setObjectName(QStringLiteral("horizontalLayoutPropertyWidget"));
    horizontalLayoutPropertyWidget->setSpacing(9);
    horizontalLayoutPropertyWidget->setContentsMargins(-1, 0, -1, -1);
    widgetCommand = new QWidget(page1);
    widgetCommand->setObjectName(QStringLiteral("widgetCommand"));
    gridLayoutPropertyWidget = new QGridLayout(widgetCommand);
    gridLayoutPropertyWidget->setObjectName(QStringLiteral("gridLayoutPropertyWidget"));
    gridLayoutPropertyWidget->setHorizontalSpacing(9);
    gridLayoutPropertyWidget->setContentsMargins(-1, 6, -1, -1);
    horizontalLayout_2 = new QHBoxLayout();
    horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
    labelClipboardContent_2 = new QLabel(widgetCommand);
    labelClipboardContent_2->setObjectName(QStringLiteral("labelClipboardContent_2"));
    horizontalLayout_2->addWidget(labelClipboardContent_2);
    labelClipboardContent = new QLabel(widgetCommand);
    labelClipboardContent->setObjectName(QStringLiteral("labelClipboardContent"));
    horizontalLayout_2->addWidget(labelClipboardContent);
    horizontalLayout_2->addStretch(1);
    btnClearTableWiget = new QPushButton(widgetCommand);
    btnClearTableWiget->setObjectName(QStringLiteral("btnClearTableWiget"));
    btnClearTableWiget->setMinimumSize(QSize(0, 30));
    horizontalLayout_2->addWidget(btnClearTableWiget);
    gridLayoutPropertyWidget->addLayout(horizontalLayout_2, 0, 0);
    tableWidget = new QTableWidget(widgetCommand);
    tableWidget->setObjectName(QStringLiteral("tableWidget"));
    tableWidget->setSelectionMode(QAbstractItemView::SingleSelection);
    tableWidget->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableWidget->horizontalHeader()->setStretchLastSection(true);
    gridLayoutPropertyWidget->addWidget(tableWidget, 1, 0);
    horizontalLayoutPropertyWidget->addWidget(widgetCommand);
    verticalLayoutPropertyWidget->addLayout(horizontalLayoutPropertyWidget);
    stackedWidget->addWidget(page1);
    verticalLayout->addWidget(stackedWidget);

    window->setCentralWidget(centralwidget);
    retranslateUi(window);
    QMetaObject::connectSlotsByName(window);
}

void Ui_MainWindow::retranslateUi(QMainWindow* window) {
    window->setWindowTitle(QStringLiteral("相机属性 XML 预览及串口指令生成"));
    label->setText(QStringLiteral("XML:"));
    btnSelectXml->setText(QStringLiteral("选择"));
    btnRefresh->setText(QStringLiteral("刷新"));
    labelDragDropTip->setText(QStringLiteral("把属性配置 XML 文件拖动到这里"));
    labelClipboardContent_2->setText(QStringLiteral("当前剪切板内容:"));
    labelClipboardContent->setText(QStringLiteral("--"));
    btnClearTableWiget->setText(QStringLiteral("清空"));
}

// ---- the window --------------------------------------------------------------------------

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui_MainWindow>()),
      settings(QStringLiteral("XmlViewerConfig.ini"), QSettings::IniFormat), m_guiThread(std::this_thread::get_id()) {
    ui->setupUi(this);
    m_tree = new PropertyTreeViewerEx(this);

    ui->horizontalLayoutPropertyWidget->removeWidget(ui->widgetCommand);
    m_splitter = new QSplitter(Qt::Horizontal, ui->page1);
    m_splitter->addWidget(m_tree);
    m_splitter->addWidget(ui->widgetCommand);
    m_splitter->setStretchFactor(0, 2);
    m_splitter->setStretchFactor(1, 1);
    ui->horizontalLayoutPropertyWidget->insertWidget(0, m_splitter);

    ui->stackedWidget->setCurrentIndex(0);
    setWindowTitle(windowTitle() + QString::asprintf("（Build on %s）", __DATE__));
    setAcceptDrops(true);

    ui->labelCopyright->setText(QString::fromUtf8(kMakerNotice) +
                                QString::asprintf("\n\nQxCamSdk Version: 0x%08x", QX_GetSdkVersion()));
    ui->labelCopyright->setStyleSheet(QStringLiteral("color:lightGray"));
    ui->labelCopyright->setWordWrap(true);

    m_feature =
        new viewer::FeatureBase([this](void* buffer, int64_t address, int64_t length,
                                       QX_PORT_DEVICE_TYPE type) { onPortRead(buffer, address, length, type); },
                                [this](const void* buffer, int64_t address, int64_t length, QX_PORT_DEVICE_TYPE type) {
                                    onPortWrite(buffer, address, length, type);
                                });
    m_tree->setFeature(m_feature);

    // The clipboard label shows any text without moving the splitter: its width does not
    // follow its text, and fits a command.
    ui->labelClipboardContent->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ui->labelClipboardContent->setMinimumWidth(ui->labelClipboardContent->fontMetrics().horizontalAdvance(
                                                   QString::fromLatin1(kTypicalRow[3]) + QString::fromUtf8(kCopied)) +
                                               kLabelPadding);
    ui->tableWidget->setColumnCount(4);
    ui->tableWidget->setHorizontalHeaderLabels(
        {QStringLiteral("时间"), QStringLiteral("KEY"), QStringLiteral("VALUE"), QStringLiteral("CMD HEX")});

    addressHighByteFirst = true;
    highlightTimer.setSingleShot(true);
    connect(&highlightTimer, &QTimer::timeout, this, &MainWindow::recoverColor);
    m_tablePaintTimer.setSingleShot(true);
    m_tablePaintTimer.setInterval(kTablePaintMs);
    connect(&m_tablePaintTimer, &QTimer::timeout, this, [this] { ui->tableWidget->setUpdatesEnabled(true); });
    m_tree->setPendingCommand(&m_pending);
    connect(m_tree, &PropertyTreeViewerEx::setPropSgl, this, &MainWindow::appendRow);
}

MainWindow::~MainWindow() {
    // The refresh worker reads through the feature: it ends before the feature goes.
    m_tree->resetViewer();
    delete m_tree;
    m_tree = nullptr;
    delete m_feature;
    m_feature = nullptr;
}

QSize MainWindow::defaultSize(const QRect& available, int titleBarHeight) const {
    const int wanted = std::max(available.width() / 2, kTreeWidth + commandAreaWidth());
    return QSize(std::min(wanted, available.width()), (available.height() - titleBarHeight - 9) * 2 / 3);
}

// A cell of the table as the item delegate lays it out: the text, its margins, the grid line.
int MainWindow::columnWidthFor(const QString& sample) const {
    const QTableWidget* table = ui->tableWidget;
    const int margin = table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1;
    return table->fontMetrics().horizontalAdvance(sample) + 2 * margin + 1;
}

int MainWindow::commandAreaWidth() const {
    const QTableWidget* table = ui->tableWidget;
    int width = 0;
    for (const char* sample : kTypicalRow) width += columnWidthFor(QString::fromLatin1(sample));
    width += columnWidthFor(QStringLiteral("0000")); // the row numbers
    width += table->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, table);
    width += 2 * table->frameWidth();
    const QMargins margins = ui->gridLayoutPropertyWidget->contentsMargins();
    return width + margins.left() + margins.right() + kSlack;
}

// At the first load the command area gets the width of a whole command, the tree the rest;
// later the splitter keeps what the user made of it.
void MainWindow::placeSplitter() {
    if (m_splitterPlaced || !isVisible()) return;
    ui->page1->layout()->activate();
    const int total = m_splitter->width() - m_splitter->handleWidth();
    const int command = std::min(commandAreaWidth(), total - m_tree->minimumSizeHint().width());
    if (command <= 0) return;
    m_splitter->setSizes({total - command, command});
    m_splitterPlaced = true;
}

// ---- port callbacks ----------------------------------------------------------------------

void MainWindow::postAppendRow() {
    // A zero-delay single shot is a queued call: safe from any thread.
    QTimer::singleShot(0, this, SLOT(appendRow()));
}

void MainWindow::onPortRead(void* /*buffer*/, int64_t address, int64_t /*length*/, QX_PORT_DEVICE_TYPE /*type*/) {
    // There is no device: GenApi keeps whatever its buffer held.
    const std::string key = m_feature ? m_feature->getCurrentKey() : std::string();
    {
        qx::sys::MutexLock lk(m_pending.mutex);
        if (loadTime.isValid() && loadTime.elapsed() <= kLearningPhaseMs) {
            keyAddressMap[key] = address;
            return;
        }
        if (key.empty()) return;
        if (m_pending.key == key && m_pending.isRead) return;
        PendingCommand::Command command;
        command.isRead = true;
        command.address = address;
        command.key = key;
        command.mayWarn = std::this_thread::get_id() == m_guiThread;
        m_pending.record(std::move(command));
    }
    postAppendRow();
}

void MainWindow::onPortWrite(const void* buffer, int64_t address, int64_t length, QX_PORT_DEVICE_TYPE /*type*/) {
    {
        qx::sys::MutexLock lk(m_pending.mutex);
        const std::string key = m_feature ? m_feature->getCurrentKey() : std::string();
        const std::string valueText = m_feature ? m_feature->getCurrentValueText() : std::string();
        if (m_pending.key == key && !m_pending.isRead && m_pending.valueText == valueText) return;
        PendingCommand::Command command;
        command.isRead = false;
        command.address = address;
        if (buffer && length > 0) command.data = QByteArray(static_cast<const char*>(buffer), static_cast<int>(length));
        command.key = key;
        command.valueText = valueText;
        m_pending.record(std::move(command));
    }
    postAppendRow();
}

int64_t MainWindow::learnedAddress(const std::string& key) {
    qx::sys::MutexLock lk(m_pending.mutex);
    return keyAddressMap.value(key, 0);
}

// ---- commands ----------------------------------------------------------------------------

bool MainWindow::buildCommand(QByteArray& out, int64_t address, const void* data, int64_t length) const {
    out.clear();
    // The frame carries 16 address bits; a register beyond them cannot be addressed.
    if (address < 0 || address > 0xFFFF) return false;
    const char high = static_cast<char>((address >> 8) & 0xFF);
    const char low = static_cast<char>(address & 0xFF);
    const bool isRead = data == nullptr;
    out.append(isRead ? 'R' : 'W');
    if (addressHighByteFirst) {
        out.append(high);
        out.append(low);
    } else {
        out.append(low);
        out.append(high);
    }
    if (isRead) return true;
    if (length < 4) {
        out.clear();
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    out.append(bytes[3]);
    out.append(bytes[2]);
    out.append(bytes[1]);
    out.append(bytes[0]);
    return true;
}

QString MainWindow::hexText(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex(' ').toUpper()); }

int MainWindow::insertTableRow() {
    QTableWidget* table = ui->tableWidget;
    table->setColumnCount(4);
    const int row = table->rowCount();
    table->insertRow(row);
    for (int c = 0; c < 4; ++c) table->setItem(row, c, new QTableWidgetItem(QStringLiteral(" ")));
    return row;
}

void MainWindow::highlightClipboardLabel() {
    // A style sheet set again polishes the label again: only a change is set.
    const QString yellow = QString::fromLatin1(kYellow);
    if (ui->labelClipboardContent->styleSheet() != yellow) ui->labelClipboardContent->setStyleSheet(yellow);
    highlightTimer.start(1000);
}

void MainWindow::appendRow() {
    PendingCommand::Command command;
    {
        qx::sys::MutexLock lk(m_pending.mutex);
        if (m_pending.queue.empty()) {
            m_pending.pending = false;
            return;
        }
        command = std::move(m_pending.queue.front());
        m_pending.queue.pop_front();
        if (command.address == 0) {
            auto it = keyAddressMap.find(command.key);
            if (it == keyAddressMap.end()) it = keyAddressMap.insert(command.key, 0);
            command.address = it.value();
        }
        m_pending.pending = !m_pending.queue.empty();
    }
    QTableWidget* table = ui->tableWidget;
    // A burst of rows (the refresh worker's first fill lists a read per batch) is painted a
    // few dozen times a second, not once per row: each row scrolls the whole table.
    if (!m_tablePaintTimer.isActive()) {
        table->setUpdatesEnabled(false);
        m_tablePaintTimer.start();
    }
    const int row = insertTableRow();
    table->item(row, 0)->setText(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")));
    table->item(row, 1)->setText(QString::fromStdString(command.key));
    const QString value = command.isRead ? QStringLiteral("(读)") : QString::fromStdString(command.valueText);

    QByteArray frame;
    const bool built = command.isRead
                           ? buildCommand(frame, command.address, nullptr, 0)
                           : buildCommand(frame, command.address, command.data.constData(), command.data.size());
    if (built) {
        const QString text = hexText(frame);
        table->item(row, 2)->setText(value);
        table->item(row, 3)->setText(text);
        QApplication::clipboard()->setText(text);
        ui->labelClipboardContent->setText(text + QString::fromUtf8(kCopied));
    } else {
        // The command column stays blank and the clipboard keeps the last good command.
        table->item(row, 2)->setText(value + QString::fromUtf8(kUnbuilt));
    }
    fitColumnsToRow(row);
    table->scrollToBottom();
    highlightClipboardLabel();
    table->selectRow(row);
    if (!built && command.mayWarn) warnUnbuilt(command.key);
}

// Columns 0 to 2 fit their contents. Rows are only ever added (or all cleared), so a column
// needs to grow only when a new cell is wider than it: the new row alone is measured, not
// every row again, which keeps a long fill linear in its rows. The first row after a clear
// fits the columns afresh.
void MainWindow::fitColumnsToRow(int row) {
    QTableWidget* table = ui->tableWidget;
    if (row == 0) {
        for (int c = 0; c <= 2; ++c) table->resizeColumnToContents(c);
        table->setColumnWidth(1, std::min(table->columnWidth(1), columnWidthFor(QString::fromLatin1(kWidestKey))));
        table->setColumnWidth(2, std::min(table->columnWidth(2), columnWidthFor(QString::fromLatin1(kWidestValue))));
        return;
    }
    const int grid = table->showGrid() ? 1 : 0;
    for (int c = 0; c <= 2; ++c) {
        const int width = table->sizeHintForIndex(table->model()->index(row, c)).width() + grid;
        if (width > table->columnWidth(c)) table->setColumnWidth(c, width);
    }
    // Long keys and values do not push the command out of view.
    table->setColumnWidth(1, std::min(table->columnWidth(1), columnWidthFor(QString::fromLatin1(kWidestKey))));
    table->setColumnWidth(2, std::min(table->columnWidth(2), columnWidthFor(QString::fromLatin1(kWidestValue))));
}

void MainWindow::warnUnbuilt(const std::string& key) {
    // One box at a time, and never one that runs its own event loop here: open() returns at
    // once, so appendRow never nests and a burst of failures cannot stack boxes. While this
    // box or any other modal dialog is up, later failures only mark their rows.
    if ((m_warningBox && m_warningBox->isVisible()) || QApplication::activeModalWidget()) return;
    auto* box =
        new QMessageBox(QMessageBox::Warning, QStringLiteral("警告"),
                        QStringLiteral("转换命令 %1 异常！").arg(QString::fromStdString(key)), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_warningBox = box;
    box->open();
}

void MainWindow::recoverColor() {
    QString text = ui->labelClipboardContent->text();
    text.remove(QString::fromUtf8(kCopied), Qt::CaseSensitive);
    ui->labelClipboardContent->setText(text);
    ui->labelClipboardContent->setStyleSheet(QString());
    ui->tableWidget->clearFocus();
}

void MainWindow::on_btnClearTableWiget_clicked() { ui->tableWidget->setRowCount(0); }

void MainWindow::on_tableWidget_cellClicked(int row, int /*column*/) {
    QTableWidgetItem* item = ui->tableWidget->item(row, 3);
    const QString text = item ? item->text() : QString();
    if (text.trimmed().isEmpty()) {
        // A row whose command could not be built: the clipboard keeps what it holds.
        ui->labelClipboardContent->setText(QString::fromUtf8(kNothingCopied));
    } else {
        QApplication::clipboard()->setText(text);
        ui->labelClipboardContent->setText(text + QString::fromUtf8(kCopied));
    }
    highlightClipboardLabel();
}

// ---- loading -----------------------------------------------------------------------------

void MainWindow::loadCurrentPath() {
    const QString path = ui->lineEdit->text();
    if (path.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("请选择相机属性配置 XML 文件"));
        return;
    }
    m_tree->resetViewer();
    m_tree->show();
    ui->labelDragDropTip->hide();
    ui->labelCopyright->hide();
    ui->stackedWidget->setCurrentIndex(1);
    placeSplitter();
    {
        qx::sys::MutexLock lk(m_pending.mutex);
        loadTime.start();
        m_pending.forgetLast();
    }
    m_tree->loadXml(this, path);
}

void MainWindow::on_btnRefresh_clicked() { loadCurrentPath(); }

void MainWindow::on_btnSelectXml_clicked() {
    const QString lastDir = settings.value(QStringLiteral("LastDir"), QString()).toString();
    const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("请选择相机属性配置 XML 文件"), lastDir,
                                                      QStringLiteral("XML (*.xml)"));
    if (file.isEmpty()) return;
    ui->lineEdit->setText(file);
    loadCurrentPath();
    settings.setValue(QStringLiteral("LastDir"), QFileInfo(file).absolutePath());
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) { event->acceptProposedAction(); }

void MainWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData() ? event->mimeData()->urls() : QList<QUrl>();
    if (!urls.isEmpty()) {
        const QString path = urls.first().toLocalFile();
        if (path.endsWith(QStringLiteral(".xml"), Qt::CaseSensitive)) {
            ui->lineEdit->setText(path);
            loadCurrentPath();
            return;
        }
    }
    QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("请选择相机属性配置 XML 文件"));
}

} // namespace viewer
