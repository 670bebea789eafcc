// Figures measured in a fresh process of their own: the driver runs itself as a worker and reads the one
// number the worker prints.
#ifndef KYBENCH_SUITE_WORKER_PROCESS_H
#define KYBENCH_SUITE_WORKER_PROCESS_H

#include <string>

namespace kybench {

// Runs command and reads its output with format (one "%lf"); NaN when it cannot run or prints otherwise.
double WorkerNumber(const std::string& command, const char* format);

}  // namespace kybench

#endif
