#ifndef TESTS_TOOLS_CHILDPROCESS_H
#define TESTS_TOOLS_CHILDPROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// A program run as a child process whose standard output and error are
// collected by a thread of this process as they come, so that a test can
// wait (a bounded time) for a line the program prints, and for its exit.
// Every wait has a time-out; a child still running when the object goes is
// killed and reaped.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            reap();
        }
        if (reader_.joinable()) reader_.join();
        if (pidDescriptor_ >= 0) close(pidDescriptor_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs command[0] with the other words as its arguments; with setup,
    // through /bin/sh as "setup exec command...", so that shell limits and
    // ignored signals apply to the program itself (which keeps the pid).
    bool start(const std::vector<std::string>& command, const std::string& setup = "") {
        std::vector<std::string> words = command;
        if (!setup.empty()) {
            std::string line = setup + " exec";
            for (const std::string& word : command) line += " '" + word + "'";
            words = {"/bin/sh", "-c", line};
        }
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        if (pipe2(err, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        if (spawned != 0) {
            pid_ = 0;
            close(out[0]);
            close(err[0]);
            return false;
        }
        pidDescriptor_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        reader_ = std::thread([this, outRead = out[0], errRead = err[0]] { collect(outRead, errRead); });
        return true;
    }

    // Waits until standard output holds text count times; false when the
    // program ends or the seconds pass first.
    bool waitForOutput(const std::string& text, int seconds, size_t count = 1) {
        std::unique_lock<std::mutex> lock(guard_);
        return changed_.wait_for(lock, std::chrono::seconds(seconds),
                                 [&] { return occurrences(out_, text) >= count || outputEnded_; }) &&
               occurrences(out_, text) >= count;
    }

    void sendSignal(int number) {
        if (pid_ > 0 && !exited_) kill(pid_, number);
    }

    // The exit status, or -1 when the program did not end within seconds
    // (it is then killed) or was ended by a signal.
    int wait(int seconds) {
        if (pid_ <= 0) return -1;
        if (!exited_) {
            bool ended = false;
            if (pidDescriptor_ >= 0) {
                pollfd exitWatch = {pidDescriptor_, POLLIN, 0};
                ended = poll(&exitWatch, 1, seconds * 1000) == 1;
            } else {
                // Without process descriptors: its outputs close as it exits.
                std::unique_lock<std::mutex> lock(guard_);
                ended = changed_.wait_for(lock, std::chrono::seconds(seconds), [&] { return outputEnded_; });
            }
            if (!ended) kill(pid_, SIGKILL);
            reap();
            if (!ended) timedOut_ = true;
        }
        if (reader_.joinable()) reader_.join();
        if (timedOut_ || !WIFEXITED(status_)) return -1;
        return WEXITSTATUS(status_);
    }

    std::string out() {
        std::lock_guard<std::mutex> lock(guard_);
        return out_;
    }
    std::string err() {
        std::lock_guard<std::mutex> lock(guard_);
        return err_;
    }
    bool timedOut() const { return timedOut_; }
    pid_t pid() const { return pid_; }

private:
    static size_t occurrences(const std::string& text, const std::string& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
        return count;
    }

    void reap() {
        while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        exited_ = true;
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

    pid_t pid_ = 0;
    int pidDescriptor_ = -1;
    int status_ = 0;
    bool exited_ = false;
    bool timedOut_ = false;
    std::thread reader_;
    std::mutex guard_;
    std::condition_variable changed_;
    std::string out_, err_;
    bool outputEnded_ = false;
};

#endif
