#ifndef DICOMTOOLKIT_NETWORK_ASSOCIATIONPDUS_H
#define DICOMTOOLKIT_NETWORK_ASSOCIATIONPDUS_H

#include <cstdint>

#include "../model/IndexedList.h"
#include "../stream/ByteStream.h"
#include "PresentationContextItems.h"
#include "UidItems.h"
#include "UserInformationItem.h"
#include "WireReader.h"

// The PDUs that open, refuse, close and break an association. Every PDU
// starts with its type, a reserved byte and a 32-bit length of what follows;
// all fields are big endian. encodedSize sets the PDU length and returns the
// total size, write sizes and sends the PDU and flushes, read takes the type
// byte and then readBody, which reads everything after it and returns 1 for a
// well-formed PDU, 0 otherwise.

// A-ASSOCIATE-RQ (0x01) and A-ASSOCIATE-AC (0x02) share their layout: the
// fixed part (protocol version, AE titles, 32 reserved bytes: 68 bytes), then
// the application context item, the presentation-context items and the
// user-information item.
template <uint8_t Type, typename ContextItem>
class AssociatePdu {
public:
    static constexpr uint8_t type = Type;
    static constexpr uint32_t fixedLength = 68;
    static constexpr uint32_t aeTitleSize = 16;
    // Far beyond any real negotiation (128 contexts with a dozen transfer
    // syntaxes each take about 40 KB); a longer PDU is refused unread.
    static constexpr uint32_t largestLength = 1u << 20;

    AssociatePdu() = default;
    AssociatePdu(const char* calling, const char* called) {
        setCallingAeTitle(calling);
        setCalledAeTitle(called);
    }
    virtual ~AssociatePdu() = default;
    AssociatePdu(const AssociatePdu&) = delete;
    AssociatePdu& operator=(const AssociatePdu&) = delete;

    // The title's characters followed by zero bytes up to 16; 0 for a null
    // title or one longer than 16 characters, which leaves the field as it was.
    int setCalledAeTitle(const char* title) { return setTitle(calledAeTitle, title); }
    int setCallingAeTitle(const char* title) { return setTitle(callingAeTitle, title); }
    void setApplicationContext(const UidValue& name) { applicationContext.setValue(name); }
    // The list keeps an owned copy; 1, or 0 when it could not grow.
    int appendPresentationContext(const ContextItem& context) { return presentationContexts.tryAppend(context); }
    void emptyPresentationContexts() {
        while (presentationContexts.count() != 0) presentationContexts.removeAt(0);
    }
    ContextItem* presentationContextAt(uint32_t index) {
        auto* node = presentationContexts.at(index);
        return node != nullptr ? &node->element : nullptr;
    }
    void setUserInformation(const UserInformationItem& information) { userInformation = information; }

    uint32_t encodedSize() {
        uint32_t length = fixedLength + applicationContext.encodedSize() + userInformation.encodedSize();
        for (uint32_t index = 0; index < presentationContexts.count(); ++index) {
            length += presentationContexts.at(index)->element.encodedSize();
        }
        pduLength = length;
        return length + 6;
    }

    int write(ByteStream* stream) {
        // Of a received user-information item only the kept sub-items are
        // sent: the bytes of the ones it skipped stop counting, or the PDU
        // length would promise bytes that never follow.
        userInformation.extraLength = 0;
        encodedSize();
        stream->writeU8(pduType).writeU8(reserved).writeU32(pduLength).writeU16(protocolVersion).writeU16(reserved2);
        stream->writeBytes(reinterpret_cast<const uint8_t*>(calledAeTitle), aeTitleSize);
        stream->writeBytes(reinterpret_cast<const uint8_t*>(callingAeTitle), aeTitleSize);
        stream->writeBytes(reserved3, sizeof reserved3);
        stream->flush();
        applicationContext.write(stream);
        for (uint32_t index = 0; index < presentationContexts.count(); ++index) {
            presentationContexts.at(index)->element.write(stream);
        }
        userInformation.write(stream);
        return 1;
    }

    int read(ByteStream* stream) {
        WireReader reader(stream, WireReader::unbounded);
        if (!reader.u8(pduType)) return 0;
        return readBody(stream);
    }

    // Reads the PDU into this object, appending its presentation contexts to
    // the list (emptying the list first is the caller's business); the
    // application context and user information hold this PDU's only. The PDU
    // must hold its fixed part and items that add up to its length; a PDU
    // longer than largestLength is refused after its length has been read.
    // The whole PDU is buffered before its items are read, so a PDU that the
    // peer cut short fails without a value taken from a failed stream.
    int readBody(ByteStream* stream) {
        WireReader header(stream, WireReader::unbounded);
        if (!header.u8(reserved) || !header.u32(pduLength)) return 0;
        if (pduLength < fixedLength || pduLength > largestLength) return 0;
        if (!stream->ensureAvailable(pduLength)) return 0;
        // The same object reads every PDU of its type: an item this PDU
        // lacks must not show the previous one's.
        applicationContext.value.clear();
        userInformation = UserInformationItem();
        WireReader body(stream, pduLength);
        body.u16(protocolVersion);
        body.u16(reserved2);
        readTitle(body, calledAeTitle);
        readTitle(body, callingAeTitle);
        body.bytes(reserved3, sizeof reserved3);
        int wellFormed = !body.failed;
        while (wellFormed && body.left != 0) {
            uint8_t itemType = 0;
            body.u8(itemType);
            if (itemType == ApplicationContextItem::type) {
                wellFormed = applicationContext.readBody(body);
            } else if (itemType == ContextItem::type) {
                ContextItem context;
                wellFormed = context.readBody(body) && presentationContexts.tryAppend(context);
            } else if (itemType == UserInformationItem::type) {
                wellFormed = userInformation.readBody(body);
            } else {
                wellFormed = 0;
            }
        }
        // Whatever went wrong, the rest of the PDU is consumed, so that the
        // stream stands at the next PDU.
        if (!wellFormed) body.skipRest();
        return wellFormed && !body.failed ? 1 : 0;
    }

