#include "PropertyTreeViewerEx.h"

#include "MainWindow.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QTextBrowser>
#include <QThread>
#include <QTreeWidget>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr int kAccessNI = 0, kAccessNA = 1, kAccessWO = 2, kAccessRO = 3, kAccessRW = 4;
constexpr int kAccessUndefined = 5, kAccessCycle = 6;

// The value record kept per row, by interface type (0: none).
size_t valueBufferSize(int32_t interfaceType) {
    switch (interfaceType) {
    case QX_NODE_IINTEGER: return 56;
    case QX_NODE_IBOOLEAN: return 1;
    case QX_NODE_IFLOAT: return 28;
    case QX_NODE_ISTRING: return 268;
    case QX_NODE_IENUMERATION: return 4180;
    default: return 0;
    }
}

static_assert(sizeof(viewer::IntValueInfo) <= 56, "row buffer too small");
static_assert(sizeof(viewer::FloatValueInfo) <= 28, "row buffer too small");
static_assert(sizeof(StringValueInfo) <= 268, "row buffer too small");
static_assert(sizeof(EnumStrValueInfo) <= 4180, "row buffer too small");

QStringList splitKeywords(const QString& text) { return text.split(QLatin1Char(','), Qt::SkipEmptyParts); }

QString number6(double x) { return QString::number(x, 'g', 6); }

QString hexCode(uint32_t code) { return QString::number(code, 16); }

NodeInfoList* childrenOf(NodeInfo* category) {
    return &reinterpret_cast<CategoryNodeInfo*>(category)->stChildren;
}

QString nameOf(const NodeInfo* node) { return QString::fromUtf8(node->strName ? node->strName : ""); }

} // namespace

// ---- MyLinearWidget ----------------------------------------------------------------------

MyLinearWidget::MyLinearWidget(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->setSpacing(3);
    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_spin = new QDoubleSpinBox(this);
    m_spin->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    m_spin->setFocusPolicy(Qt::ClickFocus);
    m_spin->setDecimals(0);
    layout->addWidget(m_slider);
    layout->addWidget(m_spin);
}

// ---- construction ------------------------------------------------------------------------

PropertyTreeViewerEx::PropertyTreeViewerEx(QWidget* parent) : QSplitter(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setOrientation(Qt::Vertical);

    m_toolBar = new QWidget();
    m_userLevelBox = new QComboBox(m_toolBar);
    m_userLevelBox->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    m_filter = new QLineEdit();
    m_filter->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_expandBtn = new QPushButton(m_toolBar);
    m_collapseBtn = new QPushButton(m_toolBar);
    m_favoriteBtn = new QPushButton(m_toolBar);
    m_expandBtn->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    m_collapseBtn->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);

    m_userLevelBox->addItems({QStringLiteral("推荐"), QStringLiteral("专家"), QStringLiteral("大师")});
    m_userLevelBox->setView(new QListView(m_userLevelBox));
    m_userLevelBox->setStyleSheet(QStringLiteral("QAbstractItemView::item{ min-height:25px; }"));
    m_userLevelBox->setCurrentText(QStringLiteral("大师"));

    m_filter->setPlaceholderText(QStringLiteral("属性筛选（多个关键字用英文逗号分隔）"));
    m_filter->setClearButtonEnabled(true);
    m_filter->setFixedHeight(28);
    {
        QPixmap magnifier(120, 120);
        magnifier.fill(Qt::transparent);
        QPainter painter(&magnifier);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Qt::black, 8, Qt::SolidLine));
        painter.drawEllipse(10, 10, 74, 74);
        painter.drawLine(81, 81, 100, 100);
        painter.end();
        m_filter->addAction(QIcon(magnifier), QLineEdit::LeadingPosition);
    }

    m_expandBtn->setText(QStringLiteral("☷ 展开"));
    m_expandBtn->setToolTip(QStringLiteral("展开"));
    m_collapseBtn->setText(QStringLiteral("☰ 折叠"));
    m_collapseBtn->setToolTip(QStringLiteral("折叠"));
    m_favoriteBtn->setText(QStringLiteral("☆（收藏数:--）"));
    m_favoriteBtn->setToolTip(QStringLiteral("显示收藏属性"));
    {
        const int w = m_expandBtn->fontMetrics().horizontalAdvance(m_expandBtn->text()) + 18;
        m_expandBtn->setMaximumWidth(w);
        m_collapseBtn->setMaximumWidth(w);
        m_favoriteBtn->setMaximumWidth(m_favoriteBtn->fontMetrics().horizontalAdvance(m_favoriteBtn->text()) + 18);
    }

    // The polling row is kept but never placed in a layout: nothing uses it.
    m_pollingRow = new QWidget();
    {
        m_pollingCheck = new QCheckBox(QStringLiteral("属性树 Polling |"), m_pollingRow);
        auto* periodLabel = new QLabel(QStringLiteral("周期(ms):"), m_pollingRow);
        m_periodSpin = new QSpinBox(m_pollingRow);
        m_periodSpin->setRange(10, 60000);
        m_periodSpin->setValue(1000);
        m_periodSpin->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        m_periodSpin->setButtonSymbols(QAbstractSpinBox::NoButtons);
        auto* grid = new QGridLayout(m_pollingRow);
        grid->setContentsMargins(0, 0, 0, 0);
        grid->setSpacing(3);
        grid->addWidget(m_pollingCheck, 0, 0);
        grid->addWidget(periodLabel, 0, 1);
        grid->addWidget(m_periodSpin, 0, 2);
        auto* rule = new QLabel(m_pollingRow);
        rule->setFixedHeight(1);
        rule->setStyleSheet(QStringLiteral("background-color:lightGray;"));
        grid->addWidget(rule, 1, 0, 1, 3);
        connect(m_pollingCheck, &QCheckBox::stateChanged, this, [this, periodLabel](int state) {
            periodLabel->setEnabled(state != Qt::Unchecked);
            m_periodSpin->setEnabled(state != Qt::Unchecked);
            m_pollingCheck->setChecked(true);
        });
        connect(m_periodSpin, &QSpinBox::editingFinished, this, [] {});
    }

    {
        auto* bar = new QHBoxLayout(m_toolBar);
        bar->setContentsMargins(0, 0, 0, 0);
        bar->setSpacing(6);
        bar->addWidget(m_collapseBtn);
        bar->addWidget(m_expandBtn);
        bar->addWidget(m_favoriteBtn);
        auto* levelLabel = new QLabel(QStringLiteral("用户等级:"), m_toolBar);
        levelLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        bar->addWidget(levelLabel);
        bar->addWidget(m_userLevelBox);
    }

    m_tree = new QTreeWidget();
    m_tree->setObjectName(QStringLiteral("treeWidget"));
    m_info = new QTextBrowser();
    addWidget(m_toolBar);
    addWidget(m_filter);
    addWidget(m_tree);
    addWidget(m_info);
    setStretchFactor(2, 2);
    {
        QMargins margins = contentsMargins();
        margins.setTop(9);
        setContentsMargins(margins);
    }

    m_tree->setColumnCount(2);
    m_tree->setAlternatingRowColors(true);
    m_tree->setHeaderLabels({QStringLiteral("property"), QStringLiteral("value")});
    m_tree->setMouseTracking(true);
    m_tree->setStyleSheet(QStringLiteral(
        "QTreeView {show-decoration-selected: 1;}QTreeView::item { border: 1px solid #d9d9d9;border-top-color: "
        "transparent;border-bottom-color: transparent;}QTreeView::item:hover {background: qlineargradient(x1: 0, y1: "
        "0, x2: 0, y2: 1, stop: 0 #e7effd, stop: 1 #cbdaf1);border: 1px solid #bfcde4;}QTreeView::item:selected "
        "{border: 1px solid #567dbc;}QTreeView::item:selected:active{background: qlineargradient(x1: 0, y1: 0, x2: 0, "
        "y2: 1, stop: 0 #6ea1f1, stop: 1 #567dbc);}QTreeView::item:selected:!active {background: qlineargradient(x1: "
        "0, y1: 0, x2: 0, y2: 1, stop: 0 #6b9be8, stop: 1 #577fbf);}"));

    connect(m_tree, &QTreeWidget::itemClicked, this, &PropertyTreeViewerEx::on_treeWidget_itemClicked);
    connect(m_filter, &QLineEdit::textChanged, this, [this](const QString&) { applyFilter(); });
    connect(m_expandBtn, &QPushButton::pressed, this, [this] {
        m_tree->expandAll();
        m_tree->resizeColumnToContents(0);
    });
    connect(m_collapseBtn, &QPushButton::pressed, this, [this] { m_tree->collapseAll(); });
    connect(m_userLevelBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &PropertyTreeViewerEx::visibilityChanged);
    connect(this, &PropertyTreeViewerEx::nodeValueUpdated, this, &PropertyTreeViewerEx::updateNodeSlot);
    connect(m_tree, &QTreeWidget::itemEntered, this, &PropertyTreeViewerEx::itemEntered);
    connect(m_favoriteBtn, &QPushButton::pressed, this, &PropertyTreeViewerEx::favoriteBtnClicked);
    m_hoverTimer.setInterval(50);
    connect(&m_hoverTimer, &QTimer::timeout, this, &PropertyTreeViewerEx::processMouseMove);

    // The three stars, painted one over the other on one pixmap.
    {
        QPixmap stars(64, 64);
        stars.fill(Qt::transparent);
        QFont font = m_favoriteBtn->font();
        font.setPixelSize(54);
        QPainter painter(&stars);
        painter.setFont(font);
        painter.setOpacity(0.08);
        painter.drawText(stars.rect(), Qt::AlignCenter, QStringLiteral("☆"));
        m_unsetIcon = QIcon(stars.copy());
        painter.setOpacity(0.5);
        painter.drawText(stars.rect(), Qt::AlignCenter, QStringLiteral("☆"));
        m_hoverIcon = QIcon(stars.copy());
        painter.setOpacity(0.7);
        painter.drawText(stars.rect(), Qt::AlignCenter, QStringLiteral("★"));
        m_favoriteIcon = QIcon(stars.copy());
        painter.end();
    }
}

