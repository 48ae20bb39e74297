#ifndef DICOMTOOLKIT_NETWORK_ASSOCIATIONSERVICE_H
#define DICOMTOOLKIT_NETWORK_ASSOCIATIONSERVICE_H

#include <cstdint>

#include "../model/DataSet.h"
#include "../stream/ByteStream.h"
#include "../stream/SocketStream.h"

// The service through which the toolkit does its DICOM work above the byte
// level. It is the big-endian byte stream of one association over its socket
// end point, and it carries the transfer-syntax codecs as virtual operations,
// so that a program that only reads and writes data sets also constructs one;
// the codecs work on a service that never connects.
// Modes of saveFile.
enum : int {
    FileDataSetOnly = 1,         // the data set alone, implicit VR little endian
    FileWithHeaderImplicit = 2,  // preamble, "DICM", meta group and data set, all implicit VR little endian
    FileWithHeaderExplicit = 3,  // preamble, "DICM", meta group in explicit VR little endian, then (0002,0010)'s syntax
};

class AssociationService : public ByteStream {
public:
    AssociationService();
    ~AssociationService() override;

    // The service's own stream reads from and writes to its socket.
    int rawRead(uint8_t* buffer, uint32_t maximum) override;
    int rawWrite(const uint8_t* buffer, uint32_t count) override;

    // The codecs. Readers add what they decode to target (owned by the
    // caller) and return 1, or 0 on failure with what was decoded before
    // left in target. Writers drain source, delete every element they write
    // and only append to the stream's output; the caller flushes.
    virtual int readImplicit(ByteStream* stream, DataSet* target);
    virtual int writeImplicit(DataSet* source, ByteStream* stream);
    virtual int readImplicitLittle(ByteStream* stream, DataSet* target);
    virtual int writeImplicitLittle(DataSet* source, ByteStream* stream);
    virtual int readExplicit(ByteStream* stream, DataSet* target);
    virtual int writeExplicit(DataSet* source, ByteStream* stream);
    virtual int readExplicitLittle(ByteStream* stream, DataSet* target);
    virtual int writeExplicitLittle(DataSet* source, ByteStream* stream);
    virtual int readExplicitBig(ByteStream* stream, DataSet* target);
    virtual int writeExplicitBig(DataSet* source, ByteStream* stream);
    // Start with code's encoding and switch to the one named by the Transfer
    // Syntax UID (0002,0010) at the first element after the meta group.
    virtual int readWithSyntax(ByteStream* stream, DataSet* target, int32_t code);
    virtual int writeWithSyntax(DataSet* source, ByteStream* stream, int32_t code);
    // Adds the file meta information group unless the set has (0002,0001).
    virtual int addMetaHeader(DataSet* set);

    // DICOM files. saveFile writes set (draining it) in one of the three
    // modes and returns 1 only when every byte reached the file and the file
    // was closed cleanly. loadFile returns a new set owned by the caller, or
    // null when the file cannot be opened; decodeResult, when given, receives
    // the decoder's result (0 when the file could not be decoded to its end).
    int saveFile(const char* path, int mode, DataSet* set);
    ObjectDataSet* loadFile(const char* path);
    ObjectDataSet* loadFile(const char* path, int* decodeResult);

    // Content bytes of the defined-length item being decoded not yet
    // accounted for; 0 means no bound. Top-level reads start it at 0.
    int32_t itemBytesLeft = 0;
    SocketStream socket;
};

#endif
