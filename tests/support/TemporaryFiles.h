#ifndef TESTS_SUPPORT_TEMPORARYFILES_H
#define TESTS_SUPPORT_TEMPORARYFILES_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

// A scratch directory removed with everything in it at the end of a test.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/dicomtoolkit-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~TemporaryDirectory() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }
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

inline bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

#endif
