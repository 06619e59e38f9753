#include "CTessalineApp.h"

int main(int argc, char** argv) {
    CTessalineApp app(argc, argv);
    if (!app.InitInstance()) return 1;
    return app.exec();
}
