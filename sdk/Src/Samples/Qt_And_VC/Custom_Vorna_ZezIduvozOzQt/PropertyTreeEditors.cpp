// The value editors of the property tree (one per feature row, by interface type) and the
// writes they make through the pending serial command.
#include "PropertyTreeViewerEx.h"

#include "PropertyTreeSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTreeWidget>

#include <cstring>
#include <memory>
#include <mutex>

namespace viewer {

using namespace viewer::tree;

namespace {

QString hexCode(uint32_t code) { return QString::number(code, 16); }

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
    state->editorPending = false;
    if (m != kAccessNI) {
        if (!row->isHidden() && parent && parent->isHidden() && m_keywords.isEmpty()) parent->setHidden(false);
        if (m == kAccessWO || m == kAccessRO || m == kAccessRW) {
            if (lazyEditors() && !m_inView.contains(row)) state->editorPending = true;
            else buildEditor(node, state);
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

// The editor of a readable or writable row, from the row's value record.
void PropertyTreeViewerEx::buildEditor(NodeInfo* node, NodeRowState* state) {
    QTreeWidgetItem* row = state->item;
    unsigned char* buffer = state->valueBuffer.get();
    switch (node->nInterfaceType) {
    case QX_NODE_IINTEGER: createIntEditor(row, node, reinterpret_cast<viewer::IntValueInfo*>(buffer)); break;
    case QX_NODE_IBOOLEAN: createBoolEditor(row, node, reinterpret_cast<bool*>(buffer)); break;
    case QX_NODE_ICOMMAND: createCommandEditor(row, node); break;
    case QX_NODE_IFLOAT: createFloatEditor(row, node, reinterpret_cast<viewer::FloatValueInfo*>(buffer)); break;
    case QX_NODE_ISTRING: createStringEditor(row, node, reinterpret_cast<StringValueInfo*>(buffer)); break;
    case QX_NODE_IENUMERATION: createEnumEditor(row, node, reinterpret_cast<EnumStrValueInfo*>(buffer)); break;
    default: break;
    }
}

QSet<QTreeWidgetItem*> PropertyTreeViewerEx::rowsInView() const {
    QSet<QTreeWidgetItem*> rows;
    if (!m_tree->isVisible()) return rows;
    const int height = m_tree->viewport()->height();
    // Bounded by the rows that fit the viewport (and by the rows of the tree).
    for (QTreeWidgetItem* item = m_tree->itemAt(0, 0); item && rows.size() <= m_rows.size();
         item = m_tree->itemBelow(item)) {
        if (m_tree->visualItemRect(item).top() >= height) break;
        rows.insert(item);
    }
    return rows;
}

void PropertyTreeViewerEx::scheduleEditorsInView() {
    if (lazyEditors() && !m_editorTimer.isActive()) m_editorTimer.start(0);
}

// Builds the pending editors of the rows that came into view (scrolled, expanded, shown, or
// revealed by a filter). Under the gate: the worker writes the value records.
void PropertyTreeViewerEx::createEditorsInView() {
    if (!m_owner) return;
    const QSet<QTreeWidgetItem*> rows = rowsInView();
    if (rows.isEmpty()) return;
    const qx::sys::BusyGate::Closed closed(m_gate);
    m_writesEnabled = false;
    for (QTreeWidgetItem* row : rows) {
        NodeRowState* state = m_rows.value(m_itemNodes.value(row, nullptr), nullptr);
        if (!state || !state->editorPending) continue;
        state->editorPending = false;
        NodeInfo* node = m_itemNodes.value(row);
        buildEditor(node, state);
        const int m = state->accessMode;
        if (QWidget* widget = m_tree->itemWidget(row, 1)) widget->setEnabled(m == kAccessWO || m == kAccessRW);
    }
    m_writesEnabled = true;
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

void PropertyTreeViewerEx::createFloatEditor(QTreeWidgetItem* row, NodeInfo* node, const viewer::FloatValueInfo* info) {
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
                intvalueChanged(spin, spin->value());
                // A refused value has been replaced by the device's in the spin box: the slider
                // follows without writing it back, so a refusal writes nothing.
                const QSignalBlocker blockSlider(slider);
                slider->setValue(static_cast<int>(spin->value()));
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
    if (watched == m_tree->viewport()) {
        if (event->type() == QEvent::Resize || event->type() == QEvent::Show) scheduleEditorsInView();
        return false;
    }
    const bool isSpin = qobject_cast<QSpinBox*>(watched) || qobject_cast<QDoubleSpinBox*>(watched);
    if (!isSpin && !qobject_cast<QLineEdit*>(watched) && !qobject_cast<QComboBox*>(watched)) return false;
    switch (event->type()) {
    case QEvent::Wheel: return true;
    case QEvent::MouseButtonRelease:
        if (isSpin)
            QTimer::singleShot(1, watched, [watched] { QMetaObject::invokeMethod(watched, "editingFinished"); });
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
    qx::sys::MutexLock lk(m_pending->mutex);
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
    const bool offStep = step >= 1 && static_cast<double>(v - (v % step)) != value;
    if (offStep) {
        tip(QStringLiteral("[ERROR] 设置值 %1 无效，不是步进值 %2 的倍数").arg(number6(value)).arg(step));
    } else {
        const QX_STATUS s = m_feature->setIntValue(name, v);
        if (s == QX_OK) return;
        tip(QStringLiteral("QX_XML_SetIntValue(%1) failed, err: 0x%2").arg(number6(value), hexCode(s)));
    }
    viewer::IntValueInfo info{};
    if (m_feature->getIntValue(name, &info) != QX_OK) return;
    if (info.limitsReplaced == viewer::kLimitsReplaced) {
        // The command stands in for a write the node map refused; a value off the increment
        // is refused by the viewer itself and never written.
        if (offStep) return;
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

} // namespace viewer
