// Opens COUNT associations with a peer one after the other, each with one
// C-ECHO, and releases each: the load under which a server's memory must
// stay where it was.
//
//   echo_associations HOST PORT COUNT
//
// Prints the count and the seconds; exit status 0 only when every echo was
// answered with success.

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "dimse/VerificationSopClass.h"
#include "network/AssociationService.h"

int main(int argc, char** argv) {
    const long count = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 0;
    if (count < 1) {
        std::fprintf(stderr, "usage: echo_associations HOST PORT COUNT\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    VerificationSopClass verification;
    for (long index = 0; index < count; ++index) {
        AssociationService service;
        service.setCallingAeTitle("ECHOBENCH");
        service.setCalledAeTitle("ANY-SCP");
        service.proposeAbstractSyntax(UidValue(VerificationSopClass::uid));
        uint16_t status = 0xFFFF;
        if (!service.requestAssociation(argv[1], argv[2]) || !verification.echo(&service, status) ||
            status != StatusSuccess) {
            std::fprintf(stderr, "echo_associations: association %ld failed\n", index + 1);
            return 1;
        }
        service.release();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld associations, %.3f s\n", count, seconds);
    return 0;
}
