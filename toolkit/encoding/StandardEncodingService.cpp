// StandardEncodingService's entry points: the codecs by encoding and by
// transfer syntax code (deflated data inflated and compressed whole), the
// meta group a saved file gets, and the message hooks.

#include "StandardEncodingService.h"

#include <cstring>
#include <new>

#include "Deflate.h"
#include "StandardCodecs.h"

using codec::MemoryStream;

UndefinedLengthItem::~UndefinedLengthItem() = default;

int StandardEncodingService::readImplicit(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    return codec::decodeStandard(*this, *stream, target, false, nullptr);
}

int StandardEncodingService::writeImplicit(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    return codec::encodeStandard(*stream, encapsulatedPixelData != 0, groupLengths, source, false, nullptr);
}

int StandardEncodingService::readExplicit(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    return codec::decodeStandard(*this, *stream, target, true, nullptr);
}

int StandardEncodingService::writeExplicit(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    return codec::encodeStandard(*stream, encapsulatedPixelData != 0, groupLengths, source, true, nullptr);
}

int StandardEncodingService::readWithSyntax(ByteStream* stream, DataSet* target, int32_t code) {
    if (stream == nullptr || target == nullptr) return 0;
    return codec::decodeStandard(*this, *stream, target, standardIsExplicitVr(code), &code);
}

int StandardEncodingService::writeWithSyntax(DataSet* source, ByteStream* stream, int32_t code) {
    if (stream == nullptr || source == nullptr) return 0;
    return codec::encodeStandard(*stream, false, groupLengths, source, standardIsExplicitVr(code), &code);
}

int StandardEncodingService::readWithCode(int32_t code, ByteStream* stream, DataSet* target) {
    switch (code) {
        case ImplicitLittleEndian:
            return readImplicitLittle(stream, target);
        case ExplicitLittleEndian:
        case EncapsulatedLittleEndian:
            return readExplicitLittle(stream, target);
        case ExplicitBigEndian:
            return readExplicitBig(stream, target);
        case DeflatedLittleEndian: {
            if (stream == nullptr || target == nullptr) return 0;
            lastProblem = DecodeProblem();
            MemoryStream inflated;
            if (!deflateSupported()) {
                lastProblem.reason = "deflated transfer syntax not supported by this build";
                return 0;
            }
            if (inflateInput(*stream, inflated, maximumInflatedSize) == 0 || inflated.outputToInput() == 0) {
                lastProblem.reason = "deflated data cannot be inflated";
                return 0;
            }
            return readExplicitLittle(&inflated, target);
        }
        default:
            return 0;
    }
}

int StandardEncodingService::writeWithCode(int32_t code, DataSet* source, ByteStream* stream) {
    switch (code) {
        case ImplicitLittleEndian:
            return writeImplicitLittle(source, stream);
        case ExplicitLittleEndian:
            return writeExplicitLittle(source, stream);
        case ExplicitBigEndian:
            return writeExplicitBig(source, stream);
        case EncapsulatedLittleEndian: {
            const int32_t setting = encapsulatedPixelData;
            encapsulatedPixelData = 1;
            const int result = writeExplicitLittle(source, stream);
            encapsulatedPixelData = setting;
            return result;
        }
        case DeflatedLittleEndian: {
            if (stream == nullptr || source == nullptr || !deflateSupported()) return 0;
            MemoryStream plain;
            if (writeExplicitLittle(source, &plain) == 0) return 0;
            return deflateOutput(plain, *stream);
        }
        default:
            return 0;
    }
}

namespace {

int addMetaElement(DataSet* set, uint16_t element, uint16_t vr, const void* bytes, uint32_t length) {
    if (set->find(0x0002, element) != nullptr) return 1;
    auto* made = new (std::nothrow) DataElement(0x0002, element, length, 1);
    if (made == nullptr || (length != 0 && made->value == nullptr)) {
        delete made;
        return 0;
    }
    if (length != 0) std::memcpy(made->value, bytes, length);
    made->vr = vr;
    if (set->addElement(made) == 0) {
        delete made;
        return 0;
    }
    return 1;
}

void addCopiedUid(DataSet* set, uint16_t fromElement, uint16_t toElement) {
    DataElement* source = set->find(0x0008, fromElement);
    if (source == nullptr) return;
    source->vr = vrCode('U', 'I');
    addMetaElement(set, toElement, vrCode('U', 'I'), source->value, source->value != nullptr ? source->length : 0);
}

}  // namespace

