#ifndef TESTS_SUPPORT_CHILDPROCESS_H
#define TESTS_SUPPORT_CHILDPROCESS_H

// Programs run as child processes by the tests and the benchmarks: peer
// programs (DCMTK's tools) and dicomtk itself. Linux only: a child's end is
// awaited through a process file descriptor, so every wait has a time-out
// and none sleeps.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TemporaryFiles.h"

extern char** environ;

// The path of name in the first directory of PATH that has it as an
// executable file, or "" when none has.
inline std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

inline std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How often text occurs in haystack, without overlaps.
inline int countOccurrences(const std::string& haystack, const std::string& text) {
    int count = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size())) ++count;
    return count;
}

// How a child is started; every field may stay empty.
struct ChildOptions {
    // Standard output and standard error are appended to this file; without
    // one they are collected in memory as they come (out(), err(),
    // waitForOutput).
    std::string logPath;
    // "NAME=value" entries, taking precedence over the current environment.
    std::vector<std::string> environment;
    // The child's working folder; without one, this process's.
    std::string directory;
    // Shell commands run before the program, through /bin/sh as
    // "setup exec program...", so that shell limits and ignored signals
    // apply to the program itself (which keeps the pid).
    std::string setup;

    static ChildOptions loggingTo(const std::string& path, const std::vector<std::string>& environment = {}) {
        ChildOptions options;
        options.logPath = path;
        options.environment = environment;
        return options;
    }
};

// One child process, standard input from /dev/null. The child leads a
// process group of its own, so that processes it forks (a peer that serves
// each association in a process of its own) go with it. A child still
// running when the object goes is killed with its group and reaped, so that
// a test that stops half way leaves no process behind; and the child is
// killed by the system when the thread that started it ends, so that a test
// program that is killed itself takes its children along.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() {
        kill();
        finishCollecting();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs arguments[0] (a path) with the rest as its arguments. false when
    // it could not be started or watched, or when the object's previous
    // child is still running.
    bool start(const std::vector<std::string>& arguments, const ChildOptions& options = {}) {
        if ((pid_ > 0 && !exited_) || arguments.empty()) return false;
        kill();
        finishCollecting();
        out_.clear();
        err_.clear();
        outputEnded_ = false;
        timedOut_ = false;
        // Everything the child needs is prepared before the fork: between
        // fork and exec it only makes system calls.
        std::vector<std::string> words = arguments;
        if (!options.setup.empty()) {
            std::string line = options.setup + " exec";
            for (const std::string& word : arguments) line += " '" + word + "'";
            words = {"/bin/sh", "-c", line};
        }
        std::vector<char*> argv;
        for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> environment(options.environment);
        for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
        std::vector<char*> envp;
        for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        const bool collecting = options.logPath.empty();
        int out[2] = {-1, -1}, err[2] = {-1, -1};
        if (collecting && (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)) {
            closeAll({out[0], out[1], err[0], err[1]});
            return false;
        }
        // The exec's outcome: the pipe closes unread when the exec succeeds,
        // and carries the error number when it fails.
        int outcome[2];
        if (pipe2(outcome, O_CLOEXEC) != 0) {
            closeAll({out[0], out[1], err[0], err[1]});
            return false;
        }
        const pid_t parent = getpid();

        const pid_t pid = fork();
        if (pid < 0) {
            closeAll({out[0], out[1], err[0], err[1], outcome[0], outcome[1]});
            return false;
        }
        if (pid == 0) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            const int input = open("/dev/null", O_RDONLY);
            const int output = collecting ? out[1] : open(options.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            const int error = collecting ? err[1] : output;
            if ((!options.directory.empty() && chdir(options.directory.c_str()) != 0) || input < 0 || output < 0 ||
                dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(error, 2) < 0) {
                const int number = errno;
                (void)!write(outcome[1], &number, sizeof number);
                _exit(127);
            }
            execve(argv[0], argv.data(), envp.data());
            const int number = errno;
            (void)!write(outcome[1], &number, sizeof number);
            _exit(127);
        }
        closeAll({out[1], err[1], outcome[1]});
        // The group exists before the parent signals it, whichever of the
        // two runs first.
        setpgid(pid, pid);
        pid_ = pid;
        exited_ = false;
        if (collecting) {
            reader_ = std::thread([this, outRead = out[0], errRead = err[0]] { collect(outRead, errRead); });
        } else {
            outputEnded_ = true;
        }
        int number = 0;
        ssize_t got;
        do {
            got = read(outcome[0], &number, sizeof number);
        } while (got < 0 && errno == EINTR);
        close(outcome[0]);
        if (got != 0) {
            kill();
            return false;
        }
        pidDescriptor_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        if (pidDescriptor_ < 0) {
            kill();
            return false;
        }
        return true;
    }

    // Waits at most milliseconds for the child to end (0 only looks). true
    // when it has ended (and its group is gone); status is then its exit
    // status, or 128 plus the number of the signal that ended it.
    bool waitForExit(int milliseconds, int& status) {
        if (pid_ <= 0) return false;
        if (!exited_) {
            pollfd watched = {pidDescriptor_, POLLIN, 0};
            if (poll(&watched, 1, milliseconds) <= 0) return false;
            reap();
        }
        status = status_;
        return true;
    }

    // Waits at most seconds for the child to end, and for the last of its
    // collected output. Its exit status, or -1 when it did not end in time
    // (it is killed then) or was ended by a signal.
    int wait(int seconds) {
        if (pid_ <= 0) return -1;
        int status = 0;
        if (!waitForExit(seconds * 1000, status)) {
            timedOut_ = true;
            kill();
        }
        finishCollecting();
        return timedOut_ || signaled_ ? -1 : status_;
    }

    // With output collected: waits until standard output holds text count
    // times; false when the child's output ends or the seconds pass first.
    bool waitForOutput(const std::string& text, int seconds, int count = 1) {
        std::unique_lock<std::mutex> lock(guard_);
        return changed_.wait_for(lock, std::chrono::seconds(seconds),
                                 [&] { return countOccurrences(out_, text) >= count || outputEnded_; }) &&
               countOccurrences(out_, text) >= count;
    }

    std::string out() {
        std::lock_guard<std::mutex> lock(guard_);
        return out_;
    }
    std::string err() {
        std::lock_guard<std::mutex> lock(guard_);
        return err_;
    }

    bool running() {
        int status = 0;
        return pid_ > 0 && !waitForExit(0, status);
    }

    void sendSignal(int number) {
        if (pid_ > 0 && !exited_) ::kill(pid_, number);
    }

    // Kills a running child and reaps it.
    void kill() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            reap();
        }
        if (pidDescriptor_ >= 0) close(pidDescriptor_);
        pidDescriptor_ = -1;
    }

    bool timedOut() const { return timedOut_; }
    pid_t pid() const { return pid_; }

