#ifndef TESTS_SUPPORT_CHILDPROCESS_H
#define TESTS_SUPPORT_CHILDPROCESS_H

// Peer programs (DCMTK's tools) run as child processes by the interop tests
// and the network benchmark. Linux only: a child's end is awaited through a
// process file descriptor, so every wait has a time-out and none sleeps.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

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

// One child process: standard input from /dev/null, standard output and
// standard error appended to one log file. The child leads a process group
// of its own, so that processes it forks (a peer that serves each
// association in a process of its own) go with it. A child still running
// when the object goes is killed with its group and reaped, so that a test
// that stops half way leaves no process behind; and the child is killed by
// the system when the thread that started it ends, so that a test program
// that is killed itself takes its peers along.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs arguments[0] (a path) with the rest as its arguments, in the
    // current environment plus extraEnvironment ("NAME=value" entries).
    // false when it could not be started or watched, or when the object's
    // previous child is still running.
    bool start(const std::vector<std::string>& arguments, const std::string& logPath,
               const std::vector<std::string>& extraEnvironment = {}) {
        if ((pid_ > 0 && !exited_) || arguments.empty()) return false;
        kill();
        // Everything the child needs is prepared before the fork: between
        // fork and exec it only makes system calls.
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> environment(extraEnvironment);
        for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
        std::vector<char*> envp;
        for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        // The exec's outcome: the pipe closes unread when the exec succeeds,
        // and carries the error number when it fails.
        int outcome[2];
        if (pipe2(outcome, O_CLOEXEC) != 0) return false;
        const pid_t parent = getpid();

        const pid_t pid = fork();
        if (pid < 0) {
            close(outcome[0]);
            close(outcome[1]);
            return false;
        }
        if (pid == 0) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            const int input = open("/dev/null", O_RDONLY);
            const int output = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (input < 0 || output < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) {
                const int error = errno;
                (void)!write(outcome[1], &error, sizeof error);
                _exit(127);
            }
            execve(argv[0], argv.data(), envp.data());
            const int error = errno;
            (void)!write(outcome[1], &error, sizeof error);
            _exit(127);
        }
        close(outcome[1]);
        // The group exists before the parent signals it, whichever of the
        // two runs first.
        setpgid(pid, pid);
        pid_ = pid;
        exited_ = false;
        int error = 0;
        ssize_t got;
        do {
            got = read(outcome[0], &error, sizeof error);
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

    bool running() {
        int status = 0;
        return pid_ > 0 && !waitForExit(0, status);
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

    pid_t pid() const { return pid_; }

private:
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
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    }

    pid_t pid_ = -1;
    int pidDescriptor_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

#endif