int StandardEncodingService::addMetaHeader(DataSet* set) {
    if (set == nullptr) return 0;
    static const char implicitUid[] = "1.2.840.10008.1.2";  // 17 characters and a NUL pad
    if (set->find(0x0002, 0x0001) != nullptr) {
        addMetaElement(set, 0x0010, vrCode('U', 'I'), implicitUid, sizeof implicitUid);
        return 1;
    }
    // The base service's meta group, without doubling what the set has: a
    // file from another writer may hold (0002,0010) without (0002,0001).
    const uint8_t version[2] = {0x00, 0x01};
    addMetaElement(set, 0x0001, vrCode('O', 'B'), version, 2);
    addCopiedUid(set, 0x0016, 0x0002);
    addCopiedUid(set, 0x0018, 0x0003);
    addMetaElement(set, 0x0010, vrCode('U', 'I'), implicitUid, sizeof implicitUid);
    addMetaElement(set, 0x0012, vrCode('U', 'I'), "none yet", 8);
    addMetaElement(set, 0x0013, vrCode('S', 'H'), "0.1AlphaTEVAR ", 14);
    addMetaElement(set, 0x0016, vrCode('A', 'E'), "none            ", 16);
    return 1;
}

int StandardEncodingService::handlesTransferSyntax(const char* uid) {
    const int32_t code = findStandardTransferSyntax(uid);
    if (code == 0 || (code == DeflatedLittleEndian && !deflateSupported())) return 0;
    return 1;
}

int StandardEncodingService::decodeMessage(uint8_t contextId, PdvBuffer& buffer, DataSet& set) {
    UidValue transferSyntax;
    if (!transferSyntaxOfContext(contextId, transferSyntax)) return 0;
    // Command sets travel in implicit VR little endian whatever the context
    // negotiated; only data sets take the context's transfer syntax.
    if (PDataPdu::isCommandMessage()) return readImplicitLittle(&buffer, &set);
    const int32_t code = findStandardTransferSyntax(transferSyntax.text());
    if (code == 0) return 0;
    return readWithCode(code, &buffer, &set);
}

int StandardEncodingService::encodeOnContext(uint8_t id, int32_t code, DataSet& set, PdvBuffer& buffer) {
    if ((controlFlags & commandBit) != 0) code = ImplicitLittleEndian;
    return writeWithCode(code, &set, &buffer) ? id : 0;
}

int StandardEncodingService::encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax) {
    if (preferredTransferSyntax.size() != 0 && handlesTransferSyntax(preferredTransferSyntax.text())) {
        const uint8_t id = contextForSyntaxes(abstractSyntax, preferredTransferSyntax);
        if (id != 0) return encodeOnContext(id, findStandardTransferSyntax(preferredTransferSyntax.text()), set, buffer);
    }
    for (const TransferSyntaxRow* row = standardTransferSyntaxTable; row->uid != nullptr; ++row) {
        if (!handlesTransferSyntax(row->uid)) continue;
        const uint8_t id = contextForSyntaxes(abstractSyntax, UidValue(row->uid));
        if (id != 0) return encodeOnContext(id, row->code, set, buffer);
    }
    return 0;
}

int StandardEncodingService::encodeOnFirstContext(DataSet& set, PdvBuffer& buffer) {
    if (preferredTransferSyntax.size() != 0 && handlesTransferSyntax(preferredTransferSyntax.text())) {
        const uint8_t id = contextForTransferSyntax(preferredTransferSyntax);
        if (id != 0) return encodeOnContext(id, findStandardTransferSyntax(preferredTransferSyntax.text()), set, buffer);
    }
    for (const TransferSyntaxRow* row = standardTransferSyntaxTable; row->uid != nullptr; ++row) {
        if (!handlesTransferSyntax(row->uid)) continue;
        const uint8_t id = contextForTransferSyntax(UidValue(row->uid));
        if (id != 0) return encodeOnContext(id, row->code, set, buffer);
    }
    return 0;
}

int StandardEncodingService::encodesTransferSyntax(const UidValue& transferSyntax) {
    return handlesTransferSyntax(transferSyntax.text());
}