PropertyTreeViewerEx::~PropertyTreeViewerEx() {
    resetViewer();
    delete m_favoriteSettings;
    m_favoriteSettings = nullptr;
    delete m_pollingRow;
    m_pollingRow = nullptr;
}

QString PropertyTreeViewerEx::formatDouble(double value) { return QString::asprintf("%f", value); }

// ---- load, reset -------------------------------------------------------------------------

bool PropertyTreeViewerEx::workerRunning() const {
    return m_worker.valid() && m_worker.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

void PropertyTreeViewerEx::resetViewer() {
    m_hoverTimer.stop();
    if (m_worker.valid()) {
        m_stop.store(true);
        m_semaphore.release(1);
        m_worker.wait();
        m_worker = std::future<void>();
    }
    m_gate.enter();
    for (NodeRowState* state : m_rows) delete state;
    m_rows.clear();
    m_editors.clear();
    m_hovered = nullptr;
    m_tree->clear();
    m_queue.clear();
    m_owner = nullptr;
    m_filter->clearFocus();
    // Not with signals blocked: the line edit hides its clear button on its own text change.
    // No file is loaded any more, so applyFilter does not reload.
    m_filter->clear();
    m_filter->setEnabled(true);
    m_keywords.clear();
    m_favoritesOnly = false;
    m_favoriteBtn->setText(QStringLiteral("☆（收藏数:--）"));
    m_favoriteBtn->setStyleSheet(QString());
    if (m_favoriteSettings && !m_favoriteGroup.isEmpty()) {
        m_favoriteSettings->beginGroup(m_favoriteGroup);
        m_favoriteSettings->remove(QString());
        for (const QString& name : m_favorites) m_favoriteSettings->setValue(name, 1);
        m_favoriteSettings->endGroup();
        m_favoriteSettings->sync();
        m_favorites.clear();
        m_favoriteGroup.clear();
    }
    m_gate.leave();
}

void PropertyTreeViewerEx::loadXml(MainWindow* owner, QString path) {
    const Qt::CursorShape filterCursor = m_filter->cursor().shape();
    setCursor(Qt::WaitCursor);
    m_tree->setCursor(Qt::WaitCursor);
    m_filter->setCursor(Qt::WaitCursor);
    m_xmlPath = path;
    // The owner marks a loaded file: it is set once this load has succeeded, so that the
    // filter, the user level and the favourites button never re-run a failed load.
    m_owner = nullptr;
    m_gate.enter();
    m_firstBuild = m_rows.isEmpty();
    m_gate.leave();

    const QX_STATUS status = m_feature ? m_feature->loadXmlFile(path.toLocal8Bit().toStdString()) : QX_ERR_GENICAM;
    bool build = status == QX_OK;
    if (!build) {
        // Restore the cursors before the box: it runs an event loop.
        setCursor(Qt::ArrowCursor);
        m_tree->setCursor(Qt::ArrowCursor);
        m_filter->setCursor(filterCursor);
        QMessageBox::warning(this, QStringLiteral("警告"), QStringLiteral("XML 文件解析失败！"));
    }
    if (build && m_firstBuild) {
        if (!m_favoriteSettings)
            m_favoriteSettings = new QSettings(QStringLiteral("FavoriteProperty.ini"), QSettings::IniFormat);
        loadFavorites(path);
        NodeInfoList list{};
        if (m_feature->getNodeTree(&list) != QX_OK) {
            build = false;
        } else {
            m_rootNodes = list.ppNodes;
            m_rootCount = list.nCount;
        }
        m_gate.enter();
        m_queue.clear();
        m_gate.leave();
    }
    if (build) {
        m_gate.enter();
        buildTree(nullptr, m_rootNodes, m_rootCount);
        m_gate.leave();
        if (!workerRunning()) {
            if (m_worker.valid()) m_worker.wait();
            m_acknowledge.store(true);
            m_stop.store(false);
            m_worker = std::async(std::launch::async, [this] { pollingWorker(); });
        }
        m_hoverTimer.start();
        m_owner = owner;
    }
    m_tree->resizeColumnToContents(0);
    setCursor(Qt::ArrowCursor);
    m_tree->setCursor(Qt::ArrowCursor);
    m_filter->setCursor(filterCursor);
}

void PropertyTreeViewerEx::loadFavorites(const QString& path) {
    if (!m_favoriteSettings) return;
    m_favoriteGroup = QFileInfo(path).fileName();
    m_favoriteSettings->beginGroup(m_favoriteGroup);
    for (const QString& key : m_favoriteSettings->childKeys()) m_favorites.insert(key);
    m_favoriteSettings->endGroup();
    updateFavoriteCount();
}

// Runs under the queue gate: it creates row states and queues nodes.
bool PropertyTreeViewerEx::buildTree(QTreeWidgetItem* parent, NodeInfo** nodes, int count) {
    bool allHidden = true;
    for (int i = 0; i < count; ++i) {
        NodeInfo* node = nodes ? nodes[i] : nullptr;
        if (!node) continue;
        QTreeWidgetItem* row = nullptr;
        if (m_firstBuild) {
            row = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_tree);
            row->setIcon(0, m_favorites.contains(nameOf(node)) ? m_favoriteIcon : m_unsetIcon);
            row->setText(0, QString::fromUtf8(node->strDisplayName ? node->strDisplayName : ""));
            row->setToolTip(0, QString::fromUtf8(node->strToolTip ? node->strToolTip : ""));
            auto* state = new NodeRowState;
            state->item = row;
            state->valueSize = node->isCategory ? 0 : valueBufferSize(node->nInterfaceType);
            if (state->valueSize) state->valueBuffer.reset(new unsigned char[state->valueSize]());
            m_rows.insert(node, state);
        } else {
            NodeRowState* state = m_rows.value(node, nullptr);
            if (!state) continue;
            row = state->item;
        }
        isItemVisible(row, node);
        if (!node->isCategory) {
            if (m_firstBuild) {
                m_queue.push_back(node);
                row->setText(1, QStringLiteral("读取中..."));
            }
            allHidden = allHidden && row->isHidden();
        } else {
            NodeInfoList* children = childrenOf(node);
            if (!buildTree(row, children->ppNodes, children->nCount)) {
                if (!m_keywords.isEmpty()) row->setExpanded(true);
                allHidden = false;
            }
        }
    }
    if (allHidden && parent) parent->setHidden(true);
    return allHidden;
}

