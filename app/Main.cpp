// SPDX-License-Identifier: MIT
// kavrin: the desktop program, one window over the archive engine.
#include "app/ArchiverApp.h"

int main(int argc, char** argv) {
    kavrin::CArchiverApp application(argc, argv);
    return application.InitInstance();
}
