#include "peak_memory.h"

#include <cstdio>
#include <cstring>

namespace kybench {
namespace {

double StatusField(const char* name) {
    FILE* status = fopen("/proc/self/status", "r");
    if (!status) return 0;
    char line[256];
    double kilobytes = 0;
    size_t length = strlen(name);
    while (fgets(line, sizeof line, status)) {
        if (strncmp(line, name, length) == 0) {
            sscanf(line + length, "%lf", &kilobytes);
            break;
        }
    }
    fclose(status);
    return kilobytes * 1024;
}

}  // namespace

bool ResetPeakResident() {
    FILE* refs = fopen("/proc/self/clear_refs", "w");
    if (!refs) return false;
    bool written = fputs("5", refs) >= 0;
    return fclose(refs) == 0 && written;
}

double ResidentBytes() { return StatusField("VmRSS:"); }

double PeakResidentBytes() { return StatusField("VmHWM:"); }

}  // namespace kybench
