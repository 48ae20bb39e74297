#ifndef TESTS_PLUGINS_PLUGINTESTSUPPORT_H
#define TESTS_PLUGINS_PLUGINTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

// Runs a test in a fresh temporary working directory, where lumenar writes
// its log, and returns to the previous directory afterwards.
class TemporaryDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/plugin-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
        char previous[4096];
        ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
        previousDirectory = previous;
        ASSERT_EQ(chdir(directory.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previousDirectory.c_str()), 0);
        std::string command = "rm -rf '" + directory + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    std::string directory;
    std::string previousDirectory;
};

// Collects what is written to standard error (file descriptor 2) while alive.
class StandardErrorCapture {
public:
    StandardErrorCapture() {
        std::fflush(stderr);
        std::FILE* file = std::tmpfile();
        captureFd_ = dup(fileno(file));
        std::fclose(file);
        savedFd_ = dup(2);
        dup2(captureFd_, 2);
    }
    ~StandardErrorCapture() {
        restore();
        close(captureFd_);
    }

    std::string text() {
        restore();
        std::string collected;
        lseek(captureFd_, 0, SEEK_SET);
        char buffer[512];
        ssize_t got;
        while ((got = read(captureFd_, buffer, sizeof buffer)) > 0) collected.append(buffer, static_cast<size_t>(got));
        return collected;
    }

private:
    void restore() {
        if (savedFd_ < 0) return;
        std::fflush(stderr);
        dup2(savedFd_, 2);
        close(savedFd_);
        savedFd_ = -1;
    }

    int captureFd_ = -1;
    int savedFd_ = -1;
};

#endif
