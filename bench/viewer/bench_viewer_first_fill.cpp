// One round of the viewer's first fill on a generated description file.
//
//   qx_bench_viewer --generate FILE [--features N] [--far-every K]
//       writes a description with N integer and string registers in categories of 100, every
//       K-th register at an address above 0xFFFF, and exits.
//   qx_bench_viewer --xml FILE [--cap-seconds S] [--screenshot PNG]
//       starts the main window, presses 刷新 on FILE and watches the first fill, then prints one
//       line of key=value figures and ends the process (a round may leave modal boxes behind).
//
// Figures (milliseconds from the press):
//   response_ms   the main event loop first handles a posted event with no modal box up: the
//                 window answers the user again;
//   stall_ms      the longest time the window did not answer during the fill (a 10 ms
//                 heartbeat that finds a modal box up, or that runs late, counts as no answer);
//   gap_ms        the same, after the first answer (stall_ms without the load itself);
//   fill_ms       every queued node read and shown, and the mailbox empty;
//   rows, read_rows, unbuilt_rows  rows of the command table (all, "(读)", without a command);
//   clipboard_writes, clipboard_ms  clipboard overwrites and the time from the first to the last;
//   boxes_max     the most message boxes open at once;
//   capped        1 when the fill did not end within the cap (figures are those at the cap);
//   cpu_ms        CPU time of the process (user and system, from /proc) from the press to the
//                 end of the fill;
// and after the fill, one after the other (skipped when capped, -1 then):
//   expand_ms     the expand button ("☷ 展开") pressed until the window answers again;
//   filter_ms     one keystroke in the filter line ("7") until the window answers again;
//   filter_cpu_ms CPU time of that keystroke.
#include "MainWindow.h"
#include "PropertyTreeViewerEx.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <unistd.h>

using namespace viewer;

namespace {

const char* arg(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

int generate(const QString& path, int features, int farEvery) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 1;
    QTextStream out(&file);
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<RegisterDescription ModelName=\"BenchCam\" VendorName=\"Qx\" ToolTip=\"generated\"\n"
           "    StandardNameSpace=\"None\" SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" "
           "SchemaSubMinorVersion=\"0\"\n"
           "    MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\" ProductGuid=\"0\" VersionGuid=\"0\"\n"
           "    xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n";
    const int perCategory = 100;
    const int categories = (features + perCategory - 1) / perCategory;
    out << "<Category Name=\"Root\" NameSpace=\"Standard\">\n";
    for (int c = 0; c < categories; ++c) out << "  <pFeature>Group" << c << "</pFeature>\n";
    out << "</Category>\n";
    for (int c = 0; c < categories; ++c) {
        out << "<Category Name=\"Group" << c << "\">\n";
        for (int i = c * perCategory; i < std::min(features, (c + 1) * perCategory); ++i)
            out << "  <pFeature>Feature" << i << "</pFeature>\n";
        out << "</Category>\n";
    }
    for (int i = 0; i < features; ++i) {
        const bool far = farEvery > 0 && i % farEvery == farEvery - 1;
        const qint64 address = far ? 0x10000 + 4LL * i : (0x1000 + 4LL * i) & 0xFFFC;
        const bool text = !far && i % 10 == 5;
        out << (text ? "<StringReg" : "<IntReg") << " Name=\"Feature" << i << "\">\n"
            << "  <Address>0x" << QString::number(address, 16) << "</Address><Length>" << (text ? 16 : 4)
            << "</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>\n";
        if (!text) out << "  <Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>\n";
        out << (text ? "</StringReg>\n" : "</IntReg>\n");
    }
    out << "<Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
    return out.status() == QTextStream::Ok ? 0 : 1;
}

// The window's message boxes are its direct children; a look through all top-level widgets
// would walk every editor of the tree on each beat.
// User and system CPU time of this process, in milliseconds, from /proc/self/stat.
qint64 processCpuMs() {
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly)) return -1;
    const QByteArray text = stat.readAll();
    // The fields after the command name (which may hold spaces) start after its ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return -1;
    const long ticks = sysconf(_SC_CLK_TCK);
    return (fields[11].toLongLong() + fields[12].toLongLong()) * 1000 / (ticks > 0 ? ticks : 100);
}

