#ifndef TOOLS_DICOMTK_OBJECTFILES_H
#define TOOLS_DICOMTK_OBJECTFILES_H

#include <string>

#include "network/AssociationService.h"

// The files of received objects, as dicomtk serve and dicomtk get keep
// them: FOLDER/<SOP Instance UID>.dcm with file meta information, in the
// transfer syntax the object came in.

// A temporary name in a folder for an object of uid: different between
// threads and between processes writing in the same folder.
std::string temporaryName(const std::string& uid);

// Sets the meta element (0002,element) to text padded to even with pad,
// adding it when the meta group has none. 1, or 0 when memory ran out.
int setMetaText(DataSet* set, uint16_t element, uint16_t vr, const std::string& text, uint8_t pad);

// Writes dataSet (drained) as FOLDER/<uid>.dcm with the association's meta
// header, its Transfer Syntax UID transferSyntax and, when sender is not
// empty, Source Application Entity Title sender: written under a temporary
// name beside it, synced, renamed into place, and the folder synced, so
// that both the object and its name survive a crash once this returns 1
// (without sync, neither sync is made). 0 with problem set otherwise, no
// temporary file left behind, and whatever was at the name untouched.
int writeObjectFile(AssociationService& association, DataSet* dataSet, const std::string& folder,
                    const std::string& uid, const std::string& transferSyntax, const std::string& sender, bool sync,
                    std::string& problem);

// The Transfer Syntax UID of the file meta information of the DICOM file at
// path, without padding; "" when there is no such file or it names none.
std::string fileTransferSyntax(const std::string& path);

#endif
