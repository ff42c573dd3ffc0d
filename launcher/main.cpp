#include "launcher/entry.h"
#include "launcher/examination.h"

int wmain(int argc, wchar_t** argv) {
    return launcherMain(argc, argv, &runExamination);
}
