// Time from asking the preview for a file until its picture is shown, and
// how much the process grew for it (resident and peak resident memory).
#include "CPreviewPane.h"
#include "CTessalineApp.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>

namespace {

// A "Vm..." line of /proc/self/status, in kB.
long StatusKb(const char* key) {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(int(qstrlen(key))).trimmed().split(' ').first().toLong();
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: preview_bench FILE [WIDTH HEIGHT]\n");
        return 2;
    }
    CTessalineApp app(argc, argv);
    CPreviewPane pane;
    pane.resize(argc > 3 ? atoi(argv[2]) : 640, argc > 3 ? atoi(argv[3]) : 720);
    pane.show();
    QCoreApplication::processEvents();
    const long rss = StatusKb("VmRSS:"), peak = StatusKb("VmHWM:");
    QElapsedTimer clock;
    QObject::connect(&pane, &CPreviewPane::updated, &app, [&] {
        const qint64 ms = clock.elapsed();
        std::printf("preview: %dx%d picture in %lld ms; resident +%ld kB, peak resident +%ld kB\n",
                    pane.Picture().width(), pane.Picture().height(), ms, StatusKb("VmRSS:") - rss,
                    StatusKb("VmHWM:") - peak);
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    clock.start();
    pane.ShowFile(QString::fromLocal8Bit(argv[1]));
    return app.exec();
}
