#ifndef TOOLS_DICOMTK_COMMANDS_H
#define TOOLS_DICOMTK_COMMANDS_H

#include <string>
#include <vector>

#include "model/DataSet.h"
#include "network/AssociationService.h"

// The service through which dicomtk reads and writes files and talks to
// peers.
using ToolService = AssociationService;

// The subcommands of dicomtk. Each takes its arguments (without the
// subcommand's name) and returns the process exit status.
int runDump(const std::vector<std::string>& arguments);
int runCopy(const std::vector<std::string>& arguments);
int runConvert(const std::vector<std::string>& arguments, const std::string& programPath);
int runEcho(const std::vector<std::string>& arguments);
int runStore(const std::vector<std::string>& arguments);
int runServe(const std::vector<std::string>& arguments);

int runFind(const std::vector<std::string>& arguments);
int runMove(const std::vector<std::string>& arguments);

// Prints the elements of set as dump does, draining it.
void printDataSet(DataSet* set, bool bigEndian);

// Prints "dicomtk: subject: problem" on standard error; returns 1.
int fail(const std::string& subject, const std::string& problem);

// Loads a DICOM file, or prints why it cannot be used and returns null:
// cannot open, not DICOM (nothing decodes), a transfer syntax the toolkit
// does not read, or cannot be decoded completely. What was decoded is still
// returned through partial when the caller wants to show it.
ObjectDataSet* loadDicom(AssociationService& service, const std::string& path, ObjectDataSet** partial = nullptr);

// The Transfer Syntax UID (0002,0010) of the set, without padding, or "".
std::string transferSyntaxOf(DataSet* set);

// Whether the set's values are big endian: its Transfer Syntax UID names
// explicit VR big endian.
bool holdsBigEndianValues(DataSet* set);

#endif
