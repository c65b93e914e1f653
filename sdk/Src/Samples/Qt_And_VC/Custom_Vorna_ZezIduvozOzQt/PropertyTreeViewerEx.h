// PropertyTreeViewerEx: the feature tree of the viewer. A vertical splitter with a tool bar
// (expand, collapse, favourites, user level), a filter line, the property tree and the node
// information panel. It loads a GenICam XML file through the viewer's FeatureBase, builds one
// row per node of the node tree, shows or hides rows by access mode, user level, favourites and
// filter keywords, keeps favourites per XML file name in "FavoriteProperty.ini", gives each
// feature row a value editor, and refreshes values with one background worker that reads the
// queued nodes and hands its results to the GUI thread.
//
// The class is written in three files: PropertyTreeViewerEx.cpp (construction, loading, the
// tree, its filter, favourites and information panel), PropertyTreeEditors.cpp (the value
// editors and the writes they make) and PropertyTreeRefresh.cpp (the refresh worker).
#pragma once
#include "ViewerFeatureBase.h"
#include "PendingCommand.h"
#include "Sys/BusyGate.h"

#include <QHash>
#include <QIcon>
#include <QMap>
#include <QSemaphore>
#include <QSet>
#include <QSplitter>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <mutex>

class QTreeWidget;
class QTreeWidgetItem;
class QTextBrowser;
class QPushButton;
class QLineEdit;
class QComboBox;
class QCheckBox;
class QSpinBox;
class QDoubleSpinBox;
class QSlider;
class QSettings;
class QLabel;

namespace viewer {

class MainWindow;

// A linear integer editor: a slider and a spin box showing the same value.
class MyLinearWidget : public QWidget {
    Q_OBJECT
public:
    explicit MyLinearWidget(QWidget* parent = nullptr);
    QDoubleSpinBox* spinBox() const { return m_spin; }
    QSlider* slider() const { return m_slider; }

private:
    QDoubleSpinBox* m_spin;
    QSlider* m_slider;
};

// What the viewer knows about one row.
struct NodeRowState {
    QTreeWidgetItem* item = nullptr;
    std::unique_ptr<unsigned char[]> valueBuffer; // last value record read; null for other types
    size_t valueSize = 0;
    bool updated = false;
    bool firstRead = true;
    bool readDone = false;
    // The worker's last attempt failed. Each refresh tries a node once: a node that cannot be
    // read is read again only when it is queued again (a click on its row).
    bool readFailed = false;
    // A large tree builds a row's editor only once the row is in view (see lazyEditors): the
    // row's value record is newer than its editor, which is built when the row comes into view.
    bool editorPending = false;
    int32_t accessMode = 5;
};

class PropertyTreeViewerEx : public QSplitter {
    Q_OBJECT
public:
    enum UserLevel { Beginner = 0, Expert = 1, Guru = 2 };

    explicit PropertyTreeViewerEx(QWidget* parent = nullptr);
    ~PropertyTreeViewerEx() override;

    void setPendingCommand(PendingCommand* pending) { m_pending = pending; }
    void setFeature(viewer::FeatureBase* feature) { m_feature = feature; }
    void resetViewer();
    void loadXml(MainWindow* owner, QString path);

    // Value formatting shared with the editors ("%f").
    static QString formatDouble(double value);

    // For tests.
    QTreeWidget* treeWidget() const { return m_tree; }
    QTextBrowser* infoPanel() const { return m_info; }
    QLineEdit* filterEdit() const { return m_filter; }
    QComboBox* userLevelBox() const { return m_userLevelBox; }
    QPushButton* favoriteButton() const { return m_favoriteBtn; }
    const QSet<QString>& favorites() const { return m_favorites; }
    QTreeWidgetItem* itemForName(const QString& name) const;
    NodeInfo* nodeForItem(QTreeWidgetItem* item) const;
    bool isLoaded() const { return m_owner != nullptr; }
    bool workerRunning() const;
    // True when no queued node is waiting for a read or for its row refresh.
    bool refreshIdle();
    void toggleFavoriteOf(QTreeWidgetItem* item);
    void enqueuePoll(NodeInfo* node);

signals:
    void nodeValueUpdated();
    void showRunningTipSignal(QString msg);
    void setPropSgl();

public slots:
    void processMouseMove();
    void commandClicked();
    void intvalueChanged(QDoubleSpinBox* dspinbox, double value);
    void boolvalueChanged(bool);
    void floatvalueChanged(QWidget*, double);
    void stringvalueChanged(QWidget*, QString);
    void enumvalueChanged(QString);
    void updateNodeSlot();
    void ipaddressChanged(QString);
    void on_treeWidget_itemClicked(QTreeWidgetItem* item, int column);
    void visibilityChanged(int visibility);
    void showRunningTipSlot(QString);
    void updatePollingState();
    void itemEntered(QTreeWidgetItem*, int);
    void favoriteBtnClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The steps of the constructor, in order.
    void createToolBar();
    void createFilter();
    void createPollingRow();
    void createPanes();
    void connectSignals();
    void paintFavoriteIcons();

