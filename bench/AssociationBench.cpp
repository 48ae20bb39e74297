// Round trips of a small command set over one association on 127.0.0.1: a
// C-ECHO-RQ answered by a C-ECHO-RSP, both built by hand, 1,000 per
// iteration.
//
//   OurRequesterOurAcceptor  both ends ours, the acceptor on a second thread
//   OurRequesterStorescp     our requester against DCMTK's storescp
//   EchoscuOurAcceptor       DCMTK's echoscu against our acceptor (second thread)
//   EchoscuStorescp          DCMTK's echoscu against storescp, for reference
//
// Our requester is associated before the clock runs. echoscu sets up and
// releases an association of its own each time it runs, so an iteration
// times `echoscu --repeat 1001` and `echoscu --repeat 1` and counts the
// difference as 1,000 round trips. DCMTK's tools get TCP_NODELAY=1 in their
// environment (the toolkit sets it on every connection it makes). Reported
// in wall-clock time: us_per_round_trip and round_trips_per_second.
//
// Reproduce (repetitions interleaved at random, so the four alternate):
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DDICOMTOOLKIT_BUILD_TESTS=OFF
//   cmake --build build-release -j2 --target association_bench
//   build-release/bench/association_bench --benchmark_repetitions=5
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
//   (one command line)
// (./run bench runs it so, after the other benchmark programs.)
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/ChildProcess.h"
#include "../tests/support/DataSetText.h"
#include "../tests/support/Loopback.h"
#include "../tests/support/TemporaryFiles.h"
#include "network/AssociationService.h"

using datasets::textElement;
using datasets::u16Element;

namespace {

const char* const verificationUid = "1.2.840.10008.1.1";
constexpr int roundTripsPerIteration = 1000;
constexpr int peerSeconds = 60;
const std::vector<std::string> dcmtkEnvironment = {"TCP_NODELAY=1"};

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// One sum of time and round trips per benchmark run, reported as counters.
void report(benchmark::State& state, double seconds, int64_t roundTrips) {
    if (roundTrips == 0 || seconds <= 0) return;
    state.counters["us_per_round_trip"] = seconds * 1e6 / static_cast<double>(roundTrips);
    state.counters["round_trips_per_second"] = static_cast<double>(roundTrips) / seconds;
}

// A service whose every wait on the peer ends after peerSeconds.
class BoundedService : public AssociationService {
public:
    BoundedService() {
        requestTimeoutSeconds = peerSeconds;
        socket.setTimeout(peerSeconds);
    }
};

// Our acceptor on a thread of its own: serves a given number of
// associations on its listener, answering every command with a successful
// C-ECHO-RSP to it, until the peer releases each.
class EchoAcceptor {
public:
    EchoAcceptor() : listener_(peerSeconds) {}
    ~EchoAcceptor() { finish(); }

    bool listening() const { return listener_.handle != 0; }
    const std::string& port() const { return listener_.port; }

    void serve(int associations) {
        finish();
        failed_ = 0;
        thread_ = std::thread([this, associations] {
            BoundedService service;
            for (int index = 0; index < associations; ++index) {
                if (service.serveOnListener(listener_.handle) != listener_.handle) {
                    listener_.handle = 0;  // closed by the service
                    failed_ = 1;
                    return;
                }
                for (;;) {
                    CommandSet request;
                    if (service.readMessage(request) != 1) break;
                    const uint16_t id = request.findU16(0x0000, 0x0110);
                    request.clear();
                    CommandSet response;
                    response.addElement(textElement(0x0000, 0x0002, verificationUid));
                    response.addElement(u16Element(0x0000, 0x0100, 0x8030));
                    response.addElement(u16Element(0x0000, 0x0120, id));
                    response.addElement(u16Element(0x0000, 0x0800, 0x0101));
                    response.addElement(u16Element(0x0000, 0x0900, 0x0000));
                    if (service.sendCommand(response, UidValue(verificationUid)) != 1) {
                        failed_ = 1;
                        break;
                    }
                }
            }
        });
    }

    // Waits for the associations to end; true when all went well.
    bool finish() {
        if (thread_.joinable()) thread_.join();
        return failed_ == 0;
    }

private:
    LoopbackListener listener_;
    std::thread thread_;
    std::atomic<int> failed_{0};
};

// DCMTK's storescp, started on first use and killed when the program ends.
class Storescp {
public:
    static Storescp& instance() {
        static Storescp peer;
        return peer;
    }
    bool running() { return child_.running() && !port_.empty(); }
    const std::string& port() const { return port_; }

private:
    Storescp() {
        const std::string program = findProgram("storescp");
        if (program.empty()) return;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const std::string port = std::to_string(platform::freeLocalPort());
            if (!child_.start({program, "--aetitle", "STORESCP", "--output-directory", directory_.path(), port},
                              ChildOptions::loggingTo(directory_.file("storescp.log"), dcmtkEnvironment))) {
                return;
            }
            if (waitUntilAccepting(child_, port, peerSeconds)) {
                port_ = port;
                return;
            }
            child_.kill();
        }
    }

    TemporaryDirectory directory_;
    ChildProcess child_;
    std::string port_;
};

