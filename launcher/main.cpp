#include "launcher/entry.h"
#include "launcher/examination.h"
#include "launcher/phase_stamp.h"

int wmain(int argc, wchar_t** argv) {
    ZRA_PHASE_STAMP("wmain");
    return launcherMain(argc, argv, &runExamination);
}
