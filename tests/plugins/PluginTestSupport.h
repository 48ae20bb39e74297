#ifndef TESTS_PLUGINS_PLUGINTESTSUPPORT_H
#define TESTS_PLUGINS_PLUGINTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

#include "../support/TemporaryFiles.h"

// Runs a test in a fresh temporary working directory, where lumenar writes
// its log, and returns to the previous directory afterwards.
class TemporaryDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory.reset(new TemporaryDirectory());
        ASSERT_FALSE(directory->path().empty());
        previousDirectory = std::filesystem::current_path();
        std::filesystem::current_path(directory->path());
    }
    void TearDown() override {
        std::filesystem::current_path(previousDirectory);
        directory.reset();
    }

    static std::string readText(const std::string& path) {
        const std::vector<uint8_t> bytes = readFile(path);
        return std::string(bytes.begin(), bytes.end());
    }

    std::unique_ptr<TemporaryDirectory> directory;
    std::filesystem::path previousDirectory;
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
