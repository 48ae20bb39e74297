#ifndef TOOLS_DICOMTK_COMMANDS_H
#define TOOLS_DICOMTK_COMMANDS_H

#include <string>
#include <vector>

#include "encoding/DataDictionary.h"
#include "model/DataSet.h"
#include "encoding/StandardEncodingService.h"

// The service through which dicomtk reads and writes files and talks to
// peers.
using ToolService = StandardEncodingService;

// The subcommands of dicomtk. Each takes its arguments (without the
// subcommand's name) and returns the process exit status.
int runDump(const std::vector<std::string>& arguments, const std::string& programPath);
int runCopy(const std::vector<std::string>& arguments, const std::string& programPath);
int runConvert(const std::vector<std::string>& arguments, const std::string& programPath);
int runEcho(const std::vector<std::string>& arguments);
int runStore(const std::vector<std::string>& arguments, const std::string& programPath);
int runServe(const std::vector<std::string>& arguments, const std::string& programPath);

int runFind(const std::vector<std::string>& arguments, const std::string& programPath);
int runMove(const std::vector<std::string>& arguments, const std::string& programPath);
int runGet(const std::vector<std::string>& arguments, const std::string& programPath);

// Prints the elements of set as dump does, draining it; with names and the
// VRs of dictionary when given.
void printDataSet(DataSet* set, bool bigEndian, const DataDictionary* dictionary = nullptr);

// Prints "dicomtk: subject: problem" on standard error; returns 1.
int fail(const std::string& subject, const std::string& problem);

// Loads a DICOM file, or prints why it cannot be used and returns null:
// cannot open, not DICOM (nothing decodes), a transfer syntax the toolkit
// does not read, or cannot be decoded completely (with the decoder's
// reason). What was decoded is still returned through partial when the
// caller wants to show it.
ObjectDataSet* loadDicom(StandardEncodingService& service, const std::string& path, ObjectDataSet** partial = nullptr);

// Loads the data dictionary into dictionary: the file named (by
// --dictionary) when named is not empty, else the one the environment
// variable DICOMTK_DICTIONARY names, else the standard dictionary
// share/DicomToolkit/dicom.dic beside the program's folder, else
// share/dicomtoolkit/dicom.dic there (the Debian package's place), else the
// one installed under the install prefix. Returns 1 loaded; 0 when no standard
// dictionary was found; -1 when a named file cannot be loaded (a message
// naming it has been printed).
int loadDictionary(DataDictionary& dictionary, const std::string& named, const std::string& programPath);

// Gives a set read in implicit VR its VRs from dictionary (UN where it
// knows none) and labels it explicit VR little endian, for a save in mode 3.
// A set read in explicit VR little endian is left as it is. 1, or 0 with a
// message naming path (another transfer syntax, or memory ran out).
int prepareExplicitLittleEndian(AssociationService& service, ObjectDataSet* set, const DataDictionary& dictionary,
                                const std::string& path);

// The Transfer Syntax UID (0002,0010) of the set, without padding, or "".
std::string transferSyntaxOf(DataSet* set);

// Whether the set's values are big endian: its Transfer Syntax UID names
// explicit VR big endian.
bool holdsBigEndianValues(DataSet* set);

// Whether the set's pixel data are encapsulated (compressed): its Transfer
// Syntax UID names JPEG, JPEG-LS, JPEG 2000, RLE or the like.
bool holdsEncapsulatedPixelData(DataSet* set);

#endif
