// Runs a built program as its users would: its own process, arguments, standard input, extra environment
// and a working directory; both output streams read to their end, bounded in time.
#ifndef KYTEST_PROGRAM_RUN_H
#define KYTEST_PROGRAM_RUN_H

#include <string>
#include <vector>

namespace kytest {

struct RunResult {
    int exitStatus = -1;  // the exit code, or 128 + the signal that ended it
    std::string out;
    std::string err;
    long peakResidentKiB = 0;
};

struct RunConfig {
    std::string cwd;
    std::string input;
    std::vector<std::string> env;  // extra "NAME=value" entries
    bool terminal = false;  // standard input, output and error are one pseudo-terminal, read into `out`
};

// Proxy settings and the logger's settings of the test's environment are not passed on: every request must
// go straight to 127.0.0.1, and the program decides where the library's log goes. A run that outlasts a
// minute is killed.
RunResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                     const RunConfig& config = {});

}  // namespace kytest

#endif
