// dicomtk store: sends DICOM files to a peer with C-STORE, all in one
// association that proposes every file's SOP class.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "Commands.h"
#include "NetworkOptions.h"
#include "StorageUser.h"
#include "dimse/StorageSopClass.h"
#include "encoding/TransferSyntax.h"
#include "platform/DurableFiles.h"

namespace {

const char* const storeHelp =
    "usage: dicomtk store [-aet AET] [-aec AET] [--request-timeout S] [-r]\n"
    "                     HOST PORT FILE|DIR...\n"
    "\n"
    "Sends every DICOM file given (and, with -r, every file under each\n"
    "directory given) to the peer with C-STORE, in one association that\n"
    "proposes each file's SOP class in the file's transfer syntax and, for an\n"
    "uncompressed one, also in the other uncompressed ones. A file goes out in\n"
    "its own transfer syntax when the peer accepted it; otherwise converted,\n"
    "values unchanged, into an uncompressed one the peer accepted (explicit VR\n"
    "little endian first); a compressed file whose syntax was refused, or one\n"
    "whose values cannot change their encoding safely, is reported and not\n"
    "sent. Each file goes out with its own SOP Instance UID. On a terminal a\n"
    "progress bar shows files, megabytes and the rate; otherwise one line per file gives\n"
    "its status: stored, stored with a warning (the peer kept the object but\n"
    "says it changed or doubts something, status 0x0001, 0x0107, 0x0116 or\n"
    "0xBxxx) or failed. A summary line ends the run. A file that cannot be\n"
    "read is reported and skipped. The answers to the association request and\n"
    "to the release request are awaited S seconds (30). Exit status 0 only\n"
    "when every file was answered with status 0x0000.\n";

const char* const implicitLittleUid = "1.2.840.10008.1.2";

// The C-STORE statuses of an object stored all the same: coercion of data
// elements, elements discarded, a data set that does not match its SOP
// class, and the general warnings.
bool isWarningStatus(uint16_t status) {
    return (status & 0xF000) == 0xB000 || status == 0x0001 || status == 0x0107 || status == 0x0116;
}

struct Candidate {
    std::string path;
    std::string sopClass;
    std::string transferSyntax;
    uint64_t bytes = 0;
};

void collect(const std::string& path, bool recursive, std::vector<std::string>& files, int& failures) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        if (!recursive) {
            fail(path, "is a directory (use -r to send the files under it)");
            ++failures;
            return;
        }
        std::vector<std::string> found;
        for (auto entry = std::filesystem::recursive_directory_iterator(path, error);
             !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
            if (entry->is_regular_file(error)) found.push_back(entry->path().string());
        }
        if (error) {
            fail(path, "cannot be listed completely: " + error.message());
            ++failures;
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
        return;
    }
    files.push_back(path);
}

class Progress {
public:
    Progress(size_t files, uint64_t bytes) : files_(files), bytes_(bytes), terminal_(platform::isTerminal(stdout)) {}

    // outcome: "stored", "stored with a warning" or "failed".
    void fileDone(const Candidate& file, const char* outcome, uint16_t status, double elapsed, uint64_t sentBytes) {
        ++done_;
        if (!terminal_) {
            std::printf("%s: %s (status 0x%04X)\n", file.path.c_str(), outcome, status);
            return;
        }
        const int width = 30;
        const int filled = files_ == 0 ? width : static_cast<int>(width * done_ / files_);
        const double megabytes = sentBytes / 1e6;
        std::printf("\r[%s%s] %zu/%zu files  %.1f/%.1f MB  %.1f MB/s ", std::string(filled, '#').c_str(),
                    std::string(width - filled, '.').c_str(), done_, files_, megabytes, bytes_ / 1e6,
                    elapsed > 0 ? megabytes / elapsed : 0.0);
        std::fflush(stdout);
        if (done_ == files_) std::printf("\n");
    }

    bool onTerminal() const { return terminal_ != 0; }

private:
    size_t files_;
    uint64_t bytes_;
    int terminal_;
    size_t done_ = 0;
};

}  // namespace

