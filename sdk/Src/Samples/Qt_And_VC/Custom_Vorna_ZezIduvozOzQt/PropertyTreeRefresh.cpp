// The refresh worker of the property tree: one background thread reads the values of the
// queued nodes through the viewer's FeatureBase and hands the rows whose value or access mode
// changed to the GUI thread (updateNodeSlot), waiting for it before the next pass.
#include "PropertyTreeViewerEx.h"

#include "PropertyTreeSupport.h"

#include <QDebug>
#include <QTreeWidgetItem>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace viewer {

using namespace viewer::tree;

// ---- refresh worker ----------------------------------------------------------------------

void PropertyTreeViewerEx::enqueuePoll(NodeInfo* node) {
    if (m_stop.load() || !node) return;
    const qx::sys::BusyGate::Closed closed(m_gate);
    if (std::find(m_queue.begin(), m_queue.end(), node) != m_queue.end()) return;
    if (NodeRowState* state = m_rows.value(node, nullptr)) state->readDone = false;
    m_queue.push_back(node);
    m_semaphore.release(1);
}

bool PropertyTreeViewerEx::refreshIdle() {
    const qx::sys::BusyGate::Closed closed(m_gate);
    return m_queue.empty() && m_acknowledge.load();
}

void PropertyTreeViewerEx::pollingWorker() {
    m_acknowledge.store(true);
    m_semaphore.tryAcquire(m_semaphore.available());
    m_semaphore.release(1);
    while (!m_stop.load()) {
        int handled = 0;
        bool stopNow = false;
        bool anyQueued = false;
        // One pass over the queue with the gate closed.
        {
            qx::sys::BusyGate::Closed closed(m_gate);
            if (m_queue.empty()) {
                closed.open();
                m_semaphore.acquire(std::max(m_semaphore.available(), 1));
                closed.close();
            }
            anyQueued = !m_queue.empty();
            for (NodeInfo* node : m_queue) {
                NodeRowState* state = m_rows.value(node, nullptr);
                if (!state || state->readDone) continue;
                readQueuedNode(node, state);
                if (++handled >= 10) break;
                if (m_stop.load()) {
                    stopNow = true;
                    break;
                }
            }
        }
        if (stopNow) return;
        if (handled > 0) {
            m_acknowledge.store(false);
            emit nodeValueUpdated();
            while (!m_acknowledge.load() && !m_stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(6));
        } else if (anyQueued) {
            // Everything queued waits for its row refresh: look again on the next queued node
            // or after a short pause, not in a busy loop.
            m_semaphore.tryAcquire(1, 100);
        }
    }
}

// One attempt per refresh: a failed read is logged once and ends the node's turn like a good
// one, so a node that can never be read does not keep the worker busy. A row that was never
// filled then says that its value could not be read; a filled row keeps its last value.
void PropertyTreeViewerEx::readQueuedNode(NodeInfo* node, NodeRowState* state) {
    const char* name = node->strName ? node->strName : "";
    int32_t mode = 0;
    bool failed = false;
    bool changed = false;
    if (m_feature->getNodeAccessMode(name, &mode) != QX_OK) {
        qDebug().noquote() << QStringLiteral("read ") + QString::fromUtf8(name) + QStringLiteral(" accessMode failed");
        failed = true;
    } else {
        changed = mode != state->accessMode || state->firstRead;
        state->accessMode = mode;
        if ((mode == kAccessRO || mode == kAccessRW) && readNodeValue(node, state->firstRead, &changed) != QX_OK) {
            qDebug().noquote() << QStringLiteral("read ") + QString::fromUtf8(name) + QStringLiteral(" failed");
            failed = true;
        }
    }
    state->readDone = true;
    state->readFailed = failed;
    if (failed) {
        state->updated = state->firstRead;
        return;
    }
    if (state->firstRead) {
        state->firstRead = false;
        changed = true;
    }
    state->updated = changed;
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
    // Rows in view are measured before the gate closes: the view may lay itself out here.
    m_inView = lazyEditors() ? rowsInView() : QSet<QTreeWidgetItem*>();
    const qx::sys::BusyGate::Closed closed(m_gate);
    m_writesEnabled = false;
    std::deque<NodeInfo*> next;
    auto it = m_queue.begin();
    for (; it != m_queue.end(); ++it) {
        NodeInfo* node = *it;
        NodeRowState* state = m_rows.value(node, nullptr);
        // The worker reads the queue in order: the nodes from its first unread one on are
        // all waiting still and are kept as they are, without a look at each.
        if (state && !state->readDone && !state->updated) break;
        if (!state) {
            next.push_back(node);
        } else if (state->updated) {
            if (state->readFailed) {
                removeEditor(state->item);
                state->item->setText(1, QStringLiteral("读取失败"));
            } else {
                refreshItem(node, state->item);
            }
            state->updated = false;
        } else if (!state->readDone) {
            next.push_back(node);
        }
    }
    m_queue.erase(m_queue.begin(), it);
    m_queue.insert(m_queue.begin(), next.begin(), next.end());
    m_inView.clear();
    m_writesEnabled = true;
    m_acknowledge.store(true);
}

} // namespace viewer