void PropertyTreeViewerEx::isItemVisible(QTreeWidgetItem* row, NodeInfo* node) {
    bool hidden = false;
    const QString name = nameOf(node);
    if (node->nAccessMode == kAccessNI) hidden = true;
    else if (m_userLevel < node->nVisibility) hidden = true;
    else if (!node->isCategory && m_favoritesOnly && !m_favorites.contains(name)) hidden = true;
    else if (!node->isCategory && !m_favoritesOnly && !m_keywords.isEmpty()) {
        bool match = false;
        for (const QString& keyword : m_keywords) {
            if (name.contains(keyword, Qt::CaseInsensitive)) {
                match = true;
                break;
            }
        }
        hidden = !match;
    }
    row->setHidden(hidden);
}

void PropertyTreeViewerEx::applyFilter() {
    const QStringList words = splitKeywords(m_filter->text());
    if (m_owner && words != m_keywords) {
        m_keywords = words;
        loadXml(m_owner, m_xmlPath);
    }
}

void PropertyTreeViewerEx::visibilityChanged(int visibility) {
    m_userLevel = visibility == 0 ? Beginner : visibility == 1 ? Expert : Guru;
    if (m_owner) {
        m_keywords = splitKeywords(m_filter->text());
        loadXml(m_owner, m_xmlPath);
    }
}

// ---- favourites --------------------------------------------------------------------------

QTreeWidgetItem* PropertyTreeViewerEx::itemForName(const QString& name) const {
    for (auto it = m_rows.cbegin(); it != m_rows.cend(); ++it)
        if (nameOf(it.key()) == name) return it.value()->item;
    return nullptr;
}

NodeInfo* PropertyTreeViewerEx::nodeForItem(QTreeWidgetItem* item) const {
    if (!item) return nullptr;
    for (auto it = m_rows.cbegin(); it != m_rows.cend(); ++it)
        if (it.value()->item == item) return it.key();
    return nullptr;
}

void PropertyTreeViewerEx::itemEntered(QTreeWidgetItem* item, int) {
    if (m_hovered && m_hovered != item) {
        NodeInfo* old = nodeForItem(m_hovered);
        if (old && !m_favorites.contains(nameOf(old))) m_hovered->setIcon(0, m_unsetIcon);
    }
    NodeInfo* node = nodeForItem(item);
    if (node) {
        m_hovered = item;
        item->setIcon(0, m_favorites.contains(nameOf(node)) ? m_favoriteIcon : m_hoverIcon);
    }
}

void PropertyTreeViewerEx::toggleFavorite(QTreeWidgetItem* row, NodeInfo* node) {
    const QString name = nameOf(node);
    if (!m_favorites.contains(name)) {
        m_favorites.insert(name);
        row->setIcon(0, m_favoriteIcon);
        if (row->isHidden()) isItemVisible(row, node);
    } else {
        m_favorites.remove(name);
        if (m_favoritesOnly) {
            row->setIcon(0, m_unsetIcon);
            row->setHidden(true);
        } else {
            row->setIcon(0, row->isSelected() ? m_hoverIcon : m_unsetIcon);
        }
    }
}

