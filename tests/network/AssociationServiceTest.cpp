#include <gtest/gtest.h>

#include <thread>

#include "network/AssociationService.h"

TEST(AssociationService, IsABigEndianStreamFromConstruction) {
    AssociationService service;
    EXPECT_EQ(service.readOrder, 2);
    EXPECT_EQ(service.writeOrder, 2);
    EXPECT_EQ(service.blockSize, 32600u);
    service.writeU16(0x0102);
    ASSERT_EQ(service.outputChunks.count(), 1u);
    const StreamChunk* chunk = service.outputChunks.at(0)->element;
    ASSERT_EQ(chunk->position, 2u);
    EXPECT_EQ(chunk->data[0], 0x01);
    EXPECT_EQ(chunk->data[1], 0x02);
    EXPECT_EQ(service.socket.connected, 0);
}

TEST(AssociationService, CountsSocketUsersAcrossServices) {
    const uint16_t before = winsockUsers;
    {
        AssociationService first;
        EXPECT_EQ(winsockUsers, before + 1);
        {
            AssociationService second;
            EXPECT_EQ(winsockUsers, before + 2);
        }
        EXPECT_EQ(winsockUsers, before + 1);
    }
    EXPECT_EQ(winsockUsers, before);
}

TEST(AssociationService, ReadingFromAnUnconnectedServiceFails) {
    AssociationService service;
    uint8_t bytes[4];
    EXPECT_EQ(service.readBytes(bytes, 4), 0);  // ends at once rather than asking forever
}

// Services made and destroyed on two threads at once leave the count of
// socket users exactly as it was.
TEST(AssociationService, ServicesOnSeveralThreadsCountSocketUsersExactly) {
    const uint16_t before = winsockUsers;
    auto churn = [] {
        for (int round = 0; round < 2000; ++round) {
            AssociationService service;
            SocketStream extra;
        }
    };
    std::thread other(churn);
    churn();
    other.join();
    EXPECT_EQ(winsockUsers, before);
}
