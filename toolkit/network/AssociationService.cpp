#include "AssociationService.h"

AssociationService::AssociationService() {
    setReadOrder(bigEndian);
    setWriteOrder(bigEndian);
}

AssociationService::~AssociationService() = default;

int AssociationService::rawRead(uint8_t* buffer, uint32_t maximum) { return socket.receiveBytes(buffer, maximum); }

int AssociationService::rawWrite(const uint8_t* buffer, uint32_t count) { return socket.sendBytes(buffer, count); }
