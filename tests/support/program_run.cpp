#include "support/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace kytest {
namespace {

constexpr int kRunLimitSeconds = 60;

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    static const char* const kDropped[] = {"http_proxy=",  "https_proxy=", "all_proxy=",    "HTTP_PROXY=",
                                           "HTTPS_PROXY=", "ALL_PROXY=",   "EVDEBUG_FILE=", "EVDEBUG_LEVEL="};
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        bool dropped = false;
        for (const char* prefix : kDropped) dropped = dropped || strncmp(*entry, prefix, strlen(prefix)) == 0;
        if (!dropped) env.push_back(*entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int ExitStatusOf(pid_t pid, long* peakResidentKiB) {
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return -1;
    *peakResidentKiB = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads both streams to their end (errFd may be -1); a child that overstays is killed.
void Drain(pid_t pid, int outFd, int errFd, RunResult& result) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunLimitSeconds);
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = errFd >= 0 ? 2 : 1;
    while (open > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char chunk[4096];
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
                continue;
            }
            close(fds[i].fd);
            fds[i].fd = -1;
            --open;
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
}

// Only async-signal-safe calls between fork and exec: the test process has threads.
[[noreturn]] void Exec(const RunConfig& config, char** argv, char** envp) {
    if (!config.cwd.empty() && chdir(config.cwd.c_str()) != 0) _exit(126);
    execve(argv[0], argv, envp);
    _exit(127);
}

void RunOnTerminal(char** argv, char** envp, const RunConfig& config, RunResult& result) {
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0) return;
    if (pid == 0) Exec(config, argv, envp);
    Drain(pid, terminal, -1, result);
    result.exitStatus = ExitStatusOf(pid, &result.peakResidentKiB);
}

void RunOnPipes(char** argv, char** envp, const RunConfig& config, RunResult& result) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        Exec(config, argv, envp);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!config.input.empty() && write(in[1], config.input.data(), config.input.size()) < 0) perror("write");
    close(in[1]);
    Drain(pid, out[0], err[0], result);
    result.exitStatus = ExitStatusOf(pid, &result.peakResidentKiB);
}

}  // namespace

RunResult RunProgram(const std::string& path, const std::vector<std::string>& args, const RunConfig& config) {
    std::vector<std::string> argvTexts = {path};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = ChildEnvironment(config.env);
    std::vector<char*> argv = Pointers(argvTexts);
    std::vector<char*> envp = Pointers(envTexts);
    RunResult result;
    if (config.terminal) {
        RunOnTerminal(argv.data(), envp.data(), config, result);
    } else {
        RunOnPipes(argv.data(), envp.data(), config, result);
    }
    return result;
}

}  // namespace kytest
