#ifndef TOOLS_DICOMTK_SERVELOG_H
#define TOOLS_DICOMTK_SERVELOG_H

#include <string>

#include "Log.h"
#include "dimse/ConfiguredAssociationService.h"
#include "stream/SocketStream.h"

// The words of dicomtk serve's log: the lines of one association, why an
// association was refused, the names of commands, and the policy of a
// configuration file.

// The lines of one association: each names its peer (and, once the request
// has been read, its AE titles) in the text and in the JSON fields.
struct AssociationLog {
    std::string peer;
    std::string calling;
    std::string called;

    std::string prefix() const;
    logging::Event event(logging::Level level, const std::string& name, const std::string& text) const;
    void write(logging::Level level, const std::string& name, const std::string& text) const;
};

// An AE title field without its trailing spaces.
std::string trimmedTitle(const char* title);

// Why the acceptor established no association, in the operator's words,
// and the event name of its line.
std::string refusalText(const AssociationService& service, int32_t requestTimeout);
const char* refusalEvent(AssociationService::Refusal refusal);

// "C-STORE-RQ" and the like for a request's Command Field.
const char* commandName(uint16_t field);

// Why listening failed, in the system's words.
std::string socketErrorText(SocketStream& listener);

// The five lists of a configuration, "any" for an empty one.
std::string policySummary(const ConfiguredAssociationService& policy);

#endif