private:
    static void closeAll(std::initializer_list<int> descriptors) {
        for (int descriptor : descriptors) {
            if (descriptor >= 0) close(descriptor);
        }
    }

    // Whatever is left of the child's process group is killed first, while
    // the child, unreaped, still holds the group's number.
    void reap() {
        ::kill(-pid_, SIGKILL);
        int raw = 0;
        pid_t result;
        do {
            result = waitpid(pid_, &raw, 0);
        } while (result < 0 && errno == EINTR);
        exited_ = true;
        signaled_ = !WIFEXITED(raw);
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    }

    // The collecting thread ends when the child's output closes: when the
    // child and its group are gone.
    void finishCollecting() {
        if (reader_.joinable()) reader_.join();
    }

    void collect(int outRead, int errRead) {
        pollfd watched[2] = {{outRead, POLLIN, 0}, {errRead, POLLIN, 0}};
        int open = 2;
        while (open > 0) {
            if (poll(watched, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            for (pollfd& one : watched) {
                if (one.fd < 0 || one.revents == 0) continue;
                char buffer[4096];
                const ssize_t got = read(one.fd, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) {
                    close(one.fd);
                    one.fd = -1;
                    --open;
                    continue;
                }
                std::lock_guard<std::mutex> lock(guard_);
                (one.fd == outRead ? out_ : err_).append(buffer, static_cast<size_t>(got));
                changed_.notify_all();
            }
        }
        for (pollfd& one : watched) {
            if (one.fd >= 0) close(one.fd);
        }
        std::lock_guard<std::mutex> lock(guard_);
        outputEnded_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    int pidDescriptor_ = -1;
    bool exited_ = false;
    bool signaled_ = false;
    bool timedOut_ = false;
    int status_ = -1;
    std::thread reader_;
    std::mutex guard_;
    std::condition_variable changed_;
    std::string out_, err_;
    bool outputEnded_ = false;
};

// A program run to its end, and what it printed.
struct ToolRun {
    int status;  // -1: did not end in time, or ended by a signal
    std::string out;
    std::string err;
};

// Runs command[0] with the other words as its arguments and waits at most
// seconds for it to end, collecting its output.
inline ToolRun runTool(const std::vector<std::string>& command, ChildOptions options = {}, int seconds = 30) {
    options.logPath.clear();
    ChildProcess child;
    if (!child.start(command, options)) return {-1, "", "cannot start " + command.front()};
    const int status = child.wait(seconds);
    return {status, child.out(), child.err()};
}

#ifdef DICOMTK_PATH
// dicomtk, as the tests of the command line run it.
inline ToolRun runDicomtk(const std::vector<std::string>& arguments, const ChildOptions& options = {}) {
    std::vector<std::string> command = {DICOMTK_PATH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runTool(command, options);
}

// dicomtk run in directory, after the shell commands of setup (limits, for
// example), with the "NAME=value" entries of environment.
inline ToolRun dicomtk(const TemporaryDirectory& directory, const std::vector<std::string>& arguments,
                       const std::string& setup = "", const std::vector<std::string>& environment = {}) {
    ChildOptions options;
    options.directory = directory.path();
    options.setup = setup;
    options.environment = environment;
    return runDicomtk(arguments, options);
}
#endif

#endif
