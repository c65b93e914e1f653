// Port callbacks from several threads at once: every command reaches the table with the key
// of the access that caused it, and the refresh worker ends before the feature goes.
#include "ViewerFeatureBase.h"
#include "MainWindow.h"
#include "PropertyTreeViewerEx.h"
#include "ViewerTestUtil.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSet>
#include <QTableWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace viewer;

using viewertest::waitUntil;

TEST(ThreadedMailbox, ConcurrentWritesAreAllListed) {
    MainWindow window;
    ASSERT_EQ(window.feature()->loadXmlFile(viewertest::dataFile("camera.xml").toStdString()), QX_OK);
    constexpr int kThreads = 4;
    constexpr int kWrites = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kWrites; ++i) {
                // Each value is written once: no write repeats the one before it.
                if (window.feature()->setIntValue("Height", 1000 * (t + 1) + i) != QX_OK) ++failures;
            }
        });
    }
    // The GUI thread keeps taking commands while the writers run.
    waitUntil([&] { return window.form().tableWidget->rowCount() >= kThreads * kWrites; }, 20000);
    for (auto& th : threads) th.join();
    ASSERT_EQ(failures.load(), 0);
    ASSERT_TRUE(waitUntil([&] { return window.form().tableWidget->rowCount() >= kThreads * kWrites; }, 20000));
    QTableWidget* table = window.form().tableWidget;
    EXPECT_EQ(table->rowCount(), kThreads * kWrites);
    QSet<QString> seen;
    for (int r = 0; r < table->rowCount(); ++r) {
        EXPECT_EQ(table->item(r, 1)->text(), QStringLiteral("Height"));
        const int value = table->item(r, 2)->text().toInt();
        const QString expected = MainWindow::hexText(
            QByteArray("W\x10\x08", 3) + QByteArray(1, static_cast<char>((value >> 24) & 0xFF)) +
            QByteArray(1, static_cast<char>((value >> 16) & 0xFF)) +
            QByteArray(1, static_cast<char>((value >> 8) & 0xFF)) + QByteArray(1, static_cast<char>(value & 0xFF)));
        EXPECT_EQ(table->item(r, 3)->text(), expected) << value;
        seen.insert(table->item(r, 2)->text());
    }
    EXPECT_EQ(seen.size(), kThreads * kWrites);
}

TEST(ThreadedMailbox, WorkerReadsAndGuiWritesKeepTheirKeys) {
    MainWindow window;
    window.form().lineEdit->setText(viewertest::dataFile("camera.xml"));
    window.loadCurrentPath();
    PropertyTreeViewerEx* tree = window.tree();
    // Past the learning phase, so that the worker's reads make rows too.
    ASSERT_TRUE(waitUntil([&] {
        viewer::IntValueInfo info{};
        window.feature()->getIntValue("Width", &info);
        QApplication::processEvents();
        return window.form().tableWidget->rowCount() > 0;
    }));
    const QMap<QString, QString> readAddress{
        {"Width", "52 10 04"},     {"Height", "52 10 08"},       {"PixelFormat", "52 10 20"},
        {"ReverseX", "52 10 40"},  {"ExposureTime", "52 10 30"}, {"Gain", "52 10 34"},
        {"TestValue", "52 10 50"}, {"DeviceUserID", "52 11 00"}, {"DeviceVersionHex", "52 13 00"}};
    // The worker re-reads clicked rows while the GUI thread writes.
    for (int i = 0; i < 30; ++i) {
        for (const char* name : {"Width", "PixelFormat", "ExposureTime", "DeviceUserID"})
            tree->enqueuePoll(tree->nodeForItem(tree->itemForName(QString::fromLatin1(name))));
        ASSERT_EQ(window.feature()->setIntValue("Height", 100 + i), QX_OK);
        QApplication::processEvents();
    }
    ASSERT_TRUE(waitUntil([&] { return tree->refreshIdle(); }, 20000));
    QApplication::processEvents();
    QTableWidget* table = window.form().tableWidget;
    int writes = 0;
    for (int r = 0; r < table->rowCount(); ++r) {
        const QString key = table->item(r, 1)->text();
        const QString command = table->item(r, 3)->text();
        if (table->item(r, 2)->text() == QStringLiteral("(读)")) {
            ASSERT_TRUE(readAddress.contains(key)) << key.toStdString();
            EXPECT_EQ(command, readAddress.value(key)) << key.toStdString();
        } else {
            ++writes;
            EXPECT_EQ(key, QStringLiteral("Height"));
            EXPECT_TRUE(command.startsWith(QStringLiteral("57 10 08"))) << command.toStdString();
        }
    }
    EXPECT_EQ(writes, 30);
}

