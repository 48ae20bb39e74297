#ifndef DICOMTOOLKIT_ENCODING_STANDARDENCODINGSERVICE_H
#define DICOMTOOLKIT_ENCODING_STANDARDENCODINGSERVICE_H

#include <cstdint>

#include "../network/AssociationService.h"
#include "StandardTransferSyntaxes.h"

// An item that arrived with an undefined length (ended by an item
// delimitation) and was read by a service asked to keep undefined lengths:
// the writers give it an undefined length and a delimitation again.
class UndefinedLengthItem : public DataSet {
public:
    ~UndefinedLengthItem() override;
};

// Why the last read of a StandardEncodingService failed: a fixed text, the
// tag of the element being read (or of the item or delimiter header) and
// where its header began, in bytes from the start of the read. reason is
// null after a read that succeeded.
struct DecodeProblem {
    const char* reason = nullptr;
    uint16_t group = 0;
    uint16_t element = 0;
    uint32_t offset = 0;
};

// The association service whose codecs read and write DICOM's standard
// encodings, as other programs and peers write them, where the base
// service's codecs keep the toolkit's own encoding (items always implicit VR
// with defined lengths, no delimiters, no encapsulated pixel data). Files
// (loadFile, saveFile) and messages go through these codecs as well.
//
// Reading, in implicit VR little endian, explicit VR little and big endian,
// the encapsulated syntaxes (as explicit VR little endian) and deflated
// explicit VR little endian:
// - sequences and items of defined or undefined length, with their
//   delimitation items, nested up to maximumNesting items deep; item
//   contents in the encoding of the data set around them (implicit VR little
//   endian inside a UN element of undefined length);
// - in implicit VR, where no VR says so, an element of defined length whose
//   value is a complete run of items is read as a sequence;
// - an element of undefined length that is not a sequence (encapsulated
//   pixel data) keeps as its value the exact bytes of its items, the basic
//   offset table first, without the closing sequence delimitation;
// - the toolkit's own encoding (items after their element, outside any
//   sequence) reads as the base service reads it.
// A sequence read becomes an element with length 0, no value and its items;
// its vr is the one found (SQ or UN in explicit VR, 0 in implicit VR).
// Lengths are believed only as far as the buffered input (and the enclosing
// item or sequence) reaches; every failure fills lastProblem.
//
// Writing:
// - sequences with exact defined lengths (a sequence under UN in explicit VR
//   always with an undefined length: with a defined one it would be plain
//   bytes), items in the encoding of their data set (explicit inside
//   explicit, implicit VR little endian inside UN); an element with both a
//   value and items has no standard form and fails the write;
// - with keepUndefinedLengths set while reading, what came with undefined
//   lengths carries them (a sequence element keeps length 0xFFFFFFFF, an
//   item becomes an UndefinedLengthItem) and is written with undefined
//   lengths and delimiters again;
// - in a syntax with encapsulated pixel data, (7FE0,0010) whose value is a
//   run of items is written encapsulated, byte for byte as it was read;
// - a group length element (gggg,0000) with the exact size of its group
//   where the data set (or item) had one when it was read or built
//   (DataSet records it), always for the command group 0000 and the meta
//   group 0002, and elsewhere as groupLengths says: an object is written
//   with the elements it came with, not with group lengths it never had;
// - in implicit VR, a private sequence (odd group) that came with an
//   undefined length, or from explicit VR as SQ or UN, with an undefined
//   length and a delimitation: no reader's dictionary names it, and with a
//   defined length it would be plain bytes to every reader (the readers keep
//   the undefined length of such a sequence read in implicit VR whatever
//   keepUndefinedLengths says);
// - elements of unknown VR (0) as UN in explicit VR, and in writeWithSyntax
//   the groups 0000 and 0001 after the meta group.
class StandardEncodingService : public AssociationService {
public:
    static constexpr int maximumNesting = 64;
    // Deflated data inflate to at most this many bytes.
    static constexpr uint32_t maximumInflatedSize = 0x7FFFFFFFu;

    int readImplicit(ByteStream* stream, DataSet* target) override;
    int writeImplicit(DataSet* source, ByteStream* stream) override;
    int readExplicit(ByteStream* stream, DataSet* target) override;
    int writeExplicit(DataSet* source, ByteStream* stream) override;
    // The byte-order variants are the base service's: they set the stream's
    // byte order and call the codecs above.
    // The codes are those of standardTransferSyntaxTable; the switch at the
    // end of the meta group follows the same table. A meta group without a
    // Transfer Syntax UID leaves the data set's encoding to be recognised
    // from its first element, as loadFile recognises a bare data set.
    int readWithSyntax(ByteStream* stream, DataSet* target, int32_t code) override;
    int writeWithSyntax(DataSet* source, ByteStream* stream, int32_t code) override;
    // As the base service, except that an element the set already holds is
    // never added a second time (a file from another writer may have a
    // Transfer Syntax UID without (0002,0001)), and a meta group that lacks
    // the Transfer Syntax UID gets one naming implicit VR little endian (as
    // a new meta group does): a saved file says how its data set is encoded.
    int addMetaHeader(DataSet* set) override;

    // Messages in every transfer syntax of standardTransferSyntaxTable
    // (deflated ones inflated whole before decoding, compressed whole after
    // encoding). The encode hooks take the first row of that table an
    // accepted context carries, after preferredTransferSyntax when it is set.
    int decodeMessage(uint8_t contextId, PdvBuffer& buffer, DataSet& set) override;
    int encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax) override;
    int encodeOnFirstContext(DataSet& set, PdvBuffer& buffer) override;

    // Reads and writes with the code: 100 to 104 as in
    // standardTransferSyntaxTable. 1, or 0 (also for an unknown code).
    int readWithCode(int32_t code, ByteStream* stream, DataSet* target);
    int writeWithCode(int32_t code, DataSet* source, ByteStream* stream);

    // Whether this service reads and writes the transfer syntax uid.
    static int handlesTransferSyntax(const char* uid);
    int encodesTransferSyntax(const UidValue& transferSyntax) override;

    // Which group length elements the writers write outside groups 0000
    // and 0002 (which always get theirs): those the data set had (keep),
    // one for every group (add), or none (remove).
    enum GroupLengths : int32_t { keepGroupLengths = 0, addGroupLengths = 1, removeGroupLengths = 2 };
    int32_t groupLengths = keepGroupLengths;
    // Set while reading: record undefined lengths so that the writers
    // reproduce them.
    int32_t keepUndefinedLengths = 0;
    // Set while writing with the explicit VR writers directly: the syntax
    // has encapsulated pixel data. writeWithSyntax and the message hooks set
    // it from the transfer syntax themselves.
    int32_t encapsulatedPixelData = 0;
    // When set, the encode hooks first look for an accepted context with
    // this transfer syntax (to send compressed pixel data as it is).
    UidValue preferredTransferSyntax;
    DecodeProblem lastProblem;

private:
    int encodeOnContext(uint8_t id, int32_t code, DataSet& set, PdvBuffer& buffer);
};

#endif
