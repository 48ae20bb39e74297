#ifndef DICOMTOOLKIT_DIMSE_CONFIGUREDASSOCIATIONSERVICE_H
#define DICOMTOOLKIT_DIMSE_CONFIGUREDASSOCIATIONSERVICE_H

#include <cstdint>
#include <cstdio>

#include "../network/AssociationService.h"

// An association service whose acceptance policy comes from a configuration
// file: which calling AE titles may call, under which called AE titles this
// side answers, and which application contexts, abstract syntaxes and
// transfer syntaxes it accepts. Each of the five lists accepts everything
// while it is empty; otherwise a value must match one of its entries.
// Everything else is the association service's.
//
// The file is text, read line by line. A line whose first character is "#"
// is a comment. Fields are separated by runs of spaces, tabs and line
// feeds; an entry is a line of at least three: any first word, the value,
// and a keyword naming the list (letter case does not matter):
//
//   scanner   CT_SCANNER             RemoteAE
//   archive   ARCHIVE                LocalAE
//   dicom     1.2.840.10008.3.1.1.1  Application
//   ct        1.2.840.10008.5.1.4.1.1.2  sop        (or "abstract": the same list)
//   explicit  1.2.840.10008.1.2.1    transfer
//
// Fields after the third are ignored; lines with fewer fields or another
// keyword are skipped. So are lines with a first field or keyword longer
// than 63 characters, an AE title value longer than 63 or a UID value longer
// than 64, and lines longer than 254 characters (the whole line, and not its
// pieces, which could read as other entries). A carriage return before the
// line feed ends the line as the line feed does.
//
// AE titles are compared as the 16-byte field of the request cut at its
// first blank, letter case significant (a title padded with spaces matches
// its listed form). UIDs are compared with UidValue equality: same length,
// same bytes.
class ConfiguredAssociationService : public AssociationService {
public:
    // A line of the file is read in pieces of at most this many characters.
    static constexpr int lineLimit = 254;
    static constexpr uint32_t fieldLimit = 63;

    // One list of the configuration: count entries, each a value and the
    // first field of its line (kept, consulted by no check). Null arrays
    // while empty.
    struct ConfigurationList {
        uint32_t count = 0;
        char** values = nullptr;
        char** firstFields = nullptr;
    };

    // Reads the configuration at path; a null path, or a file that cannot be
    // read, leaves every list empty (loadConfiguration tells those apart).
    explicit ConfiguredAssociationService(const char* configurationPath);
    ~ConfiguredAssociationService() override;

    ConfiguredAssociationService(const ConfiguredAssociationService&) = delete;
    ConfiguredAssociationService& operator=(const ConfiguredAssociationService&) = delete;

    // Replaces the configuration with the one at path: 1 when the file was
    // opened and read to its end; 0 for a null path, a file that does not
    // open or a read error, with every list empty then (which accepts
    // everything: a program that took the path from its user should stop).
    int loadConfiguration(const char* path);
    // Empties all five lists.
    void releaseConfiguration();

    int acceptTransferSyntax(const TransferSyntaxItem& proposed) override;
    int acceptCallingAeTitle(const char* callingAeTitle) override;
    int acceptCalledAeTitle(const char* calledAeTitle) override;
    int acceptApplicationContext(const ApplicationContextItem& proposed) override;
    int acceptAbstractSyntax(const AbstractSyntaxItem& proposed) override;

    ConfigurationList abstractSyntaxes;
    ConfigurationList transferSyntaxes;
    ConfigurationList applicationContexts;
    ConfigurationList remoteAeTitles;
    ConfigurationList localAeTitles;
    // The first line (counted from 1) whose third field is none of the
    // keywords, and that field (cut to fieldLimit characters); 0 and "" when
    // every line names a list. The line is skipped as any other; a program
    // that wants a typo to stop it looks here.
    uint32_t unknownKeywordLine = 0;
    char unknownKeyword[fieldLimit + 1] = {};

private:
    int readPass(std::FILE* file, bool filling);
};

#endif
