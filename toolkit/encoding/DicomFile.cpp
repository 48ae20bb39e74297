// DICOM files: the 128-byte preamble, "DICM" and the file meta information
// group before the data set, or a bare data set from offset 0.

#include <cstring>
#include <new>

#include "../network/AssociationService.h"
#include "../stream/FileStream.h"
#include "TransferSyntax.h"

namespace {

constexpr long prefixOffset = 128;
constexpr long headerSize = 132;

DataElement* metaElement(uint16_t element, uint16_t vr, const void* bytes, uint32_t length) {
    auto* made = new (std::nothrow) DataElement(0x0002, element, length, 1);
    if (made == nullptr) return nullptr;
    if (length != 0 && made->value == nullptr) {
        delete made;
        return nullptr;
    }
    if (length != 0) std::memcpy(made->value, bytes, length);
    made->vr = vr;
    return made;
}

void addOrDrop(DataSet* set, DataElement* element) {
    if (element != nullptr && set->addElement(element) == 0) delete element;
}

// A copy of a UID element of the data set into the meta group, when present.
void addCopiedUid(DataSet* set, uint16_t fromElement, uint16_t toElement) {
    DataElement* source = set->find(0x0008, fromElement);
    if (source == nullptr) return;
    source->vr = vrCode('U', 'I');
    const uint32_t length = source->value != nullptr ? source->length : 0;
    addOrDrop(set, metaElement(toElement, vrCode('U', 'I'), source->value, length));
}

// A file written all in implicit VR little endian says so: a meta group that
// names another transfer syntax (kept from the file the set was read from)
// is corrected, or every other reader would decode the file wrongly, and so
// would loadFile. A bare data set that holds a meta group is no exception.
void labelImplicitLittleEndian(DataSet* set) {
    DataElement* syntax = set->find(0x0002, 0x0010);
    if (syntax == nullptr) return;
    static const char implicitUid[] = "1.2.840.10008.1.2";  // 17 characters and a NUL pad
    if (syntax->value != nullptr && syntax->length == 18 && std::memcmp(syntax->value, implicitUid, 18) == 0) return;
    auto* value = new (std::nothrow) uint8_t[18];
    if (value == nullptr) return;
    std::memcpy(value, implicitUid, 18);
    if (syntax->ownsValue != 0) delete[] syntax->value;
    syntax->value = value;
    syntax->length = 18;
    syntax->ownsValue = 1;
}

}  // namespace

int AssociationService::addMetaHeader(DataSet* set) {
    if (set == nullptr) return 0;
    if (set->find(0x0002, 0x0001) != nullptr) return 1;
    const uint8_t version[2] = {0x00, 0x01};
    addOrDrop(set, metaElement(0x0001, vrCode('O', 'B'), version, 2));
    addCopiedUid(set, 0x0016, 0x0002);
    addCopiedUid(set, 0x0018, 0x0003);
    addOrDrop(set, metaElement(0x0010, vrCode('U', 'I'), "1.2.840.10008.1.2\0", 18));
    addOrDrop(set, metaElement(0x0012, vrCode('U', 'I'), "none yet", 8));
    addOrDrop(set, metaElement(0x0013, vrCode('S', 'H'), "0.1AlphaTEVAR ", 14));
    addOrDrop(set, metaElement(0x0016, vrCode('A', 'E'), "none            ", 16));
    return 1;
}

int AssociationService::saveFile(const char* path, int mode, DataSet* set) {
    if (mode != FileDataSetOnly && mode != FileWithHeaderImplicit && mode != FileWithHeaderExplicit) return 0;
    if (path == nullptr || set == nullptr) return 0;
    FileStream stream;
    if (stream.openForWriting(path) == 0) return 0;
    if (mode != FileDataSetOnly) addMetaHeader(set);
    if (mode != FileWithHeaderExplicit) labelImplicitLittleEndian(set);
    const int encoded = mode == FileWithHeaderExplicit ? writeWithSyntax(set, &stream, ExplicitLittleEndian)
                                                        : writeImplicitLittle(set, &stream);
    int written = 1;
    if (mode != FileDataSetOnly) {
        uint8_t header[headerSize] = {};
        std::memcpy(header + prefixOffset, "DICM", 4);
        if (std::fwrite(header, 1, sizeof header, stream.file) != sizeof header) written = 0;
    }
    stream.flush();
    const int closed = stream.closeFile();
    return (encoded == 1 && written == 1 && stream.writeFailed == 0 && closed == 1) ? 1 : 0;
}

ObjectDataSet* AssociationService::loadFile(const char* path) { return loadFile(path, nullptr); }

ObjectDataSet* AssociationService::loadFile(const char* path, int* decodeResult) {
    if (decodeResult != nullptr) *decodeResult = 0;
    if (path == nullptr) return nullptr;
    FileStream stream;
    stream.file = std::fopen(path, "rb");
    if (stream.file == nullptr) return nullptr;

    // The preamble, "DICM" and the first six bytes of the data, in one read.
    uint8_t head[headerSize + 6] = {};
    const size_t got = std::fread(head, 1, sizeof head, stream.file);
    const long dataStart = got >= static_cast<size_t>(headerSize) && std::memcmp(head + prefixOffset, "DICM", 4) == 0
                               ? headerSize
                               : 0;
    const uint8_t* probe = head + dataStart;
    // In explicit VR the sixth byte is the second VR letter; in implicit VR it
    // is the second byte of the first length, small for all but huge values.
    // An explicit VR data set whose first group number starts with a zero
    // byte (00 08 rather than 08 00) is big endian: a bare data set has no
    // meta group to say so.
    const size_t probed = got >= static_cast<size_t>(dataStart) + 6 ? 6 : 0;
    int32_t startCode = ImplicitLittleEndian;
    if (probed == 6 && static_cast<int8_t>(probe[5]) > 10) {
        startCode = (probe[0] == 0 && probe[1] != 0) ? ExplicitBigEndian : ExplicitLittleEndian;
    }

    ObjectDataSet* set = nullptr;
    if (std::fseek(stream.file, dataStart, SEEK_SET) == 0 && stream.readToEnd() != 0) {
        set = new (std::nothrow) ObjectDataSet();
        if (set != nullptr) {
            itemBytesLeft = 0;
            int decoded = readWithSyntax(&stream, set, startCode);
            // Bytes of the file that could not be read in the end (a read
            // error, a file cut short meanwhile) were decoded as zeros.
            if (stream.inputFailed != 0) decoded = 0;
            if (decodeResult != nullptr) *decodeResult = decoded;
        }
    }
    stream.closeFile();
    return set;
}
