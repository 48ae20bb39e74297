#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "PluginLibrary.h"

// OutputMode changes how the whole process treats faults, so every test runs
// it in a forked child: the child's second thread faults, and the parent
// checks that the child lives on and still answers.
namespace {

enum class Fault { AccessViolation, UncaughtException };

bool readByte(int fd, char expected, int timeoutMilliseconds) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, timeoutMilliseconds) != 1) return false;
    char got = 0;
    return read(fd, &got, 1) == 1 && got == expected;
}

[[noreturn]] void runChild(const char* path, Fault fault, int toParent, int fromParent) {
    PluginLibrary plugin(path);
    if (!plugin.loaded() || plugin.outputMode() != 0) _exit(2);
    std::thread faulting([&] {
        if (write(toParent, "F", 1) != 1) _exit(3);
        if (fault == Fault::AccessViolation) {
            void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            *static_cast<volatile int*>(page) = 1;
        } else {
            throw std::runtime_error("nobody catches this");
        }
    });
    faulting.detach();
    char request;
    while (read(fromParent, &request, 1) == 1) {
        if (write(toParent, "A", 1) != 1) break;
    }
    _exit(0);
}

void expectChildSurvives(const char* path, Fault fault) {
    int toParent[2], fromParent[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(fromParent), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        close(toParent[0]);
        close(fromParent[1]);
        runChild(path, fault, toParent[1], fromParent[0]);
    }
    close(toParent[1]);
    close(fromParent[0]);

    EXPECT_TRUE(readByte(toParent[0], 'F', 10000)) << "the faulting thread did not start";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the child ended, status " << status;
    EXPECT_EQ(write(fromParent[1], "P", 1), 1);
    EXPECT_TRUE(readByte(toParent[0], 'A', 10000)) << "the child's main thread does not answer";

    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    close(toParent[0]);
    close(fromParent[1]);
}

struct PluginPath {
    const char* name;
    const char* path;
};

void PrintTo(const PluginPath& plugin, std::ostream* out) { *out << plugin.name; }

class OutputMode : public ::testing::TestWithParam<PluginPath> {};

}  // namespace

TEST_P(OutputMode, ThreadWithAnAccessViolationSleepsAndTheProcessLivesOn) {
    expectChildSurvives(GetParam().path, Fault::AccessViolation);
}

TEST_P(OutputMode, ThreadWithAnUncaughtExceptionSleepsAndTheProcessLivesOn) {
    expectChildSurvives(GetParam().path, Fault::UncaughtException);
}

INSTANTIATE_TEST_SUITE_P(Plugins, OutputMode,
                         ::testing::Values(PluginPath{"lumenar", LUMENAR_PATH},
                                           PluginPath{"lumenar_interactive", LUMENAR_INTERACTIVE_PATH},
                                           PluginPath{"tonewell", TONEWELL_PATH}),
                         [](const ::testing::TestParamInfo<PluginPath>& info) { return std::string(info.param.name); });
