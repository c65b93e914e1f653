#include "PropertyTreeViewerEx.h"

#include "MainWindow.h"
#include "PropertyTreeSupport.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QTextBrowser>
#include <QTreeWidget>

#include <chrono>
#include <cstring>
#include <future>
#include <string>

namespace viewer {

using namespace viewer::tree;

namespace {

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

NodeInfoList* childrenOf(NodeInfo* category) { return &reinterpret_cast<CategoryNodeInfo*>(category)->stChildren; }

QString nameOf(const NodeInfo* node) { return QString::fromUtf8(node->strName ? node->strName : ""); }

} // namespace

// ---- construction ------------------------------------------------------------------------

PropertyTreeViewerEx::PropertyTreeViewerEx(QWidget* parent) : QSplitter(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setOrientation(Qt::Vertical);
    createToolBar();
    createFilter();
    createPollingRow();
    createPanes();
    connectSignals();
    paintFavoriteIcons();
}

// The tool bar: collapse, expand, favourites and the user level.
void PropertyTreeViewerEx::createToolBar() {
    m_toolBar = new QWidget();
    m_userLevelBox = new QComboBox(m_toolBar);
    m_userLevelBox->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    m_expandBtn = new QPushButton(m_toolBar);
    m_collapseBtn = new QPushButton(m_toolBar);
    m_favoriteBtn = new QPushButton(m_toolBar);
    m_expandBtn->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    m_collapseBtn->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);

    m_userLevelBox->addItems({QStringLiteral("推荐"), QStringLiteral("专家"), QStringLiteral("大师")});
    m_userLevelBox->setView(new QListView(m_userLevelBox));
    m_userLevelBox->setStyleSheet(QStringLiteral("QAbstractItemView::item{ min-height:25px; }"));
    m_userLevelBox->setCurrentText(QStringLiteral("大师"));

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

// The filter line, with its magnifier.
void PropertyTreeViewerEx::createFilter() {
    m_filter = new QLineEdit();
    m_filter->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
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
}

// The polling row is kept but never placed in a layout: nothing uses it.
void PropertyTreeViewerEx::createPollingRow() {
    m_pollingRow = new QWidget();
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

// The four panes of the splitter (tool bar, filter, tree, information panel) and the tree's look.
void PropertyTreeViewerEx::createPanes() {
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
}

void PropertyTreeViewerEx::connectSignals() {
    connect(m_tree, &QTreeWidget::itemClicked, this, &PropertyTreeViewerEx::on_treeWidget_itemClicked);
    connect(m_filter, &QLineEdit::textChanged, this, [this](const QString&) { applyFilter(); });
    connect(m_expandBtn, &QPushButton::pressed, this, [this] {
        m_tree->expandAll();
        m_tree->resizeColumnToContents(0);
        scheduleEditorsInView();
    });
    connect(m_collapseBtn, &QPushButton::pressed, this, [this] {
        m_tree->collapseAll();
        scheduleEditorsInView();
    });
    connect(m_userLevelBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &PropertyTreeViewerEx::visibilityChanged);
    connect(this, &PropertyTreeViewerEx::nodeValueUpdated, this, &PropertyTreeViewerEx::updateNodeSlot);
    connect(m_tree, &QTreeWidget::itemEntered, this, &PropertyTreeViewerEx::itemEntered);
    connect(m_favoriteBtn, &QPushButton::pressed, this, &PropertyTreeViewerEx::favoriteBtnClicked);
    m_hoverTimer.setInterval(50);
    connect(&m_hoverTimer, &QTimer::timeout, this, &PropertyTreeViewerEx::processMouseMove);
    // What comes into view gets its editor (large trees, see lazyEditors).
    m_editorTimer.setSingleShot(true);
    connect(&m_editorTimer, &QTimer::timeout, this, &PropertyTreeViewerEx::createEditorsInView);
    connect(m_tree->verticalScrollBar(), &QScrollBar::valueChanged, this, &PropertyTreeViewerEx::scheduleEditorsInView);
    connect(m_tree, &QTreeWidget::itemExpanded, this, &PropertyTreeViewerEx::scheduleEditorsInView);
    connect(m_tree, &QTreeWidget::itemCollapsed, this, &PropertyTreeViewerEx::scheduleEditorsInView);
    m_tree->viewport()->installEventFilter(this);
}

// The three stars, painted one over the other on one pixmap.
void PropertyTreeViewerEx::paintFavoriteIcons() {
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
    const qx::sys::BusyGate::Closed closed(m_gate);
    m_editorTimer.stop();
    for (NodeRowState* state : m_rows) delete state;
    m_rows.clear();
    m_itemNodes.clear();
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
    {
        const qx::sys::BusyGate::Closed closed(m_gate);
        m_firstBuild = m_rows.isEmpty();
    }

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
        const qx::sys::BusyGate::Closed closed(m_gate);
        m_queue.clear();
    }
    if (build) {
        {
            const qx::sys::BusyGate::Closed closed(m_gate);
            buildTree(nullptr, m_rootNodes, m_rootCount);
        }
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
    scheduleEditorsInView();
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
            m_itemNodes.insert(row, node);
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
    // Only a change: each call makes the view lay out all its rows again.
    if (row->isHidden() != hidden) row->setHidden(hidden);
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
    return item ? m_itemNodes.value(item, nullptr) : nullptr;
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
    scheduleEditorsInView();
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
    static const char* const kTypes[] = {"IFT_IValue",    "IFT_IBase",        "IFT_IInteger",   "IFT_IBoolean",
                                         "IFT_ICommand",  "IFT_IFloat",       "IFT_IString",    "IFT_IRegister",
                                         "IFT_ICategory", "IFT_IEnumeration", "IFT_IEnumEntry", "IFT_IPort"};
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
        static const char* const kModes[] = {"AM_NI, 不可实现",
                                             "AM_NA, 不可用",
                                             "AM_WO, 只写",
                                             "AM_RO, 只读",
                                             "AM_RW, 读写",
                                             "AM_Undefined, 未定义",
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
        scheduleEditorsInView(); // a row hidden or shown moves the rows below it
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

} // namespace viewer