// count C-ECHO round trips on an established association; false when one
// failed or was not answered with success.
bool echoes(AssociationService& requester, int count, uint16_t& messageId) {
    for (int index = 0; index < count; ++index) {
        CommandSet request;
        request.addElement(textElement(0x0000, 0x0002, verificationUid));
        request.addElement(u16Element(0x0000, 0x0100, 0x0030));
        request.addElement(u16Element(0x0000, 0x0110, ++messageId));
        request.addElement(u16Element(0x0000, 0x0800, 0x0101));
        if (requester.sendCommand(request, UidValue(verificationUid)) != 1) return false;
        CommandSet response;
        if (requester.readMessage(response) != 1) return false;
        const bool answered = response.findU16(0x0000, 0x0120) == messageId &&
                              response.find(0x0000, 0x0900) != nullptr && response.findU16(0x0000, 0x0900) == 0;
        response.clear();
        if (!answered) return false;
    }
    return true;
}

// Our requester's round trips against a peer listening on port.
void requesterRoundTrips(benchmark::State& state, const std::string& port, const char* calledTitle) {
    BoundedService requester;
    requester.setCalledAeTitle(calledTitle);
    requester.proposeAbstractSyntax(UidValue(verificationUid));
    if (requester.requestAssociation("127.0.0.1", port.c_str()) != 1) {
        state.SkipWithError("no association");
        return;
    }
    uint16_t messageId = 0;
    double seconds = 0;
    int64_t roundTrips = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        if (!echoes(requester, roundTripsPerIteration, messageId)) {
            state.SkipWithError("a round trip failed");
            break;
        }
        const double elapsed = secondsSince(start);
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        roundTrips += roundTripsPerIteration;
    }
    requester.release();
    report(state, seconds, roundTrips);
}

// Runs echoscu --repeat repeat against port; its wall-clock time, or a
// negative number when it failed.
double timedEchoscu(const std::string& program, const std::string& port, const char* calledTitle, int repeat) {
    TemporaryDirectory directory;
    ChildProcess echoscu;
    const Clock::time_point start = Clock::now();
    if (!echoscu.start({program, "-aec", calledTitle, "--repeat", std::to_string(repeat), "127.0.0.1", port},
                       ChildOptions::loggingTo(directory.file("echoscu.log"), dcmtkEnvironment))) {
        return -1;
    }
    int status = -1;
    if (!echoscu.waitForExit(peerSeconds * 1000, status) || status != 0) return -1;
    return secondsSince(start);
}

// echoscu's round trips: --repeat 1001 less --repeat 1, per iteration.
// beforeEachRun is called before each echoscu run.
template <typename Prepare, typename Check>
void echoscuRoundTrips(benchmark::State& state, const std::string& port, const char* calledTitle,
                       Prepare beforeEachRun, Check afterEachRun) {
    const std::string program = findProgram("echoscu");
    if (program.empty()) {
        state.SkipWithError("echoscu is not installed");
        return;
    }
    double seconds = 0;
    int64_t roundTrips = 0;
    for (auto _ : state) {
        beforeEachRun();
        const double one = timedEchoscu(program, port, calledTitle, 1);
        const bool firstServed = afterEachRun();
        beforeEachRun();
        const double many = timedEchoscu(program, port, calledTitle, roundTripsPerIteration + 1);
        const bool secondServed = afterEachRun();
        if (one < 0 || many < 0 || !firstServed || !secondServed) {
            state.SkipWithError("echoscu failed");
            break;
        }
        const double elapsed = many > one ? many - one : 0;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        roundTrips += roundTripsPerIteration;
    }
    report(state, seconds, roundTrips);
}

void OurRequesterOurAcceptor(benchmark::State& state) {
    EchoAcceptor acceptor;
    if (!acceptor.listening()) {
        state.SkipWithError("no listening socket");
        return;
    }
    acceptor.serve(1);
    requesterRoundTrips(state, acceptor.port(), "DICOMTK");
    if (!acceptor.finish()) state.SkipWithError("the acceptor failed");
}

void OurRequesterStorescp(benchmark::State& state) {
    Storescp& storescp = Storescp::instance();
    if (!storescp.running()) {
        state.SkipWithError("storescp is not installed or did not start");
        return;
    }
    requesterRoundTrips(state, storescp.port(), "STORESCP");
}

void EchoscuOurAcceptor(benchmark::State& state) {
    EchoAcceptor acceptor;
    if (!acceptor.listening()) {
        state.SkipWithError("no listening socket");
        return;
    }
    echoscuRoundTrips(
        state, acceptor.port(), "DICOMTK", [&] { acceptor.serve(1); }, [&] { return acceptor.finish(); });
}

void EchoscuStorescp(benchmark::State& state) {
    Storescp& storescp = Storescp::instance();
    if (!storescp.running()) {
        state.SkipWithError("storescp is not installed or did not start");
        return;
    }
    echoscuRoundTrips(
        state, storescp.port(), "STORESCP", [] {}, [&] { return storescp.running(); });
}

}  // namespace

BENCHMARK(OurRequesterOurAcceptor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(OurRequesterStorescp)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(EchoscuOurAcceptor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(EchoscuStorescp)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_MAIN();