TEST(ThreadedMailbox, BurstKeepsTheLatestReadAndEveryWrite) {
    MainWindow window;
    ASSERT_EQ(window.feature()->loadXmlFile(viewertest::dataFile("camera.xml").toStdString()), QX_OK);
    // Another thread reads and writes while the GUI thread takes nothing.
    std::atomic<int> failures{0};
    std::thread burst([&] {
        viewer::IntValueInfo info{};
        for (int i = 0; i < 50; ++i) {
            if (window.feature()->getIntValue("Width", &info) != QX_OK) ++failures;
            if (window.feature()->getIntValue("Height", &info) != QX_OK) ++failures;
            if (i % 5 == 0 && window.feature()->setIntValue("Height", 100 + i) != QX_OK) ++failures;
        }
        EnumStrValueInfo pixel{};
        if (window.feature()->getEnumValueStr("PixelFormat", &pixel) != QX_OK) ++failures;
    });
    burst.join();
    ASSERT_EQ(failures.load(), 0);
    QTableWidget* table = window.form().tableWidget;
    ASSERT_TRUE(waitUntil([&] { return table->rowCount() >= 11; }, 20000));
    waitUntil([] { return false; }, 50); // any surplus posts find nothing
    ASSERT_EQ(table->rowCount(), 11);
    for (int r = 0; r < 10; ++r) {
        EXPECT_EQ(table->item(r, 1)->text(), QStringLiteral("Height"));
        EXPECT_EQ(table->item(r, 2)->text(), QString::number(100 + 5 * r));
        EXPECT_TRUE(table->item(r, 3)->text().startsWith(QStringLiteral("57 10 08"))) << r;
    }
    EXPECT_EQ(table->item(10, 1)->text(), QStringLiteral("PixelFormat"));
    EXPECT_EQ(table->item(10, 2)->text(), QStringLiteral("(读)"));
    EXPECT_EQ(table->item(10, 3)->text(), QStringLiteral("52 10 20"));
}

TEST(ThreadedWorker, FarRegistersReadByTheWorkerMarkRowsAndRaiseNoBox) {
    viewertest::BoxCloser closer;
    MainWindow window;
    QElapsedTimer sinceLoad;
    sinceLoad.start();
    window.form().lineEdit->setText(viewertest::dataFile("far.xml"));
    window.loadCurrentPath();
    PropertyTreeViewerEx* tree = window.tree();
    ASSERT_TRUE(tree->isLoaded());
    // Past the learning phase, the worker's reads make rows.
    waitUntil([&] { return sinceLoad.elapsed() > MainWindow::kLearningPhaseMs + 100; }, 10000);
    ASSERT_TRUE(waitUntil([&] { return tree->refreshIdle(); }, 20000));
    QApplication::clipboard()->setText(QStringLiteral("before"));
    QTableWidget* table = window.form().tableWidget;
    auto readByWorker = [&](const char* name) {
        const int before = table->rowCount();
        tree->enqueuePoll(tree->nodeForItem(tree->itemForName(QString::fromLatin1(name))));
        return waitUntil([&] { return table->rowCount() > before && tree->refreshIdle(); }, 20000) &&
               table->item(table->rowCount() - 1, 1)->text() == QString::fromLatin1(name);
    };
    for (const char* name : {"FarA", "FarB", "FarC"}) {
        ASSERT_TRUE(readByWorker(name)) << name;
        const int last = table->rowCount() - 1;
        EXPECT_EQ(table->item(last, 2)->text(), QStringLiteral("(读) [无法转换]"));
        EXPECT_EQ(table->item(last, 3)->text(), QStringLiteral(" "));
    }
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("before"));
    ASSERT_TRUE(readByWorker("NearA"));
    EXPECT_EQ(table->item(table->rowCount() - 1, 3)->text(), QStringLiteral("52 20 00"));
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("52 20 00"));
    waitUntil([] { return false; }, 50);
    EXPECT_EQ(closer.count(), 0);
}

TEST(ThreadedWorker, WindowDestroyedWhileTheWorkerRuns) {
    for (int i = 0; i < 5; ++i) {
        auto window = std::make_unique<MainWindow>();
        window->form().lineEdit->setText(viewertest::dataFile("camera.xml"));
        window->loadCurrentPath();
        EXPECT_TRUE(window->tree()->workerRunning());
        window.reset(); // the worker ends before the feature it reads through
    }
    QApplication::processEvents();
}
