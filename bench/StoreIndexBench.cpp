// The store index of dicomtk serve over 10,000 instances (100 patients x 2
// studies x 5 series x 10 images, indexed one by one with add as serve
// does): C-FIND at STUDY level with a patient-name wildcard, a date range and
// a Study Instance UID, the instances of a single-instance and a one-study
// C-MOVE, and the rebuild of the index by scanning 10,000 files.
//
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DDICOMTOOLKIT_BUILD_TESTS=OFF
//   cmake --build build-release -j2 --target store_index_bench
//   build-release/bench/store_index_bench
//
// (./run bench runs it too.) The store lives in a scratch folder under the
// system's temporary directory, removed at the end.

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "StoreIndex.h"
#include "network/AssociationService.h"

namespace {

constexpr int patientCount = 100;
constexpr int studiesPerPatient = 2;
constexpr int seriesPerStudy = 5;
constexpr int imagesPerSeries = 10;

const std::string root = "1.2.826.0.1.3680043.10.5433";

std::string studyUid(int patient, int study) { return root + "." + std::to_string(patient) + "." + std::to_string(study); }
std::string seriesUid(int patient, int study, int series) { return studyUid(patient, study) + "." + std::to_string(series); }
std::string imageUid(int patient, int study, int series, int image) {
    return seriesUid(patient, study, series) + "." + std::to_string(image);
}

std::string patientNameOf(int patient) {
    char name[32];
    std::snprintf(name, sizeof name, "PATIENT^P%04d", patient);
    return name;
}

// Study dates spread over 2023 and 2024, one study every few days.
std::string studyDateOf(int patient, int study) {
    const int day = ((patient * studiesPerPatient + study) * 37) % 720;
    char date[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d", 2023 + day / 360, 1 + (day % 360) / 30, 1 + day % 30);
    return date;
}

DataElement* textElement(uint16_t group, uint16_t element, const std::string& text, uint16_t vr) {
    std::string bytes = text;
    if (bytes.size() % 2 != 0) bytes += vr == vrCode('U', 'I') ? '\0' : ' ';
    auto* made = new DataElement(group, element, static_cast<uint32_t>(bytes.size()), 1);
    std::memcpy(made->value, bytes.data(), bytes.size());
    made->vr = vr;
    return made;
}

std::unique_ptr<DataSet> makeInstance(int patient, int study, int series, int image) {
    auto set = std::make_unique<DataSet>();
    const char* modalities[] = {"CT", "MR", "US", "CR", "SR"};
    set->addElement(textElement(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2", vrCode('U', 'I')));
    set->addElement(textElement(0x0008, 0x0018, imageUid(patient, study, series, image), vrCode('U', 'I')));
    set->addElement(textElement(0x0008, 0x0020, studyDateOf(patient, study), vrCode('D', 'A')));
    set->addElement(textElement(0x0008, 0x0030, "101500", vrCode('T', 'M')));
    set->addElement(textElement(0x0008, 0x0050, "A" + std::to_string(patient * 10 + study), vrCode('S', 'H')));
    set->addElement(textElement(0x0008, 0x0060, modalities[(series - 1) % 5], vrCode('C', 'S')));
    set->addElement(textElement(0x0008, 0x1030, "STUDY " + std::to_string(study), vrCode('L', 'O')));
    set->addElement(textElement(0x0010, 0x0010, patientNameOf(patient), vrCode('P', 'N')));
    set->addElement(textElement(0x0010, 0x0020, "ID" + std::to_string(patient), vrCode('L', 'O')));
    set->addElement(textElement(0x0010, 0x0030, "19700101", vrCode('D', 'A')));
    set->addElement(textElement(0x0010, 0x0040, patient % 2 == 0 ? "F" : "M", vrCode('C', 'S')));
    set->addElement(textElement(0x0020, 0x000D, studyUid(patient, study), vrCode('U', 'I')));
    set->addElement(textElement(0x0020, 0x000E, seriesUid(patient, study, series), vrCode('U', 'I')));
    set->addElement(textElement(0x0020, 0x0010, std::to_string(study), vrCode('S', 'H')));
    set->addElement(textElement(0x0020, 0x0011, std::to_string(series), vrCode('I', 'S')));
    set->addElement(textElement(0x0020, 0x0013, std::to_string(image), vrCode('I', 'S')));
    return set;
}

template <typename Visit>
void forEachInstance(Visit visit) {
    for (int patient = 1; patient <= patientCount; ++patient) {
        for (int study = 1; study <= studiesPerPatient; ++study) {
            for (int series = 1; series <= seriesPerStudy; ++series) {
                for (int image = 1; image <= imagesPerSeries; ++image) visit(patient, study, series, image);
            }
        }
    }
}

std::string scratchFolder() {
    std::random_device seed;
    const auto folder = std::filesystem::temp_directory_path() / ("dicomtoolkit-bench-" + std::to_string(seed()));
    std::filesystem::create_directory(folder);
    return folder.string();
}

// The store: its folder holds the 10,000 files, indexed with add once.
struct Store {
    Store() : folder(scratchFolder()) {
        if (index.open(folder, false) != 1) std::fprintf(stderr, "cannot open the index: %s\n", index.problem.c_str());
        AssociationService service;
        double addSeconds = 0, addProcessorSeconds = 0;
        forEachInstance([&](int patient, int study, int series, int image) {
            const std::string name = imageUid(patient, study, series, image) + ".dcm";
            std::unique_ptr<DataSet> written = makeInstance(patient, study, series, image);
            service.saveFile((folder + "/" + name).c_str(), FileWithHeaderExplicit, written.get());
            std::unique_ptr<DataSet> set = makeInstance(patient, study, series, image);
            const auto start = std::chrono::steady_clock::now();
            const std::clock_t processorStart = std::clock();
            if (index.add(set.get(), name) != 1) std::fprintf(stderr, "add failed: %s\n", index.problem.c_str());
            addProcessorSeconds += static_cast<double>(std::clock() - processorStart) / CLOCKS_PER_SEC;
            addSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
        std::printf("indexed %ld instances with add: %.1f us per add (%.1f us of processor time)\n", index.count(),
                    addSeconds * 1e6 / index.count(), addProcessorSeconds * 1e6 / index.count());
    }
    ~Store() {
        opened.reset();  // the database closes before its folder goes
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }

    std::string folder;
    std::unique_ptr<StoreIndex> opened = std::make_unique<StoreIndex>();
    StoreIndex& index = *opened;
};

Store& store() {
    static Store made;
    return made;
}

std::unique_ptr<DataSet> studyQuery(uint16_t group, uint16_t element, const std::string& value, uint16_t vr) {
    auto set = std::make_unique<DataSet>();
    set->addElement(textElement(0x0008, 0x0052, "STUDY", vrCode('C', 'S')));
    // The return keys a viewer asks for.
    set->addElement(textElement(0x0008, 0x0020, "", vrCode('D', 'A')));
    set->addElement(textElement(0x0008, 0x0050, "", vrCode('S', 'H')));
    set->addElement(textElement(0x0008, 0x0061, "", vrCode('C', 'S')));
    set->addElement(textElement(0x0008, 0x1030, "", vrCode('L', 'O')));
    set->addElement(textElement(0x0010, 0x0010, "", vrCode('P', 'N')));
    set->addElement(textElement(0x0010, 0x0020, "", vrCode('L', 'O')));
    set->addElement(textElement(0x0020, 0x1208, "", vrCode('I', 'S')));
    DataElement* key = textElement(group, element, value, vr);
    if (set->find(group, element) != nullptr) {
        set->find(group, element)->takeValue(key);
        delete key;
    } else {
        set->addElement(key);
    }
    return set;
}

void runFind(benchmark::State& state, StoreIndex::Model model, DataSet* query, size_t expected) {
    StoreIndex& index = store().index;
    size_t matches = 0;
    for (auto _ : state) {
        IndexedList<DataSet*> results;
        if (index.find(model, query, results) != 1) state.SkipWithError(index.problem.c_str());
        matches = results.count();
        while (results.count() != 0) {
            delete results.at(0)->element;
            results.removeAt(0);
        }
    }
    state.counters["matches"] = static_cast<double>(matches);
    if (matches != expected) state.SkipWithError("unexpected number of matches");
}

void FindStudiesByPatientNameWildcard(benchmark::State& state) {
    std::unique_ptr<DataSet> query = studyQuery(0x0010, 0x0010, "patient^p001*", vrCode('P', 'N'));
    runFind(state, StoreIndex::Model::studyRoot, query.get(), 10 * studiesPerPatient);
}

void FindStudiesByNameEnding(benchmark::State& state) {
    std::unique_ptr<DataSet> query = studyQuery(0x0010, 0x0010, "*P0042", vrCode('P', 'N'));
    runFind(state, StoreIndex::Model::studyRoot, query.get(), studiesPerPatient);
}

void FindStudiesByDateRange(benchmark::State& state) {
    // Counted once, by the same rule as the generator.
    size_t expected = 0;
    for (int patient = 1; patient <= patientCount; ++patient) {
        for (int study = 1; study <= studiesPerPatient; ++study) {
            const std::string date = studyDateOf(patient, study);
            if (date >= "20240301" && date <= "20240331") ++expected;
        }
    }
    std::unique_ptr<DataSet> query = studyQuery(0x0008, 0x0020, "20240301-20240331", vrCode('D', 'A'));
    runFind(state, StoreIndex::Model::patientRoot, query.get(), expected);
}

void FindStudyByUid(benchmark::State& state) {
    std::unique_ptr<DataSet> query = studyQuery(0x0020, 0x000D, studyUid(57, 2), vrCode('U', 'I'));
    runFind(state, StoreIndex::Model::studyRoot, query.get(), 1);
}

void FindEveryStudy(benchmark::State& state) {
    std::unique_ptr<DataSet> query = studyQuery(0x0010, 0x0010, "*", vrCode('P', 'N'));
    runFind(state, StoreIndex::Model::studyRoot, query.get(), patientCount * studiesPerPatient);
}

void runMove(benchmark::State& state, DataSet* query, size_t expected) {
    StoreIndex& index = store().index;
    size_t found = 0;
    for (auto _ : state) {
        std::vector<StoreIndex::Instance> instances;
        if (index.findInstances(StoreIndex::Model::studyRoot, query, instances) != 1) {
            state.SkipWithError(index.problem.c_str());
        }
        found = instances.size();
        benchmark::DoNotOptimize(instances.data());
    }
    state.counters["instances"] = static_cast<double>(found);
    if (found != expected) state.SkipWithError("unexpected number of instances");
}

void InstancesOfASingleImageMove(benchmark::State& state) {
    auto query = std::make_unique<DataSet>();
    query->addElement(textElement(0x0008, 0x0052, "IMAGE", vrCode('C', 'S')));
    query->addElement(textElement(0x0008, 0x0018, imageUid(73, 1, 4, 6), vrCode('U', 'I')));
    runMove(state, query.get(), 1);
}

void InstancesOfAStudyMove(benchmark::State& state) {
    auto query = std::make_unique<DataSet>();
    query->addElement(textElement(0x0008, 0x0052, "STUDY", vrCode('C', 'S')));
    query->addElement(textElement(0x0020, 0x000D, studyUid(12, 1), vrCode('U', 'I')));
    runMove(state, query.get(), seriesPerStudy * imagesPerSeries);
}

// serve --reindex: the whole folder read again.
void RebuildByScanningTenThousandFiles(benchmark::State& state) {
    const std::string folder = store().folder;
    for (auto _ : state) {
        StoreIndex rebuilt;
        if (rebuilt.open(folder, true) != 1) state.SkipWithError(rebuilt.problem.c_str());
        state.counters["instances"] = static_cast<double>(rebuilt.count());
    }
}

// serve's start: an existing index checked against the folder.
void ReopenAndCatchUp(benchmark::State& state) {
    const std::string folder = store().folder;
    for (auto _ : state) {
        StoreIndex reopened;
        if (reopened.open(folder, false) != 1) state.SkipWithError(reopened.problem.c_str());
    }
}

}  // namespace

BENCHMARK(FindStudiesByPatientNameWildcard)->Unit(benchmark::kMicrosecond);
BENCHMARK(FindStudiesByNameEnding)->Unit(benchmark::kMicrosecond);
BENCHMARK(FindStudiesByDateRange)->Unit(benchmark::kMicrosecond);
BENCHMARK(FindStudyByUid)->Unit(benchmark::kMicrosecond);
BENCHMARK(FindEveryStudy)->Unit(benchmark::kMicrosecond);
BENCHMARK(InstancesOfASingleImageMove)->Unit(benchmark::kMicrosecond);
BENCHMARK(InstancesOfAStudyMove)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReopenAndCatchUp)->Unit(benchmark::kMillisecond);
BENCHMARK(RebuildByScanningTenThousandFiles)->Unit(benchmark::kMillisecond)->Iterations(2);

BENCHMARK_MAIN();