void PropertyTreeViewerEx::toggleFavoriteBranch(QTreeWidgetItem* row, NodeInfo* category) {
    // Every descendant ends in the category's new state: put each child in the opposite
    // state first, then toggle it.
    const bool nowFavorite = m_favorites.contains(nameOf(category));
    NodeInfoList* children = childrenOf(category);
    for (int i = 0; i < children->nCount; ++i) {
        NodeInfo* child = children->ppNodes[i];
        NodeRowState* state = m_rows.value(child, nullptr);
        if (!child || !state) continue;
        if (nowFavorite) m_favorites.insert(nameOf(child));
        else m_favorites.remove(nameOf(child));
        if (child->isCategory) toggleFavoriteBranch(state->item, child);
        else toggleFavorite(state->item, child);
    }
    toggleFavorite(row, category);
}

void PropertyTreeViewerEx::toggleFavoriteOf(QTreeWidgetItem* item) {
    NodeInfo* node = nodeForItem(item);
    if (!node) return;
    if (node->isCategory) toggleFavoriteBranch(item, node);
    else toggleFavorite(item, node);
    updateFavoriteCount();
}

void PropertyTreeViewerEx::updateFavoriteCount() {
    m_favoriteBtn->setText(QStringLiteral("%1（收藏数:%2）")
                               .arg(m_favoritesOnly ? QStringLiteral("★") : QStringLiteral("☆"))
                               .arg(m_favorites.size()));
    m_favoriteBtn->setMaximumWidth(m_favoriteBtn->fontMetrics().horizontalAdvance(m_favoriteBtn->text()) + 18);
}

void PropertyTreeViewerEx::favoriteBtnClicked() {
    if (!m_owner) return;
    if (!m_favoritesOnly && m_favorites.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("警告"),
                                 QStringLiteral("尚未收藏任何属性，\n点击属性左边五角星可收藏。"));
        return;
    }
    m_favoriteBtn->setStyleSheet(m_favoritesOnly ? QString() : QStringLiteral("color:#ffaa00;"));
    m_filter->setEnabled(m_favoritesOnly);
    m_favoritesOnly = !m_favoritesOnly;
    updateFavoriteCount();
    loadXml(m_owner, m_xmlPath);
    if (m_favoritesOnly) {
        m_tree->expandAll();
        m_tree->resizeColumnToContents(0);
    }
}

void PropertyTreeViewerEx::updatePollingState() {}
void PropertyTreeViewerEx::ipaddressChanged(QString) {}

// ---- information panel, hover ------------------------------------------------------------

void PropertyTreeViewerEx::on_treeWidget_itemClicked(QTreeWidgetItem* item, int) {
    NodeInfo* node = nodeForItem(item);
    if (!node) return;
    m_info->clear();
    const std::string key = node->strName ? node->strName : "";
    QString text;
    auto line = [&text](const QString& head, const QString& value) { text += head + value + QStringLiteral("\n\n"); };
    line(QStringLiteral("[DisplayName] "), QString::fromUtf8(node->strDisplayName ? node->strDisplayName : ""));
    line(QStringLiteral("[KeyName] "), QString::fromStdString(key));
    static const char* const kTypes[] = {"IFT_IValue", "IFT_IBase", "IFT_IInteger", "IFT_IBoolean", "IFT_ICommand",
                                         "IFT_IFloat", "IFT_IString", "IFT_IRegister", "IFT_ICategory",
                                         "IFT_IEnumeration", "IFT_IEnumEntry", "IFT_IPort"};
    const int type = node->nInterfaceType;
    line(QStringLiteral("[IntfaceType] "), type >= 0 && type <= 11 ? QString::fromLatin1(kTypes[type])
                                           : type == 12            ? QStringLiteral("未定义")
                                                                   : QString());
    if (type == QX_NODE_IINTEGER) {
        viewer::IntValueInfo info{};
        if (m_feature->getIntValue(key.c_str(), &info) == QX_OK)
            line(QStringLiteral("[Limits] max:%1, min:%2, inc:%3").arg(info.nMax).arg(info.nMin).arg(info.nInc), {});
        else line(QStringLiteral("[Limits] (READ ERROR)"), {});
    } else if (type == QX_NODE_IFLOAT) {
        viewer::FloatValueInfo info{};
        if (m_feature->getFloatValue(key.c_str(), &info) == QX_OK)
            line(QStringLiteral("[Limits] fMax:%1, fMin:%2").arg(number6(info.fMax), number6(info.fMin)), {});
        else line(QStringLiteral("[Limits] (READ ERROR)"), {});
    } else if (type == QX_NODE_IENUMERATION) {
        EnumStrValueInfo info{};
        if (m_feature->getEnumValueStr(key.c_str(), &info) == QX_OK) {
            QString entries;
            for (int i = 0; i < info.nCount; ++i)
                entries += QString::fromUtf8(info.arrSymbolics[i]) + QStringLiteral(", ");
            if (entries.endsWith(QStringLiteral(", "))) entries.chop(2);
            line(QStringLiteral("[Enumeration Entries]: "), entries);
        } else {
            line(QStringLiteral("[Enumeration entries] (READ ERROR)"), {});
        }
    }
    int32_t mode = 0;
    if (m_feature->getNodeAccessMode(key.c_str(), &mode) == QX_OK) {
        static const char* const kModes[] = {"AM_NI, 不可实现", "AM_NA, 不可用", "AM_WO, 只写", "AM_RO, 只读",
                                             "AM_RW, 读写", "AM_Undefined, 未定义",
                                             "AM_CycleDetect, 内部用于AccessMode循环检测"};
        line(QStringLiteral("[AccessMode] "), mode >= 0 && mode <= 6 ? QString::fromUtf8(kModes[mode]) : QString());
    }
    const int vis = node->nVisibility;
    static const char* const kVis[] = {"Beginner", "Expert", "Guru", "Invisible"};
    line(QStringLiteral("[Visibility] "), vis >= 0 && vis <= 3 ? QString::fromLatin1(kVis[vis])
                                          : vis == 99          ? QStringLiteral("UndefinedVisibility")
                                                               : QString());
    text += QStringLiteral("[Description] ") + QString::fromUtf8(node->strDescription ? node->strDescription : "");
    m_info->setPlainText(text);
    m_info->verticalScrollBar()->setValue(0);

    // The star square at the left end of the row.
    QRect rect = m_tree->visualItemRect(item);
    QRect star(rect.left(), rect.top(), rect.height(), rect.height());
    star.translate(0, m_tree->header()->height());
    if (star.contains(m_tree->mapFromGlobal(QCursor::pos()))) {
        if (node->isCategory) toggleFavoriteBranch(item, node);
        else toggleFavorite(item, node);
    }
    updateFavoriteCount();
    enqueuePoll(node);
}