int runStore(const std::vector<std::string>& arguments, const std::string& programPath) {
    if (printedHelp(arguments, storeHelp)) return 0;
    PeerOptions peer;
    std::vector<std::string> values;
    std::vector<bool> flags;
    const std::string problem = parsePeerOptions(arguments, {}, {"-r"}, peer, values, flags);
    if (!problem.empty() || peer.rest.empty()) {
        std::cerr << storeHelp;
        return fail("store", problem.empty() ? "no file to send" : problem);
    }

    int failures = 0;
    std::vector<std::string> paths;
    for (const std::string& path : peer.rest) collect(path, flags[0], paths, failures);

    // What each file is, so that the association can propose it.
    StoreSender sender;
    // The VRs of files read in implicit VR, should one need converting.
    DataDictionary dictionary(0, nullptr);
    if (loadDictionary(dictionary, "", programPath) == 1) sender.dictionary = &dictionary;
    std::vector<Candidate> candidates;
    uint64_t totalBytes = 0;
    for (const std::string& path : paths) {
        std::unique_ptr<ObjectDataSet> set(loadDicom(sender, path));
        if (!set) {
            ++failures;
            continue;
        }
        Candidate candidate;
        candidate.path = path;
        candidate.sopClass = elementText(set.get(), 0x0008, 0x0016);
        candidate.transferSyntax = transferSyntaxOf(set.get());
        if (candidate.transferSyntax.empty()) candidate.transferSyntax = implicitLittleUid;
        if (candidate.sopClass.empty() || elementText(set.get(), 0x0008, 0x0018).empty()) {
            fail(path, "has no SOP Class UID or SOP Instance UID");
            ++failures;
            continue;
        }
        if (!StandardEncodingService::handlesTransferSyntax(candidate.transferSyntax.c_str())) {
            fail(path, "transfer syntax " + candidate.transferSyntax + " is not supported");
            ++failures;
            continue;
        }
        std::error_code error;
        candidate.bytes = std::filesystem::file_size(path, error);
        totalBytes += candidate.bytes;
        sender.proposeFor(candidate.sopClass, candidate.transferSyntax);
        candidates.push_back(candidate);
    }
    if (candidates.empty()) {
        std::printf("0 files sent, %d failed\n", failures);
        return 1;
    }
    if (sender.proposedAbstractSyntaxes.count() > 128) {
        return fail("store", "the files need more than the 128 presentation contexts of one association");
    }

    sender.setCallingAeTitle(peer.callingAeTitle.c_str());
    sender.setCalledAeTitle(peer.calledAeTitle.c_str());
    sender.requestTimeoutSeconds = peer.requestTimeoutSeconds;
    if (!sender.requestAssociation(peer.host.c_str(), peer.port.c_str())) {
        return fail(peerName(peer), associationFailureText(sender, "any SOP class of the files"));
    }

    AnyStorage storage;
    Progress progress(candidates.size(), totalBytes);
    const double start = secondsNow();
    uint64_t sentBytes = 0;
    size_t sent = 0;
    int warnings = 0;
    size_t notSent = 0;
    for (size_t index = 0; index < candidates.size(); ++index) {
        const Candidate& candidate = candidates[index];
        uint16_t status = 0xFFFF;
        bool stored = false;
        bool warned = false;
        if (!sender.isEstablished()) {
            // One line for all that is left, not one per file.
            notSent = candidates.size() - index;
            failures += static_cast<int>(notSent);
            if (progress.onTerminal()) std::printf("\n");
            fail(peerName(peer), "the association has ended; " + std::to_string(notSent) + " of " +
                                     std::to_string(candidates.size()) + " files not sent, starting with " +
                                     candidate.path);
            break;
        }
        {
            std::unique_ptr<ObjectDataSet> file(loadDicom(sender, candidate.path));
            std::unique_ptr<ObjectDataSet> set(file ? withoutMetaGroup(file.get()) : nullptr);
            std::string why;
            if (set && !sender.prepareToSend(candidate.sopClass, candidate.transferSyntax, set.get(), why)) {
                if (progress.onTerminal()) std::printf("\n");
                fail(candidate.path, "not sent: " + why);
            } else if (set) {
                storage.sopClass = candidate.sopClass;
                if (storage.store(&sender, set.get(), status)) {
                    stored = status == StatusSuccess;
                    warned = isWarningStatus(status);
                    sentBytes += candidate.bytes;
                    ++sent;
                } else {
                    if (progress.onTerminal()) std::printf("\n");
                    fail(candidate.path, "no C-STORE response from " + peerName(peer));
                }
            }
        }
        if (warned) ++warnings;
        else if (!stored) ++failures;
        progress.fileDone(candidate, stored ? "stored" : warned ? "stored with a warning" : "failed", status,
                          secondsNow() - start, sentBytes);
    }
    sender.release();
    const double seconds = secondsNow() - start;
    const double megabytes = sentBytes / 1e6;
    std::printf("%zu files sent, %d failed, %d with a warning, %.1f MB in %.2f s (%.1f MB/s)\n", sent, failures,
                warnings, megabytes, seconds, seconds > 0 ? megabytes / seconds : 0.0);
    return failures == 0 && warnings == 0 ? 0 : 1;
}