    uint8_t pduType = Type;
    uint8_t reserved = 0;
    uint32_t pduLength = 0;
    uint16_t protocolVersion = 1;
    uint16_t reserved2 = 0;
    char calledAeTitle[aeTitleSize + 1] = {};
    char callingAeTitle[aeTitleSize + 1] = {};
    uint8_t reserved3[32] = {};
    ApplicationContextItem applicationContext;
    IndexedValueList<ContextItem> presentationContexts;
    UserInformationItem userInformation;

private:
    static int setTitle(char* field, const char* title) {
        if (title == nullptr) return 0;
        uint32_t size = 0;
        while (size <= aeTitleSize && title[size] != '\0') ++size;
        if (size > aeTitleSize) return 0;
        for (uint32_t index = 0; index <= aeTitleSize; ++index) field[index] = index < size ? title[index] : '\0';
        return 1;
    }
    static void readTitle(WireReader& body, char* field) {
        body.bytes(reinterpret_cast<uint8_t*>(field), aeTitleSize);
        field[aeTitleSize] = '\0';
    }
};

class AssociateRequestPdu : public AssociatePdu<0x01, PresentationContextItem> {
public:
    using AssociatePdu::AssociatePdu;
};

class AssociateAcceptPdu : public AssociatePdu<0x02, PresentationContextResultItem> {
public:
    using AssociatePdu::AssociatePdu;
};

// The four PDUs of exactly 10 bytes: type, reserved, length 4, then four
// bytes whose meaning depends on the type.
class ShortPdu {
public:
    static constexpr uint32_t bodyLength = 4;

    virtual ~ShortPdu() = default;

    uint32_t encodedSize() {
        pduLength = bodyLength;
        return bodyLength + 6;
    }
    int write(ByteStream* stream);
    int read(ByteStream* stream);
    // 0 when the PDU length is not 4 (nothing after the length is read then)
    // or the stream fails.
    int readBody(ByteStream* stream);

    uint8_t pduType;
    uint8_t reserved = 0;
    uint32_t pduLength = bodyLength;

protected:
    explicit ShortPdu(uint8_t type) : pduType(type) {}
    virtual void packBody(uint8_t* body) const = 0;
    virtual void unpackBody(const uint8_t* body) = 0;
};

// A-ASSOCIATE-RJ (0x03): result, source, reason/diagnostic.
class AssociateRejectPdu : public ShortPdu {
public:
    static constexpr uint8_t type = 0x03;
    AssociateRejectPdu() : ShortPdu(type) {}
    AssociateRejectPdu(uint8_t result, uint8_t source, uint8_t reason)
        : ShortPdu(type), result(result), source(source), reason(reason) {}

    uint8_t reserved2 = 0;
    uint8_t result = 1;
    uint8_t source = 3;
    uint8_t reason = 1;

protected:
    void packBody(uint8_t* body) const override;
    void unpackBody(const uint8_t* body) override;
};

// A-RELEASE-RQ (0x05) and A-RELEASE-RP (0x06): four reserved bytes.
class ReleasePdu : public ShortPdu {
public:
    uint32_t reserved2 = 0;

protected:
    explicit ReleasePdu(uint8_t type) : ShortPdu(type) {}
    void packBody(uint8_t* body) const override;
    void unpackBody(const uint8_t* body) override;
};

class ReleaseRequestPdu : public ReleasePdu {
public:
    static constexpr uint8_t type = 0x05;
    ReleaseRequestPdu() : ReleasePdu(type) {}
};

class ReleaseResponsePdu : public ReleasePdu {
public:
    static constexpr uint8_t type = 0x06;
    ReleaseResponsePdu() : ReleasePdu(type) {}
};

// A-ABORT (0x07): two reserved bytes, source, reason/diagnostic. Every
// A-ABORT this system sends carries source 3 and reason 1.
class AbortPdu : public ShortPdu {
public:
    static constexpr uint8_t type = 0x07;
    AbortPdu() : ShortPdu(type) {}

    uint8_t reserved2 = 0;
    uint8_t reserved3 = 0;
    uint8_t source = 3;
    uint8_t reason = 1;

protected:
    void packBody(uint8_t* body) const override;
    void unpackBody(const uint8_t* body) override;
};

#endif
