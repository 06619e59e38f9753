// Time from selecting a folder until its last thumbnail is drawn, in the real
// window, and how long the GUI thread ever went without handling events.
#include "CFolderTree.h"
#include "CMainFrame.h"
#include "CTessalineApp.h"
#include "CTessalineView.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: thumbnail_bench FOLDER\n");
        return 2;
    }
    CTessalineApp app(argc, argv);
    QTemporaryDir dir;
    CMainFrame frame(dir.filePath("bench.ini"));
    frame.show();
    QCoreApplication::processEvents();
    // A 5 ms timer measures the event loop's responsiveness meanwhile.
    QElapsedTimer gap;
    qint64 worstGap = 0;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worstGap = std::max(worstGap, gap.restart());
    });
    QElapsedTimer clock;
    QObject::connect(frame.View(), &CTessalineView::loaderFinished, &app, [&] {
        const qint64 ms = clock.elapsed();
        std::printf("thumbnails: %d of %d files in %lld ms (%.1f ms per file); longest event-loop gap %lld ms\n",
                    frame.View()->ThumbnailsDrawn(), frame.View()->count(), ms,
                    double(ms) / std::max(1, frame.View()->count()), worstGap);
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    clock.start();
    gap.start();
    tick.start();
    if (!frame.FolderTree()->SelectPath(argv[1])) {
        std::fprintf(stderr, "thumbnail_bench: %s not found in the folder tree\n", argv[1]);
        return 1;
    }
    return app.exec();
}
