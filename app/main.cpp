#include "CTessalineApp.h"
#include "WorkerPool.h"

int main(int argc, char** argv) {
    KeepRowBuffers();
    CTessalineApp app(argc, argv);
    if (!app.InitInstance()) return 1;
    return app.exec();
}
