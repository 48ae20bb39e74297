#ifndef TOOLS_DICOMTK_QUERYCOMMANDS_H
#define TOOLS_DICOMTK_QUERYCOMMANDS_H

// What dicomtk find, move and get share: their options, the identifier
// they send, and Ctrl-C, which cancels the operation under way.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NetworkOptions.h"
#include "QueryKeys.h"
#include "dimse/QueryRetrieveSopClasses.h"

enum class QueryKind { find, move, get };

struct QueryOptions {
    PeerOptions peer;
    bool studyRoot = false;
    std::string level;
    std::string destination;  // move: --dest
    std::string folder;       // get: --out
    std::vector<QueryKey> keys;
};

// Reads the options of find, move (which also takes --dest AET) or get
// (--out DIR); "" or the problem. move and get need -L.
std::string parseQuery(const std::vector<std::string>& arguments, QueryKind kind, const DataDictionary& dictionary,
                       QueryOptions& options);

// The identifier: the Query/Retrieve Level, then every key in order.
std::unique_ptr<ObjectDataSet> identifierOf(const QueryOptions& options);

std::string hex16(uint16_t value);

// The exit status of a find, move or get cancelled with Ctrl-C, as a shell
// reports a program that SIGINT ended.
constexpr int cancelledExitStatus = 130;

// While it lives, SIGINT (Ctrl-C) calls user's cancel(), which only sets a
// flag: the operation then sends its C-CANCEL-RQ before it next waits for
// the peer, once the message it waits for now has come. A second Ctrl-C
// ends the program at once, should the peer not answer. The previous
// handler comes back at the end.
class CancelOnInterrupt {
public:
    explicit CancelOnInterrupt(CancellableUser& user);
    ~CancelOnInterrupt();
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

    // Whether Ctrl-C came.
    bool interrupted() const;
};

// The line that ends a cancelled operation, on standard error:
// "dicomtk: HOST:PORT: cancelled (Ctrl-C), final status 0xFE00" (or no final
// response); returns cancelledExitStatus.
int reportCancelled(const PeerOptions& peer, bool finalResponse, uint16_t finalStatus);

#endif