void PropertyTreeViewerEx::processMouseMove() {
    QPoint p = m_tree->mapFromGlobal(QCursor::pos());
    p.setY(p.y() - m_tree->header()->height());
    QTreeWidgetItem* item = m_tree->itemAt(p);
    if (item != m_hovered) itemEntered(item, 0);
    m_hovered = item;
}

void PropertyTreeViewerEx::showRunningTipSlot(QString msg) {
    m_info->append(QDateTime::currentDateTime().toString(QStringLiteral("[yyyy-MM-dd hh:mm:ss]")));
    m_info->append(msg.toHtmlEscaped());
    m_info->append(QString());
    m_info->verticalScrollBar()->setValue(m_info->verticalScrollBar()->maximum());
}

// ---- refresh worker ----------------------------------------------------------------------

void PropertyTreeViewerEx::enqueuePoll(NodeInfo* node) {
    if (m_stop.load() || !node) return;
    m_gate.enter();
    if (std::find(m_queue.begin(), m_queue.end(), node) != m_queue.end()) {
        m_gate.leave();
        return;
    }
    if (NodeRowState* state = m_rows.value(node, nullptr)) state->readDone = false;
    m_queue.push_back(node);
    m_semaphore.release(1);
    m_gate.leave();
}

bool PropertyTreeViewerEx::refreshIdle() {
    m_gate.enter();
    const bool idle = m_queue.empty() && m_acknowledge.load();
    m_gate.leave();
    return idle;
}

void PropertyTreeViewerEx::pollingWorker() {
    m_acknowledge.store(true);
    m_semaphore.tryAcquire(m_semaphore.available());
    m_semaphore.release(1);
    while (!m_stop.load()) {
        m_gate.enter();
        if (m_queue.empty()) {
            m_gate.leave();
            m_semaphore.acquire(std::max(m_semaphore.available(), 1));
            m_gate.enter();
        }
        int handled = 0;
        bool stopNow = false;
        const bool anyQueued = !m_queue.empty();
        for (NodeInfo* node : m_queue) {
            NodeRowState* state = m_rows.value(node, nullptr);
            if (!state || state->readDone) continue;
            const char* name = node->strName ? node->strName : "";
            int32_t mode = 0;
            if (m_feature->getNodeAccessMode(name, &mode) != QX_OK) {
                qDebug().noquote() << QStringLiteral("read ") + QString::fromUtf8(name) + QStringLiteral(" accessMode failed");
                continue;
            }
            bool changed = mode != state->accessMode || state->firstRead;
            state->accessMode = mode;
            bool readFailed = false;
            if (mode == kAccessRO || mode == kAccessRW) {
                if (readNodeValue(node, state->firstRead, &changed) != QX_OK) {
                    qDebug().noquote() << QStringLiteral("read ") + QString::fromUtf8(name) + QStringLiteral(" failed");
                    readFailed = true;
                }
            }
            if (!readFailed) {
                state->readDone = true;
                if (state->firstRead) {
                    state->firstRead = false;
                    changed = true;
                }
                state->updated = changed;
            }
            if (++handled >= 10) break;
            if (m_stop.load()) {
                stopNow = true;
                break;
            }
        }
        m_gate.leave();
        if (stopNow) return;
        if (handled > 0) {
            m_acknowledge.store(false);
            emit nodeValueUpdated();
            while (!m_acknowledge.load() && !m_stop.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(6));
        } else if (anyQueued) {
            // Nothing could be read this pass (or everything waits for its row refresh):
            // try again on the next queued node or after a short pause, not in a busy loop.
            m_semaphore.tryAcquire(1, 100);
        }
    }
}

QX_STATUS PropertyTreeViewerEx::readNodeValue(NodeInfo* node, bool force, bool* changed) {
    NodeRowState* state = m_rows.value(node, nullptr);
    if (!state || !state->valueBuffer) return QX_OK;
    const char* name = node->strName ? node->strName : "";
    unsigned char* buffer = state->valueBuffer.get();
    switch (node->nInterfaceType) {
    case QX_NODE_IINTEGER: {
        viewer::IntValueInfo info{};
        const QX_STATUS s = m_feature->getIntValue(name, &info);
        if (s != QX_OK) return s;
        auto* old = reinterpret_cast<viewer::IntValueInfo*>(buffer);
        if (force || info.nValue != old->nValue || info.nInc != old->nInc || info.nMax != old->nMax ||
            info.nMin != old->nMin) {
            std::memcpy(buffer, &info, sizeof info);
            *changed = true;
        }
        return QX_OK;
    }
    case QX_NODE_IBOOLEAN: {
        bool value = false;
        const QX_STATUS s = m_feature->getBoolValue(name, &value);
        if (s != QX_OK) return s;
        if (force || (buffer[0] != 0) != value) {
            buffer[0] = value ? 1 : 0;
            *changed = true;
        }
        return QX_OK;
    }
    case QX_NODE_IFLOAT: {
        viewer::FloatValueInfo info{};
        const QX_STATUS s = m_feature->getFloatValue(name, &info);
        if (s != QX_OK) return s;
        auto* old = reinterpret_cast<viewer::FloatValueInfo*>(buffer);
        if (force || info.fValue != old->fValue || info.fMax != old->fMax || info.fMin != old->fMin) {
            std::memcpy(buffer, &info, sizeof info);
            *changed = true;
        }
        return QX_OK;
    }
    case QX_NODE_ISTRING: {
        unsigned char fresh[268] = {};
        auto* info = reinterpret_cast<StringValueInfo*>(fresh);
        const QX_STATUS s = m_feature->getStringValue(name, info);
        if (s != QX_OK) return s;
        if (force || std::strcmp(reinterpret_cast<const char*>(buffer), info->strValue) != 0) {
            std::memcpy(buffer, fresh, sizeof fresh);
            *changed = true;
        }
        return QX_OK;
    }
    case QX_NODE_IENUMERATION: {
        auto info = std::make_unique<EnumStrValueInfo>();
        std::memset(info.get(), 0, sizeof *info);
        const QX_STATUS s = m_feature->getEnumValueStr(name, info.get());
        if (s != QX_OK) return s;
        auto* old = reinterpret_cast<EnumStrValueInfo*>(buffer);
        if (force || std::strcmp(info->strValue, old->strValue) != 0 || info->nCount != old->nCount) {
            std::memcpy(buffer, info.get(), sizeof *info);
            *changed = true;
        }
        return QX_OK;
    }
    default: return QX_OK;
    }
}

