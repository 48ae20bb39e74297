#ifndef DICOMTOOLKIT_DICOMTOOLKIT_H
#define DICOMTOOLKIT_DICOMTOOLKIT_H

// Everything a program built on the toolkit uses:
//   #include <DicomToolkit/DicomToolkit.h>

#include "model/IndexedList.h"
#include "model/IndexedHeap.h"
#include "model/DataElement.h"
#include "model/DataSet.h"

#include "stream/ByteStream.h"
#include "stream/SocketStream.h"
#include "stream/FileStream.h"

#include "encoding/ByteOrder.h"
#include "encoding/TransferSyntax.h"
#include "encoding/SortedKeyTable.h"
#include "encoding/DataDictionary.h"

#include "network/PdvBuffer.h"
#include "network/PDataPdu.h"
#include "network/AssociationService.h"

#include "dimse/ConfiguredAssociationService.h"

#endif