int visibleBoxes(const QWidget& window) {
    int n = 0;
    for (QMessageBox* box : window.findChildren<QMessageBox*>(QString(), Qt::FindDirectChildrenOnly))
        if (box->isVisible()) ++n;
    return n;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    if (const char* target = arg(argc, argv, "--generate", nullptr))
        return generate(QString::fromLocal8Bit(target), std::atoi(arg(argc, argv, "--features", "20000")),
                        std::atoi(arg(argc, argv, "--far-every", "100")));

    const char* xml = arg(argc, argv, "--xml", nullptr);
    if (!xml) {
        std::fprintf(stderr,
                     "usage: %s --generate FILE [--features N] [--far-every K] | --xml FILE "
                     "[--cap-seconds S] [--screenshot PNG]\n",
                     argv[0]);
        return 2;
    }
    const qint64 capMs = 1000LL * std::atoi(arg(argc, argv, "--cap-seconds", "120"));
    const QString screenshot = QString::fromLocal8Bit(arg(argc, argv, "--screenshot", ""));

    MainWindow window;
    window.resize(1200, 800);
    window.show();
    window.form().lineEdit->setText(QString::fromLocal8Bit(xml));
    QTableWidget* table = window.form().tableWidget;

    QElapsedTimer clock;
    qint64 responseMs = -1, lastAnswerMs = 0, stallMs = 0, gapMs = 0;
    qint64 firstClipMs = -1, lastClipMs = -1;
    int clipboardWrites = 0, boxesMax = 0;
    QObject::connect(QApplication::clipboard(), &QClipboard::dataChanged, [&] {
        if (!clock.isValid()) return;
        ++clipboardWrites;
        if (firstClipMs < 0) firstClipMs = clock.elapsed();
        lastClipMs = clock.elapsed();
    });

    qint64 cpuStartMs = 0, cpuMs = -1, expandMs = -1, filterMs = -1, filterCpuMs = -1;
    // Runs `action` and answers the milliseconds until a posted event is handled again.
    auto answerTime = [&](const std::function<void()>& action, qint64* cpu) {
        QElapsedTimer t;
        t.start();
        const qint64 cpu0 = processCpuMs();
        action();
        bool answered = false;
        QTimer::singleShot(0, [&] { answered = true; });
        while (!answered) QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (cpu) *cpu = processCpuMs() - cpu0;
        return t.elapsed();
    };
    auto afterFill = [&] {
        cpuMs = processCpuMs() - cpuStartMs;
        for (QPushButton* button : window.tree()->findChildren<QPushButton*>()) {
            if (button->text() == QStringLiteral("☷ 展开"))
                expandMs = answerTime([button] { emit button->pressed(); }, nullptr);
        }
        QLineEdit* filter = window.tree()->filterEdit();
        filterMs = answerTime([filter] { filter->insert(QStringLiteral("7")); }, &filterCpuMs);
    };

    auto finish = [&](bool capped) {
        if (capped) cpuMs = processCpuMs() - cpuStartMs;
        else afterFill();
        int reads = 0, unbuilt = 0;
        for (int r = 0; r < table->rowCount(); ++r) {
            if (table->item(r, 2)->text().startsWith(QStringLiteral("(读)"))) ++reads;
            if (table->item(r, 3)->text().trimmed().isEmpty()) ++unbuilt;
        }
        if (!screenshot.isEmpty()) window.grab().save(screenshot);
        std::printf("response_ms=%lld stall_ms=%lld gap_ms=%lld fill_ms=%lld rows=%d read_rows=%d unbuilt_rows=%d "
                    "clipboard_writes=%d clipboard_ms=%lld boxes_max=%d capped=%d cpu_ms=%lld expand_ms=%lld "
                    "filter_ms=%lld filter_cpu_ms=%lld\n",
                    static_cast<long long>(responseMs), static_cast<long long>(stallMs), static_cast<long long>(gapMs),
                    static_cast<long long>(clock.elapsed()), table->rowCount(), reads, unbuilt, clipboardWrites,
                    static_cast<long long>(firstClipMs < 0 ? 0 : lastClipMs - firstClipMs), boxesMax, capped ? 1 : 0,
                    static_cast<long long>(cpuMs), static_cast<long long>(expandMs), static_cast<long long>(filterMs),
                    static_cast<long long>(filterCpuMs));
        std::fflush(stdout);
        // Modal boxes of an old build may still be stacked on this stack: leave at once.
        std::_Exit(0);
    };

    // The heartbeat: the window answers when no modal box is up. Timers also fire inside a
    // box's own event loop, so a beat alone is no answer.
    QTimer heartbeat;
    heartbeat.setInterval(10);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const int boxes = visibleBoxes(window);
        boxesMax = std::max(boxesMax, boxes);
        stallMs = std::max(stallMs, now - lastAnswerMs);
        gapMs = std::max(gapMs, now - lastAnswerMs);
        if (boxes == 0 && !QApplication::activeModalWidget()) lastAnswerMs = now;
        if (window.tree()->refreshIdle()) {
            qx::sys::MutexLock lk(window.pendingCommand().mutex);
            if (!window.pendingCommand().pending && responseMs >= 0) {
                heartbeat.stop();
                QTimer::singleShot(0, [&] { finish(false); });
                return;
            }
        }
        if (now > capMs) finish(true);
    });

    // The first posted event the main loop handles after the press, with no box up.
    std::function<void()> probe = [&] {
        if (QApplication::activeModalWidget() || visibleBoxes(window) > 0) {
            if (clock.elapsed() > capMs) finish(true);
            QTimer::singleShot(1, probe);
            return;
        }
        responseMs = clock.elapsed();
        lastAnswerMs = responseMs;
        stallMs = std::max(stallMs, responseMs);
        heartbeat.start();
    };
    QTimer::singleShot(200, [&] {
        clock.start();
        cpuStartMs = processCpuMs();
        QTimer::singleShot(0, probe);
        window.form().btnRefresh->click();
    });
    return app.exec();
}