    void applyFilter();
    void loadFavorites(const QString& path);
    bool buildTree(QTreeWidgetItem* parent, NodeInfo** nodes, int count) QX_REQUIRES(m_gate);
    void isItemVisible(QTreeWidgetItem* row, NodeInfo* node);
    void toggleFavorite(QTreeWidgetItem* row, NodeInfo* node);
    void toggleFavoriteBranch(QTreeWidgetItem* row, NodeInfo* category);
    void updateFavoriteCount();
    void pollingWorker();
    void readQueuedNode(NodeInfo* node, NodeRowState* state) QX_REQUIRES(m_gate);
    QX_STATUS readNodeValue(NodeInfo* node, bool force, bool* changed) QX_REQUIRES(m_gate);
    void refreshItem(NodeInfo* node, QTreeWidgetItem* row) QX_REQUIRES(m_gate);
    void buildEditor(NodeInfo* node, NodeRowState* state) QX_REQUIRES(m_gate);
    // Editors for every feature row up to this many rows; beyond, for the rows in view only,
    // so that the view never has to lay out tens of thousands of widgets at each change.
    static constexpr int kEagerEditorRows = 1000;
    bool lazyEditors() const { return m_rows.size() > kEagerEditorRows; }
    // The rows the tree's viewport shows now, top to bottom.
    QSet<QTreeWidgetItem*> rowsInView() const;
    void scheduleEditorsInView();
    void createEditorsInView();
    void removeEditor(QTreeWidgetItem* row);
    void createBoolEditor(QTreeWidgetItem* row, NodeInfo* node, const bool* value);
    void createCommandEditor(QTreeWidgetItem* row, NodeInfo* node);
    void createEnumEditor(QTreeWidgetItem* row, NodeInfo* node, const EnumStrValueInfo* info);
    void createFloatEditor(QTreeWidgetItem* row, NodeInfo* node, const viewer::FloatValueInfo* info);
    void createIntEditor(QTreeWidgetItem* row, NodeInfo* node, const viewer::IntValueInfo* info);
    void createStringEditor(QTreeWidgetItem* row, NodeInfo* node, const StringValueInfo* info);
    NodeInfo* nodeForEditor(QObject* editor) const;
    void postDirectCommand(NodeInfo* node, const QByteArray& data, double x);
    void tip(const QString& message) { showRunningTipSlot(message); }

    PendingCommand* m_pending = nullptr;
    MainWindow* m_owner = nullptr;
    bool m_writesEnabled = true;
    QStringList m_keywords;
    NodeInfo** m_rootNodes = nullptr;
    int m_rootCount = 0;
    QTreeWidget* m_tree = nullptr;
    QTextBrowser* m_info = nullptr;
    QWidget* m_toolBar = nullptr;
    QWidget* m_pollingRow = nullptr;
    QPushButton* m_expandBtn = nullptr;
    QPushButton* m_collapseBtn = nullptr;
    QPushButton* m_favoriteBtn = nullptr;
    QLineEdit* m_filter = nullptr;
    QComboBox* m_userLevelBox = nullptr;
    QCheckBox* m_pollingCheck = nullptr;
    QSpinBox* m_periodSpin = nullptr;
    viewer::FeatureBase* m_feature = nullptr;
    QString m_xmlPath;
    bool m_firstBuild = true;
    int32_t m_userLevel = Guru;
    QMap<QObject*, NodeInfo*> m_editors;
    // The refresh queue and the row states, between the GUI thread and the worker: each
    // closes the gate for its pass over them. The map of rows itself changes only on the GUI
    // thread, with the gate closed, so the GUI thread also reads it without the gate.
    qx::sys::BusyGate m_gate;
    QMap<NodeInfo*, NodeRowState*> m_rows;
    QHash<QTreeWidgetItem*, NodeInfo*> m_itemNodes; // row -> node, beside m_rows
    QSet<QTreeWidgetItem*> m_inView;                // rows in view during updateNodeSlot (lazy editors)
    std::deque<NodeInfo*> m_queue QX_GUARDED_BY(m_gate);
    std::future<void> m_worker;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_acknowledge{true};
    QSemaphore m_semaphore{0};
    QSet<QString> m_favorites;
    QIcon m_favoriteIcon, m_hoverIcon, m_unsetIcon;
    QTreeWidgetItem* m_hovered = nullptr;
    bool m_favoritesOnly = false;
    QSettings* m_favoriteSettings = nullptr;
    QString m_favoriteGroup;
    QTimer m_hoverTimer;
    QTimer m_editorTimer; // single shot: builds the pending editors of the rows in view
};

} // namespace viewer
