#ifndef TESTS_SUPPORT_TEMPORARYFILES_H
#define TESTS_SUPPORT_TEMPORARYFILES_H

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

// A scratch directory removed with everything in it at the end of a test.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::random_device seed;
        std::mt19937_64 random(seed() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path candidate = base / ("dicomtoolkit-test-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) {
                path_ = candidate.string();
                break;
            }
        }
    }
    ~TemporaryDirectory() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    std::string file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool fileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

#endif