void PropertyTreeViewerEx::updateNodeSlot() {
    if (!m_owner) {
        m_acknowledge.store(true);
        return;
    }
    m_gate.enter();
    m_writesEnabled = false;
    std::deque<NodeInfo*> next;
    for (NodeInfo* node : m_queue) {
        NodeRowState* state = m_rows.value(node, nullptr);
        if (!state) {
            next.push_back(node);
        } else if (state->updated) {
            refreshItem(node, state->item);
            state->updated = false;
        } else if (!state->readDone) {
            next.push_back(node);
        }
    }
    m_writesEnabled = true;
    m_queue.swap(next);
    m_acknowledge.store(true);
    m_gate.leave();
}

// ---- editors -----------------------------------------------------------------------------

NodeInfo* PropertyTreeViewerEx::nodeForEditor(QObject* editor) const { return m_editors.value(editor, nullptr); }

void PropertyTreeViewerEx::removeEditor(QTreeWidgetItem* row) {
    QWidget* widget = m_tree->itemWidget(row, 1);
    if (!widget) return;
    m_editors.remove(widget);
    if (auto* linear = qobject_cast<MyLinearWidget*>(widget)) m_editors.remove(linear->spinBox());
    m_tree->removeItemWidget(row, 1);
}

void PropertyTreeViewerEx::refreshItem(NodeInfo* node, QTreeWidgetItem* row) {
    NodeRowState* state = m_rows.value(node, nullptr);
    if (!state) return;
    const int m = state->accessMode;
    isItemVisible(row, node);
    QTreeWidgetItem* parent = row->parent();
    if (m != kAccessNI) {
        if (!row->isHidden() && parent && parent->isHidden() && m_keywords.isEmpty()) parent->setHidden(false);
        if (m == kAccessWO || m == kAccessRO || m == kAccessRW) {
            unsigned char* buffer = state->valueBuffer.get();
            switch (node->nInterfaceType) {
            case QX_NODE_IINTEGER:
                createIntEditor(row, node, reinterpret_cast<viewer::IntValueInfo*>(buffer));
                break;
            case QX_NODE_IBOOLEAN: createBoolEditor(row, node, reinterpret_cast<bool*>(buffer)); break;
            case QX_NODE_ICOMMAND: createCommandEditor(row, node); break;
            case QX_NODE_IFLOAT:
                createFloatEditor(row, node, reinterpret_cast<viewer::FloatValueInfo*>(buffer));
                break;
            case QX_NODE_ISTRING: createStringEditor(row, node, reinterpret_cast<StringValueInfo*>(buffer)); break;
            case QX_NODE_IENUMERATION:
                createEnumEditor(row, node, reinterpret_cast<EnumStrValueInfo*>(buffer));
                break;
            default: break;
            }
        } else {
            removeEditor(row);
        }
    } else {
        if (parent) {
            bool all = true;
            for (int i = 0; i < parent->childCount(); ++i) all = all && parent->child(i)->isHidden();
            parent->setHidden(all);
        }
        removeEditor(row);
    }
    switch (m) {
    case kAccessNI: row->setText(1, QStringLiteral("未实现")); break;
    case kAccessNA: row->setText(1, QStringLiteral("不可用")); break;
    case kAccessUndefined: row->setText(1, QStringLiteral("未定义")); break;
    case kAccessCycle: row->setText(1, QStringLiteral("内部用于 AccessMode 循环检测")); break;
    default:
        if (QWidget* widget = m_tree->itemWidget(row, 1)) widget->setEnabled(m == kAccessWO || m == kAccessRW);
        break;
    }
}

namespace {

// The row's editor if it is of kind W; an editor of another kind is dropped.
template <typename W>
W* reuseEditor(QTreeWidget* tree, QTreeWidgetItem* row, QMap<QObject*, NodeInfo*>& editors) {
    QWidget* widget = tree->itemWidget(row, 1);
    if (!widget) return nullptr;
    if (auto* w = qobject_cast<W*>(widget)) return w;
    editors.remove(widget);
    if (auto* linear = qobject_cast<MyLinearWidget*>(widget)) editors.remove(linear->spinBox());
    tree->removeItemWidget(row, 1);
    return nullptr;
}

} // namespace

void PropertyTreeViewerEx::createBoolEditor(QTreeWidgetItem* row, NodeInfo* node, const bool* value) {
    auto* box = reuseEditor<QCheckBox>(m_tree, row, m_editors);
    if (!box) {
        box = new QCheckBox(this);
        box->setFocusPolicy(Qt::ClickFocus);
        row->setText(1, QString());
        m_tree->setItemWidget(row, 1, box);
    }
    if (!m_editors.contains(box)) {
        m_editors.insert(box, node);
        connect(box, &QCheckBox::clicked, this, &PropertyTreeViewerEx::boolvalueChanged);
    }
    const QSignalBlocker block(box);
    box->setChecked(value && *value);
}

void PropertyTreeViewerEx::createCommandEditor(QTreeWidgetItem* row, NodeInfo* node) {
    auto* button = reuseEditor<QPushButton>(m_tree, row, m_editors);
    if (!button) {
        button = new QPushButton(QStringLiteral("Execute"), this);
        button->setFocusPolicy(Qt::ClickFocus);
        m_tree->setItemWidget(row, 1, button);
    }
    if (!m_editors.contains(button)) {
        m_editors.insert(button, node);
        connect(button, &QPushButton::pressed, this, &PropertyTreeViewerEx::commandClicked);
    }
}

void PropertyTreeViewerEx::createEnumEditor(QTreeWidgetItem* row, NodeInfo* node, const EnumStrValueInfo* info) {
    auto* box = reuseEditor<QComboBox>(m_tree, row, m_editors);
    if (!box) {
        box = new QComboBox(this);
        box->setFocusPolicy(Qt::ClickFocus);
        box->setView(new QListView(box));
        box->setStyleSheet(QStringLiteral("QAbstractItemView::item{ min-height:25px; }"));
        m_tree->setItemWidget(row, 1, box);
    }
    if (!m_editors.contains(box)) {
        m_editors.insert(box, node);
        box->installEventFilter(this);
        connect(box, &QComboBox::currentTextChanged, this, &PropertyTreeViewerEx::enumvalueChanged);
    }
    box->clear();
    for (int i = 0; i < info->nCount && i < QX_MAX_ENUM_ENTRIES; ++i)
        box->addItem(QString::fromUtf8(info->arrSymbolics[i]));
    box->setCurrentText(QString::fromUtf8(info->strValue));
}

