#include "OutputFile.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool isWritableFile(const fs::path& path) {
    std::FILE* file = std::fopen(path.string().c_str(), "r+b");  // neither creates nor truncates
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

// A name beside destination that nothing uses yet: ".NAME." and twelve hex digits.
std::string unusedNameBeside(const fs::path& destination) {
    static uint64_t calls = 0;
    int local = 0;
    std::mt19937_64 random(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                           reinterpret_cast<uintptr_t>(&local) ^ (++calls << 48));
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%012llx", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
        const fs::path candidate = destination.parent_path() / ("." + destination.filename().string() + suffix);
        std::error_code error;
        if (fs::symlink_status(candidate, error).type() == fs::file_type::not_found) return candidate.string();
    }
    return "";
}

}  // namespace

OutputFile::OutputFile(const std::string& target) : destination_(target), path_(target) {
    std::error_code error;
    const fs::file_type type = fs::status(target, error).type();
    if (type == fs::file_type::regular) {
        // Through a link, the file it names is replaced and the link stays.
        const fs::path resolved = fs::canonical(target, error);
        if (!error) destination_ = resolved.string();
        // Writing it in place fails just as the program's own open would.
        if (!isWritableFile(destination_)) return;
    } else if (type != fs::file_type::not_found || fs::is_symlink(fs::symlink_status(target, error))) {
        return;
    }
    path_ = unusedNameBeside(destination_);  // "" when there is none: every write to it fails
    temporary_ = !path_.empty();
}

OutputFile::~OutputFile() {
    if (!finished_) discard();
}

int OutputFile::commit() {
    if (finished_) return 0;
    finished_ = true;
    if (!temporary_) return 1;
    std::error_code error;
    // The replacement keeps the permissions of the file it replaces.
    const fs::file_status previous = fs::status(destination_, error);
    if (!error && previous.type() == fs::file_type::regular) fs::permissions(path_, previous.permissions(), error);
    fs::rename(path_, destination_, error);
    if (error) {
        discard();
        return 0;
    }
    return 1;
}

void OutputFile::discard() {
    finished_ = true;
    if (!temporary_) return;
    std::error_code error;
    fs::remove(path_, error);
}
