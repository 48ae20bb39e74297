// Builders under memory exhaustion: while a message is built, the nth
// allocation made with new (std::nothrow) on the test's thread fails, for
// every n until the building makes no more. A builder that returns 1 must
// have sent exactly the message it sends when memory is plentiful; anything
// else must return 0. The sanitizer build adds that nothing leaks on the way
// out.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "DimseFixtures.h"
#include "dimse/StorageSopClass.h"
#include "dimse/VerificationSopClass.h"

namespace {

// 0: no failure planned; n: the nth nothrow allocation from now fails.
thread_local long allocationsBeforeFailure = 0;
thread_local bool allocationFailed = false;

bool failThisAllocation() {
    if (allocationsBeforeFailure == 0 || --allocationsBeforeFailure != 0) return false;
    allocationFailed = true;
    return true;
}

void* allocate(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

}  // namespace

// Every form is replaced, so that whatever allocates also frees in kind.
void* operator new(std::size_t size) {
    void* memory = allocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
void* operator new[](std::size_t size) {
    void* memory = allocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return failThisAllocation() ? nullptr : allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return failThisAllocation() ? nullptr : allocate(size);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

using namespace dimse;
using association::ctImageStorage;
using association::implicitLittle;
using association::verification;

namespace {

// What a call works on, built while memory is plentiful.
struct Inputs {
    std::unique_ptr<CommandSet> request;
    std::unique_ptr<ObjectDataSet> data;
};

Inputs inputsFor(const char* sopClass, uint16_t commandField) {
    Inputs inputs{std::make_unique<CommandSet>(), std::make_unique<ObjectDataSet>()};
    inputs.request->addElement(datasets::textElement(0x0000, 0x0002, sopClass));
    inputs.request->addElement(datasets::u16Element(0x0000, 0x0100, commandField));
    inputs.request->addElement(datasets::u16Element(0x0000, 0x0110, 7));
    inputs.request->addElement(datasets::u16Element(0x0000, 0x0700, 0));
    inputs.request->addElement(datasets::u16Element(0x0000, 0x0800, commandField == 0x0030 ? 0x0101 : 0x0102));
    inputs.request->addElement(datasets::textElement(0x0000, 0x0200, "INITIATOR"));
    inputs.request->addElement(datasets::textElement(0x0000, 0x1000, "1.2.3.4.5"));
    inputs.data->addElement(datasets::textElement(0x0008, 0x0018, "1.2.3.4.5"));
    inputs.data->addElement(datasets::textElement(0x0010, 0x0010, "DOE^JOHN"));
    return inputs;
}

VerificationSopClass verificationClass;
CtImageStorage ctStorage;
PatientRootFind patientFind;
PatientRootMove patientMove;

struct Builder {
    const char* name;
    const char* sopClass;
    uint16_t requestField;
    std::function<int(AssociationService*, Inputs&)> send;
};

const Builder builders[] = {
    {"C-ECHO-RQ", verification, 0x0030, [](AssociationService* a, Inputs&) { return verificationClass.sendRequest(a); }},
    {"C-STORE-RQ", ctImageStorage, 0x0001,
     [](AssociationService* a, Inputs& in) { return ctStorage.sendRequest(a, in.data.get()); }},
    {"C-FIND-RQ", patientRootFind, 0x0020,
     [](AssociationService* a, Inputs& in) { return patientFind.sendRequest(a, in.data.get()); }},
    {"C-MOVE-RQ", patientRootMove, 0x0021,
     [](AssociationService* a, Inputs& in) { return patientMove.sendRequest(a, in.data.get(), "STORE"); }},
    {"C-ECHO-RSP", verification, 0x0030,
     [](AssociationService* a, Inputs& in) { return verificationClass.sendResponse(a, in.request.get()); }},
    {"C-STORE-RSP", ctImageStorage, 0x0001,
     [](AssociationService* a, Inputs& in) { return ctStorage.sendResponse(a, in.request.get(), 0xB000); }},
    {"C-FIND-RSP", patientRootFind, 0x0020,
     [](AssociationService* a, Inputs& in) { return patientFind.sendResponse(a, in.request.get(), in.data.get()); }},
    {"C-MOVE-RSP", patientRootMove, 0x0021,
     [](AssociationService* a, Inputs& in) {
         return patientMove.sendResponse(a, in.request.get(), 0xFF00, 1, 2, 3, 4, in.data.get());
     }},
};

const std::vector<association::Proposed> everyService = {{1, verification, {implicitLittle}},
                                                          {3, ctImageStorage, {implicitLittle}},
                                                          {5, patientRootFind, {implicitLittle}},
                                                          {7, patientRootMove, {implicitLittle}}};

// Memory runs out only while the message is built: once the association
// encodes it, allocations succeed again, since what is under test here is
// the builders, not the encoders and the PDV layer beneath them.
class BuildOnlyService : public AssociationService {
public:
    int encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax) override {
        allocationsBeforeFailure = 0;
        return AssociationService::encodeForAbstractSyntax(set, buffer, abstractSyntax);
    }
};

struct Outcome {
    int result;
    bool failed;  // the planned allocation failure happened
    Bytes sent;
};

// One call on an association of its own, with the failure planned at
// allocation n (0: none).
Outcome callFailing(const Builder& builder, long n) {
    BuildOnlyService service;
    AcceptedPeer peer(service, everyService, {});
    if (peer.accepted != 1) return {-1, false, {}};
    Inputs inputs = inputsFor(builder.sopClass, builder.requestField);
    idCounter = 1;
    allocationFailed = false;
    allocationsBeforeFailure = n;
    const int result = builder.send(&service, inputs);
    allocationsBeforeFailure = 0;
    return {result, allocationFailed, peer.hangUp()};
}

}  // namespace

TEST(AllocationFailure, ABuilderThatRunsOutOfMemoryReturnsZeroOrSentTheWholeMessage) {
    for (const Builder& builder : builders) {
        SCOPED_TRACE(builder.name);
        const Outcome plentiful = callFailing(builder, 0);
        ASSERT_EQ(plentiful.result, 1);
        ASSERT_FALSE(plentiful.sent.empty());
        long n = 1;
        for (; n < 10000; ++n) {
            const Outcome outcome = callFailing(builder, n);
            ASSERT_NE(outcome.result, -1);
            if (!outcome.failed) {
                // The call made fewer than n allocations: done.
                EXPECT_EQ(outcome.result, 1);
                EXPECT_EQ(outcome.sent, plentiful.sent);
                break;
            }
            if (outcome.result != 0) {
                EXPECT_EQ(outcome.sent, plentiful.sent) << "allocation " << n << " failed, yet the call reported success";
            }
        }
        EXPECT_GT(n, 1);
    }
}