void PropertyTreeViewerEx::createFloatEditor(QTreeWidgetItem* row, NodeInfo* node,
                                             const viewer::FloatValueInfo* info) {
    auto* box = reuseEditor<QDoubleSpinBox>(m_tree, row, m_editors);
    if (!box) {
        box = new QDoubleSpinBox(this);
        box->setFocusPolicy(Qt::ClickFocus);
        box->setDecimals(6);
        m_tree->setItemWidget(row, 1, box);
    }
    if (!m_editors.contains(box)) {
        m_editors.insert(box, node);
        box->installEventFilter(this);
        connect(box, &QDoubleSpinBox::editingFinished, this, [this, box] { floatvalueChanged(box, box->value()); });
    }
    box->setMaximum(info->fMax);
    box->setMinimum(info->fMin);
    if (!box->hasFocus()) box->setValue(info->fValue);
}

void PropertyTreeViewerEx::createIntEditor(QTreeWidgetItem* row, NodeInfo* node, const viewer::IntValueInfo* info) {
    switch (info->nRepresentation) {
    case QX_REPR_LINEAR: {
        auto* linear = reuseEditor<MyLinearWidget>(m_tree, row, m_editors);
        if (!linear) {
            linear = new MyLinearWidget(this);
            row->setText(1, QString());
            m_tree->setItemWidget(row, 1, linear);
        }
        QDoubleSpinBox* spin = linear->spinBox();
        QSlider* slider = linear->slider();
        if (!m_editors.contains(spin)) {
            m_editors.insert(spin, node);
            spin->installEventFilter(this);
            connect(spin, &QDoubleSpinBox::editingFinished, this, [this, spin, slider] {
                slider->setValue(static_cast<int>(spin->value()));
                intvalueChanged(spin, spin->value());
                if (static_cast<int>(spin->value()) != slider->value()) {
                    slider->setValue(static_cast<int>(spin->value()));
                    intvalueChanged(spin, spin->value());
                }
            });
            connect(slider, &QSlider::valueChanged, this, [this, spin](int value) {
                if (value != static_cast<int>(spin->value())) {
                    spin->setValue(value);
                    intvalueChanged(spin, value);
                }
            });
        }
        spin->setMaximum(static_cast<double>(info->nMax));
        spin->setMinimum(static_cast<double>(info->nMin));
        spin->setSingleStep(static_cast<double>(info->nInc));
        const QSignalBlocker blockSlider(slider);
        slider->setMaximum(static_cast<int>(info->nMax));
        slider->setMinimum(static_cast<int>(info->nMin));
        slider->setSingleStep(static_cast<int>(info->nInc));
        if (!spin->hasFocus()) {
            spin->setValue(static_cast<double>(info->nValue));
            slider->setValue(static_cast<int>(info->nValue));
        }
        break;
    }
    case QX_REPR_LOGARITHMIC:
    case QX_REPR_BOOLEAN:
    case QX_REPR_PURE_NUMBER:
    case QX_REPR_UNDEFINED: {
        auto* box = reuseEditor<QDoubleSpinBox>(m_tree, row, m_editors);
        if (!box) {
            box = new QDoubleSpinBox(this);
            box->setFocusPolicy(Qt::ClickFocus);
            box->setDecimals(0);
            m_tree->setItemWidget(row, 1, box);
        }
        if (!m_editors.contains(box)) {
            m_editors.insert(box, node);
            box->installEventFilter(this);
            connect(box, &QDoubleSpinBox::editingFinished, this, [this, box] { intvalueChanged(box, box->value()); });
        }
        box->setMaximum(static_cast<double>(info->nMax));
        box->setMinimum(static_cast<double>(info->nMin));
        box->setSingleStep(static_cast<double>(info->nInc));
        if (!box->hasFocus()) box->setValue(static_cast<double>(info->nValue));
        break;
    }
    case QX_REPR_HEX_NUMBER:
        removeEditor(row);
        row->setText(1, QString::number(static_cast<qulonglong>(info->nValue), 16).toUpper());
        break;
    case QX_REPR_IPV4_ADDRESS: {
        auto* edit = reuseEditor<QLineEdit>(m_tree, row, m_editors);
        if (!edit) {
            edit = new QLineEdit(this);
            edit->setInputMask(QStringLiteral("000.000.000.000"));
            edit->setReadOnly(true);
            connect(edit, &QLineEdit::textChanged, this, &PropertyTreeViewerEx::ipaddressChanged);
            m_tree->setItemWidget(row, 1, edit);
        }
        const uint64_t v = static_cast<uint64_t>(info->nValue);
        edit->setText(QStringLiteral("%1.%2.%3.%4")
                          .arg((v >> 24) & 0xFF)
                          .arg((v >> 16) & 0xFF)
                          .arg((v >> 8) & 0xFF)
                          .arg(v & 0xFF));
        break;
    }
    case QX_REPR_MAC_ADDRESS: {
        removeEditor(row);
        const uint64_t v = static_cast<uint64_t>(info->nValue);
        QStringList parts;
        for (int shift = 40; shift >= 0; shift -= 8) parts << QString::number((v >> shift) & 0xFF, 16).toUpper();
        row->setText(1, parts.join(QLatin1Char(':')));
        break;
    }
    default: break;
    }
}

void PropertyTreeViewerEx::createStringEditor(QTreeWidgetItem* row, NodeInfo* node, const StringValueInfo* info) {
    auto* edit = reuseEditor<QLineEdit>(m_tree, row, m_editors);
    if (!edit) {
        edit = new QLineEdit(this);
        edit->setFocusPolicy(Qt::ClickFocus);
        edit->setMaxLength(256);
        m_tree->setItemWidget(row, 1, edit);
    }
    if (!m_editors.contains(edit)) {
        m_editors.insert(edit, node);
        connect(edit, &QLineEdit::editingFinished, this, [this, edit] { stringvalueChanged(edit, edit->text()); });
    }
    edit->setText(QString::fromUtf8(info->strValue));
}

