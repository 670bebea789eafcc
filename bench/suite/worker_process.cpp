#include "worker_process.h"

#include <cmath>
#include <cstdio>

namespace kybench {

double WorkerNumber(const std::string& command, const char* format) {
    FILE* worker = popen(command.c_str(), "r");
    if (!worker) return NAN;
    double number = NAN;
    if (fscanf(worker, format, &number) != 1) number = NAN;
    pclose(worker);
    return number;
}

}  // namespace kybench
