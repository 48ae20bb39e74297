#ifndef DICOMTOOLKIT_NETWORK_ASSOCIATIONSERVICE_H
#define DICOMTOOLKIT_NETWORK_ASSOCIATIONSERVICE_H

#include <cstdint>

#include "../model/DataSet.h"
#include "../model/IndexedList.h"
#include "../stream/ByteStream.h"
#include "../stream/SocketStream.h"
#include "AssociationPdus.h"
#include "PDataPdu.h"
#include "PresentationContextItems.h"
#include "UidItems.h"
#include "UidValue.h"
#include "UserInformationItem.h"

// Modes of saveFile.
enum : int {
    FileDataSetOnly = 1,         // the data set alone, implicit VR little endian
    FileWithHeaderImplicit = 2,  // preamble, "DICM", meta group and data set, all implicit VR little endian
    FileWithHeaderExplicit = 3,  // preamble, "DICM", meta group in explicit VR little endian, then (0002,0010)'s syntax
};

// One end of one DICOM association over TCP, and the service through which
// the toolkit does all its DICOM work above the byte level. It is the
// big-endian byte stream on which every PDU is encoded, its raw input and
// output are the connection of its socket end point, and it holds one of each
// PDU, reused for every association it serves. It carries the
// transfer-syntax codecs and the file operations too, so that a program that
// only reads and writes data sets also constructs one; those work on a
// service that never connects.
//
// Policy sits in virtual hooks with permissive defaults: which AE titles,
// application contexts, abstract and transfer syntaxes are acceptable, which
// transfer syntaxes are proposed, the implementation names, and how messages
// are encoded and decoded. A derived service replaces the ones it needs.
//
// As requester: proposeAbstractSyntax, setCallingAeTitle, setCalledAeTitle
// (and setApplicationContext), then requestAssociation. As acceptor:
// acceptAssociation, serveAssociations, serveOnListener or serveConnection.
// Once established: readMessage, sendCommand, sendDataSet, then release (or
// the peer's release, answered inside readMessage).
class AssociationService : public ByteStream,
                           public AssociateRequestPdu,
                           public AssociateAcceptPdu,
                           public AssociateRejectPdu,
                           public ReleaseRequestPdu,
                           public ReleaseResponsePdu,
                           public AbortPdu,
                           public PDataPdu {
public:
    // The maximum PDU length this side announces, and so the longest
    // P-DATA-TF it takes.
    static constexpr uint32_t announcedMaximumLength = 16384;

    AssociationService();
    // Releases an association that is still established.
    ~AssociationService() override;

    // The service's own stream reads from and writes to its socket.
    int rawRead(uint8_t* buffer, uint32_t maximum) override;
    int rawWrite(const uint8_t* buffer, uint32_t count) override;

    // Acceptance hooks, consulted while negotiating as acceptor.
    // Default: exactly implicit VR little endian "1.2.840.10008.1.2" (compared
    // as a zero-terminated text, so a value with one trailing zero byte
    // inside its length matches too).
    virtual int acceptTransferSyntax(const TransferSyntaxItem& proposed);
    // The request's 16-byte title fields (zero-terminated here); default true.
    virtual int acceptCallingAeTitle(const char* callingAeTitle);
    virtual int acceptCalledAeTitle(const char* calledAeTitle);
    virtual int acceptApplicationContext(const ApplicationContextItem& proposed);
    // A hook for a policy on the peer's address and its request as a whole;
    // the toolkit does not consult it. Default true.
    virtual int acceptPeer(const SocketAddress& peer, const AssociateRequestPdu& request);
    virtual int acceptAbstractSyntax(const AbstractSyntaxItem& proposed);
    // Whether the requester may take the SCP role it proposes in a role
    // selection, that is whether this side will send it requests of that
    // SOP class (the C-STORE sub-operations of a C-GET). Consulted only for
    // a proposal with SCP role 1. Default 0: this side sends no requests.
    // The SCU role is granted as proposed.
    virtual int acceptRequesterScpRole(const RoleSelectionItem& proposed);
    // Proposal hooks, consulted while requesting. Default: implicit VR
    // little endian only.
    virtual int proposeTransferSyntaxes(PresentationContextItem& proposed);
    // Default "TEVAR/gcc2.5.8/DECMIPS/ZRN" and "0.1B/WIN32".
    virtual int fillImplementationClassUid(ImplementationClassUidItem& item);
    virtual int fillImplementationVersionName(ImplementationVersionNameItem& item);

    // Message hooks. decodeMessage decodes a completed message that came on
    // contextId: a command set always in implicit VR little endian, a data
    // set with the codec of the context's transfer syntax; 0 when the context
    // was not accepted or its transfer syntax has no codec. The encode hooks
    // encode set into buffer and return the ID of the context to send it on,
    // or 0: encodeForAbstractSyntax on an accepted context proposed for
    // abstractSyntax, encodeOnFirstContext on the first accepted context
    // usable at all; the transfer syntax is the first row of
    // transferSyntaxTable that such a context carries. When the command bit
    // of controlFlags is set, the set is a command and is encoded in implicit
    // VR little endian on that same context.
    virtual int decodeMessage(uint8_t contextId, PdvBuffer& buffer, DataSet& set);
    virtual int encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax);
    virtual int encodeOnFirstContext(DataSet& set, PdvBuffer& buffer);

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

    // What the request proposes. proposeAbstractSyntax adds an abstract
    // syntax unless an equal one is registered; the title setters return 0
    // for a title longer than 16 characters, which leaves the title as it was.
    virtual int proposeAbstractSyntax(const UidValue& abstractSyntax);
    // Registers one more context for abstractSyntax even when one is
    // registered already, so that proposeTransferSyntaxes can offer each
    // of them other transfer syntaxes (an acceptor picks one per context).
    int proposeAnotherContext(const UidValue& abstractSyntax);
    // Adds to the request a role selection for sopClass: the roles this
    // side asks to take, each 1 or 0 (a C-GET user asks for SCU 0, SCP 1
    // for each storage SOP class it can receive; the SOP class still needs a
    // context of its own, proposeAbstractSyntax). One per SOP class: a
    // second call replaces the roles. 1, or 0 when the list could not grow.
    int proposeRoleSelection(const UidValue& sopClass, uint8_t scuRole, uint8_t scpRole);
    virtual int setApplicationContext(const UidValue& name);
    virtual int setCallingAeTitle(const char* title);
    virtual int setCalledAeTitle(const char* title);
    // Whether the message hooks encode and decode transferSyntax: a row of
    // transferSyntaxTable here; a service with more codecs says so.
    virtual int encodesTransferSyntax(const UidValue& transferSyntax);

    // DICOM files. saveFile writes set (draining it) in one of the three
    // modes and returns 1 only when every byte reached the file and the file
    // was closed cleanly. loadFile returns a new set owned by the caller, or
    // null when the file cannot be opened; decodeResult, when given, receives
    // the decoder's result (0 when the file could not be decoded to its end).
    int saveFile(const char* path, int mode, DataSet* set);
    ObjectDataSet* loadFile(const char* path);
    ObjectDataSet* loadFile(const char* path, int* decodeResult);

    // Requester: proposes one context per registered abstract syntax,
    // connects and negotiates. 1 established, 0 not (nothing is connected
    // when no abstract syntax is registered).
    int requestAssociation(const char* hostText, const char* portText);
    // Acceptor: listens on portText, accepts one connection and negotiates.
    // 1 established (the listening socket stays open until the association
    // is closed), 0 not.
    int acceptAssociation(const char* portText);
    // Listens on portText and serves it until one association is
    // established; returns the listening socket for the next association,
    // or -1 when listening fails (0 when accepting failed).
    SocketHandle serveAssociations(const char* portText);
    // Accepts connections on listening until one negotiation succeeds; a
    // failed one closes only its own connection. Returns listening, taken
    // out of the socket end point again, or 0 when accepting failed (the
    // listening socket is then closed).
    SocketHandle serveOnListener(SocketHandle listening);
    // Negotiates on a connection accepted elsewhere: 1 established, 0 not
    // (the connection is then closed).
    int serveConnection(SocketHandle connection);
    // Sends A-RELEASE-RQ on an established association and waits for the
    // answer; closes the connection in every case. Returns 1.
    int release();
    // Sends A-ABORT (when connected) and closes the connection. Returns 1.
    int abort();

    // Receives PDUs until one message (a command set or a data set) is
    // complete and decodes it into set: 1, or 0 when not established, on
    // the peer's release (answered, the connection left to the peer to
    // close), its abort, a protocol error or a message that cannot be
    // decoded (both answered with A-ABORT), or a broken connection.
    int readMessage(DataSet& set);
    // Encode set and send it on a context of abstractSyntax (or the first
    // usable accepted context), as a command or a data set. 1 sent; 0 when
    // no context or codec fits, the encoder fails (nothing is sent then) or
    // the connection broke while sending.
    int sendCommand(DataSet& set, const UidValue& abstractSyntax);
    int sendDataSet(DataSet& set, const UidValue& abstractSyntax);
    int sendCommand(DataSet& set);
    int sendDataSet(DataSet& set);

    // Lookups on the negotiated state, by UID equality. The ID of the first
    // context of the request proposed for abstractSyntax (acceptance not
    // consulted), or 0.
    uint8_t presentationContextFor(const UidValue& abstractSyntax);
    // The ID of the first accepted context with transferSyntax, or 0.
    uint8_t contextForTransferSyntax(const UidValue& transferSyntax);
    // The ID of the first accepted context that was proposed for
    // abstractSyntax and carries transferSyntax, or 0.
    uint8_t contextForSyntaxes(const UidValue& abstractSyntax, const UidValue& transferSyntax);
    // The ID of the first accepted context proposed for abstractSyntax
    // whose transfer syntax this service encodes (encodesTransferSyntax), or
    // 0: whether messages of that abstract syntax can be sent at all.
    uint8_t acceptedContextFor(const UidValue& abstractSyntax);
    // 1 and the transfer syntax of the accepted context contextId, or 0.
    int transferSyntaxOfContext(uint8_t contextId, UidValue& transferSyntax);
    // The abstract syntax the request proposed for contextId: 1, or 0.
    int abstractSyntaxOfContext(uint8_t contextId, UidValue& abstractSyntax);

    // The roles negotiated for sopClass, on either side, from the request's
    // role selections and the answer's: without a selection proposed and
    // answered, the requester is SCU and not SCP; with one, it takes each
    // role that both proposal and answer name.
    int requesterIsScuFor(const UidValue& sopClass);
    int requesterIsScpFor(const UidValue& sopClass);

    // 1 when a message has begun to arrive (or the connection has failed, so
    // that readMessage reports it) without waiting for the peer: a provider
    // looks for a C-CANCEL between its responses this way. 0 when nothing
    // is there or the association is not established.
    int messageWaiting();

    // Connected with at least one accepted context, and not yet released.
    int isEstablished() const { return established != 0 && socket.connected != 0; }

    IndexedValueList<AbstractSyntaxItem> proposedAbstractSyntaxes;
    IndexedValueList<PresentationContextResultItem> acceptedContexts;
    // What proposeRoleSelection registered, sent with every request.
    IndexedValueList<RoleSelectionItem> proposedRoleSelections;
    // Content bytes of the defined-length item being decoded not yet
    // accounted for; 0 means no bound. Top-level reads start it at 0.
    int32_t itemBytesLeft = 0;
    SocketStream socket;
    // How long the acceptor waits for the A-ASSOCIATE-RQ on a new
    // connection, and either side for the answer to its A-ASSOCIATE-RQ or
    // A-RELEASE-RQ, in seconds; messages wait for socket.timeoutSeconds.
    int32_t requestTimeoutSeconds = 30;
    // 1 from a successful negotiation until the association ends.
    int32_t established = 0;
    // Set when the connection failed under a read; cleared by each new
    // connection.
    int32_t transportFailed = 0;
    // Why the last negotiation as acceptor established no association (for
    // a log to say): the peer stayed silent for requestTimeoutSeconds, closed
    // the connection, sent something other than a readable A-ASSOCIATE-RQ,
    // was rejected for one of its AE titles or its application context, or
    // had none of its presentation contexts accepted.
    enum class Refusal { none, silent, closed, malformed, callingAeTitle, calledAeTitle, applicationContext, noContext };
    Refusal refusal = Refusal::none;
    // How the last readMessage that returned 0 ended the association: the
    // peer's release, its A-ABORT, a broken protocol (answered with
    // A-ABORT), a message that could not be decoded (the same) or a broken
    // connection.
    enum class ReadEnding { none, released, abortedByPeer, protocolError, undecodable, connectionLost };
    ReadEnding readEnding = ReadEnding::none;
    // Why the last requestAssociation established no association: no
    // connection (connectError holds the system's code), no answer within
    // requestTimeoutSeconds, the connection closed before an answer, an
    // A-ASSOCIATE-RJ (its result, source and reason are in the
    // AssociateRejectPdu fields), an A-ABORT, an answer that cannot be read,
    // or an A-ASSOCIATE-AC accepting none of the proposed contexts.
    enum class RequestFailure { none, cannotConnect, noAnswer, closed, rejected, aborted, malformedAnswer, noContext };
    RequestFailure requestFailure = RequestFailure::none;
    int32_t connectError = 0;

private:
    // Set while messageWaiting looks for input: a socket with nothing to
    // read then fails the read instead of being asked again.
    int32_t pollingInput = 0;

    int readRequest();
    int negotiate();
    int serveAccepted();
    void startConnection();
    void closeConnection();
    void abortAssociation();
    int sendMessage(DataSet& set, const UidValue* abstractSyntax, uint8_t command);
    int decodeWithCode(int32_t code, ByteStream* stream, DataSet* set);
    int encodeWithCode(int32_t code, DataSet* set, ByteStream* stream);
};

#endif