bool PropertyTreeViewerEx::eventFilter(QObject* watched, QEvent* event) {
    const bool isSpin = qobject_cast<QSpinBox*>(watched) || qobject_cast<QDoubleSpinBox*>(watched);
    if (!isSpin && !qobject_cast<QLineEdit*>(watched) && !qobject_cast<QComboBox*>(watched)) return false;
    switch (event->type()) {
    case QEvent::Wheel: return true;
    case QEvent::MouseButtonRelease:
        if (isSpin) QTimer::singleShot(1, watched, [watched] { QMetaObject::invokeMethod(watched, "editingFinished"); });
        return false;
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down)
            QTimer::singleShot(1, watched, [watched] { QMetaObject::invokeMethod(watched, "editingFinished"); });
        return false;
    }
    case QEvent::FocusOut:
        if (m_editors.contains(watched)) {
            watched->blockSignals(true);
            QTimer::singleShot(100, watched, [watched] { watched->blockSignals(false); });
        }
        return false;
    default: return false;
    }
}

// ---- writes ------------------------------------------------------------------------------

void PropertyTreeViewerEx::postDirectCommand(NodeInfo* node, const QByteArray& data, double x) {
    if (!m_pending) return;
    std::lock_guard<std::mutex> lk(m_pending->mutex);
    PendingCommand::Command command;
    command.data = data;
    command.isRead = false;
    command.address = 0;
    command.key = node->strName ? node->strName : "";
    command.valueText = formatDouble(x).toStdString();
    m_pending->record(std::move(command));
    QTimer::singleShot(10, this, [this] { emit setPropSgl(); });
}

void PropertyTreeViewerEx::intvalueChanged(QDoubleSpinBox* dspinbox, double value) {
    NodeInfo* node = nodeForEditor(dspinbox);
    if (!node || !m_writesEnabled) return;
    const char* name = node->strName;
    const int64_t step = static_cast<int64_t>(dspinbox->singleStep());
    const int64_t v = static_cast<int64_t>(value);
    if (step >= 1 && static_cast<double>(v - (v % step)) != value) {
        tip(QStringLiteral("[ERROR] 设置值 %1 无效，不是步进值 %2 的倍数").arg(number6(value)).arg(step));
    } else {
        const QX_STATUS s = m_feature->setIntValue(name, v);
        if (s == QX_OK) return;
        tip(QStringLiteral("QX_XML_SetIntValue(%1) failed, err: 0x%2").arg(number6(value), hexCode(s)));
    }
    viewer::IntValueInfo info{};
    if (m_feature->getIntValue(name, &info) != QX_OK) return;
    if (info.limitsReplaced == viewer::kLimitsReplaced) {
        const uint32_t raw = static_cast<uint32_t>(static_cast<int64_t>(value));
        QByteArray data;
        for (int i = 0; i < 4; ++i) data.append(static_cast<char>((raw >> (8 * i)) & 0xFF));
        postDirectCommand(node, data, value);
    } else {
        const QSignalBlocker block(dspinbox);
        dspinbox->setValue(static_cast<double>(info.nValue));
    }
}

void PropertyTreeViewerEx::floatvalueChanged(QWidget* widget, double value) {
    NodeInfo* node = nodeForEditor(widget);
    if (!node || !m_writesEnabled) return;
    const QX_STATUS s = m_feature->setFloatValue(node->strName, static_cast<float>(value));
    if (s == QX_OK) return;
    tip(QStringLiteral("QX_XML_SetFloatValue(%1) failed, err: 0x%2").arg(number6(value), hexCode(s)));
    auto* box = qobject_cast<QDoubleSpinBox*>(widget);
    if (!box) return;
    viewer::FloatValueInfo info{};
    if (m_feature->getFloatValue(node->strName, &info) != QX_OK) return;
    if (info.limitsReplaced == viewer::kLimitsReplaced) {
        const float f = static_cast<float>(value);
        uint32_t raw;
        std::memcpy(&raw, &f, 4);
        QByteArray data;
        for (int i = 0; i < 4; ++i) data.append(static_cast<char>((raw >> (8 * i)) & 0xFF));
        postDirectCommand(node, data, value);
    } else {
        const QSignalBlocker block(box);
        box->setValue(info.fValue);
    }
}

void PropertyTreeViewerEx::boolvalueChanged(bool on) {
    NodeInfo* node = nodeForEditor(sender());
    if (!node || !m_writesEnabled) return;
    const QX_STATUS s = m_feature->setBoolValue(node->strName, on);
    if (s == QX_OK) return;
    qDebug().noquote() << QStringLiteral("QX_XML_SetBoolValue failed, err: 0x%1").arg(hexCode(s));
    if (auto* box = qobject_cast<QCheckBox*>(sender())) {
        bool value = false;
        if (m_feature->getBoolValue(node->strName, &value) == QX_OK) {
            const QSignalBlocker block(box);
            box->setChecked(value);
        }
    }
}

void PropertyTreeViewerEx::enumvalueChanged(QString text) {
    NodeInfo* node = nodeForEditor(sender());
    if (!node || !m_writesEnabled) return;
    const QX_STATUS s = m_feature->setEnumValueStr(node->strName, text.toUtf8().constData());
    if (s == QX_OK) return;
    tip(QStringLiteral("QX_XML_SetEnumValueStr(%1) failed, err: 0x%2").arg(text, hexCode(s)));
    if (auto* box = qobject_cast<QComboBox*>(sender())) {
        auto info = std::make_unique<EnumStrValueInfo>();
        std::memset(info.get(), 0, sizeof *info);
        if (m_feature->getEnumValueStr(node->strName, info.get()) == QX_OK) {
            const QSignalBlocker block(box);
            box->setCurrentText(QString::fromUtf8(info->strValue));
        }
    }
}

void PropertyTreeViewerEx::stringvalueChanged(QWidget* widget, QString text) {
    NodeInfo* node = nodeForEditor(widget);
    if (!node || !m_writesEnabled) return;
    const QX_STATUS s = m_feature->setStringValue(node->strName, text.toUtf8().constData());
    if (s == QX_OK) return;
    tip(QStringLiteral("QX_XML_SetStringValue(%1) failed, err: 0x%2").arg(text, hexCode(s)));
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        unsigned char buffer[268] = {};
        auto* info = reinterpret_cast<StringValueInfo*>(buffer);
        if (m_feature->getStringValue(node->strName, info) == QX_OK) {
            const QSignalBlocker block(edit);
            edit->setText(QString::fromUtf8(info->strValue));
        }
    }
}

void PropertyTreeViewerEx::commandClicked() {
    NodeInfo* node = nodeForEditor(sender());
    if (!node) return;
    const QX_STATUS s = m_feature->executeCommand(node->strName);
    if (s != QX_OK) qDebug().noquote() << QStringLiteral("QX_XML_ExecuteCommand failed, err: 0x%1").arg(hexCode(s));
}
