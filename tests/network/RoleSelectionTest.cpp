// SCP/SCU role selection between two toolkit services on 127.0.0.1: what
// the requester proposes, what the acceptor's policy grants, and the roles
// both sides then read from the negotiated PDUs.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>

#include "../support/ScriptedPeer.h"
#include "AssociationFixtures.h"
#include "encoding/ByteOrder.h"
#include "platform/Sockets.h"

using namespace association;

namespace {

const char* const mrImageStorage = "1.2.840.10008.5.1.4.1.1.4";
const char* const studyRootGet = "1.2.840.10008.5.1.4.1.2.2.3";

// An acceptor that lets the requester take the SCP role for the listed SOP
// classes only, and records what it was asked.
class GrantingService : public AssociationService {
public:
    int acceptRequesterScpRole(const RoleSelectionItem& proposed) override {
        asked.insert(proposed.sopClassUid.text());
        return granted.count(proposed.sopClassUid.text()) != 0 ? 1 : 0;
    }
    std::set<std::string> granted;
    std::set<std::string> asked;
};

// Establishes an association from requester to acceptor on a free port.
bool associate(AssociationService& requester, AssociationService& acceptor) {
    const uint16_t port = platform::freeLocalPort();
    SocketStream listener;
    if (listener.listenOn(portText(port).c_str()) != 1) return false;
    const SocketHandle listening = listener.listenSocket;
    listener.listenSocket = 0;
    listener.listening = 0;
    acceptor.requestTimeoutSeconds = 10;
    SocketHandle served = 0;
    std::thread accepting([&] {
        if (platform::waitReadable(listening, 10) == 1) served = acceptor.serveOnListener(listening);
    });
    const int requested = requester.requestAssociation("127.0.0.1", portText(port).c_str());
    accepting.join();
    platform::closeSocket(listening);
    return requested == 1 && served == listening;
}

}  // namespace

TEST(RoleSelection, AcceptorGrantsTheScpRoleOnlyWhereItsPolicySaysAndBothSidesAgree) {
    AssociationService requester;
    GrantingService acceptor;
    acceptor.granted = {ctImageStorage};
    for (const char* uid : {studyRootGet, ctImageStorage, mrImageStorage, verification}) {
        requester.proposeAbstractSyntax(UidValue(uid));
    }
    ASSERT_EQ(requester.proposeRoleSelection(UidValue(ctImageStorage), 0, 1), 1);
    ASSERT_EQ(requester.proposeRoleSelection(UidValue(mrImageStorage), 1, 0), 1);
    // A second proposal for a SOP class replaces the first.
    ASSERT_EQ(requester.proposeRoleSelection(UidValue(mrImageStorage), 0, 1), 1);
    ASSERT_EQ(requester.proposedRoleSelections.count(), 2u);
    ASSERT_TRUE(associate(requester, acceptor));

    EXPECT_EQ(acceptor.asked, (std::set<std::string>{ctImageStorage, mrImageStorage}));
    // What went out in the A-ASSOCIATE-AC: one answer per proposal.
    ASSERT_EQ(acceptor.AssociateAcceptPdu::userInformation.roleSelections.count(), 2u);
    ASSERT_EQ(requester.AssociateAcceptPdu::userInformation.roleSelections.count(), 2u);
    struct Expected {
        const char* uid;
        int scu, scp;
    };
    const Expected expected[] = {
        {ctImageStorage, 0, 1},  // asked SCP only, granted
        {mrImageStorage, 0, 0},  // asked SCP only, refused: neither role
        {verification, 1, 0},    // no selection: the default roles
        {studyRootGet, 1, 0},
    };
    for (const Expected& row : expected) {
        SCOPED_TRACE(row.uid);
        for (AssociationService* side : {static_cast<AssociationService*>(&requester),
                                         static_cast<AssociationService*>(&acceptor)}) {
            EXPECT_EQ(side->requesterIsScuFor(UidValue(row.uid)), row.scu);
            EXPECT_EQ(side->requesterIsScpFor(UidValue(row.uid)), row.scp);
        }
    }
    requester.release();
}

TEST(RoleSelection, DefaultAcceptorGrantsNoScpRoleAndKeepsTheScuRoleAsProposed) {
    AssociationService requester;
    AssociationService acceptor;
    requester.proposeAbstractSyntax(UidValue(ctImageStorage));
    requester.proposeRoleSelection(UidValue(ctImageStorage), 1, 1);
    ASSERT_TRUE(associate(requester, acceptor));
    ASSERT_EQ(requester.AssociateAcceptPdu::userInformation.roleSelections.count(), 1u);
    const RoleSelectionItem& answer = requester.AssociateAcceptPdu::userInformation.roleSelections.at(0)->element;
    EXPECT_EQ(answer.sopClassUid, UidValue(ctImageStorage));
    EXPECT_EQ(answer.scuRole, 1);
    EXPECT_EQ(answer.scpRole, 0);
    EXPECT_EQ(requester.requesterIsScuFor(UidValue(ctImageStorage)), 1);
    EXPECT_EQ(requester.requesterIsScpFor(UidValue(ctImageStorage)), 0);
    requester.release();
}

// An acceptor that answers no role selection leaves the default roles.
TEST(RoleSelection, AnAnswerWithoutRoleSelectionsLeavesTheDefaultRoles) {
    AssociationService requester;
    requester.proposeAbstractSyntax(UidValue(ctImageStorage));
    requester.proposeRoleSelection(UidValue(ctImageStorage), 0, 1);
    const uint16_t port = platform::freeLocalPort();
    ScriptedPeer peer(ScriptedPeer::Role::accept, port, acceptBytes({{1, ContextAccepted, implicitLittle}}), 1);
    idCounter = 1;
    ASSERT_EQ(requester.requestAssociation("127.0.0.1", portText(port).c_str()), 1);
    EXPECT_EQ(requester.requesterIsScuFor(UidValue(ctImageStorage)), 1);
    EXPECT_EQ(requester.requesterIsScpFor(UidValue(ctImageStorage)), 0);
    requester.socket.closeAll();
    peer.finish();
    // The request carried the selection between the class UID and the version name.
    const auto pdus = splitPdus(peer.received);
    ASSERT_GE(pdus.size(), 1u);
    const Bytes& request = pdus[0].bytes;
    const Bytes role = {0x54, 0x00, 0x00, 0x1D, 0x00, 0x19, '1', '.', '2', '.', '8', '4', '0', '.', '1',
                        '0',  '0',  '0',  '8',  '.',  '5',  '.', '1', '.', '4', '.', '1', '.', '1', '.',
                        '2',  0x00, 0x01};
    EXPECT_NE(std::search(request.begin(), request.end(), role.begin(), role.end()), request.end());
}
