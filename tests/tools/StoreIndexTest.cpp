#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../support/DataSetText.h"
#include "../support/TemporaryFiles.h"
#include "IndexBackend.h"
#include "StoreIndex.h"
#include "network/AssociationService.h"

using datasets::bytesElement;
using Model = StoreIndex::Model;

namespace {

struct Tag {
    uint16_t group;
    uint16_t element;
    uint32_t code() const { return (static_cast<uint32_t>(group) << 16) | element; }
};

constexpr Tag specificCharacterSet{0x0008, 0x0005};
constexpr Tag sopClassUid{0x0008, 0x0016};
constexpr Tag sopInstanceUid{0x0008, 0x0018};
constexpr Tag studyDate{0x0008, 0x0020};
constexpr Tag studyTime{0x0008, 0x0030};
constexpr Tag accessionNumber{0x0008, 0x0050};
constexpr Tag queryLevel{0x0008, 0x0052};
constexpr Tag modality{0x0008, 0x0060};
constexpr Tag modalitiesInStudy{0x0008, 0x0061};
constexpr Tag sopClassesInStudy{0x0008, 0x0062};
constexpr Tag referringPhysicianName{0x0008, 0x0090};
constexpr Tag studyDescription{0x0008, 0x1030};
constexpr Tag patientName{0x0010, 0x0010};
constexpr Tag patientId{0x0010, 0x0020};
constexpr Tag patientBirthDate{0x0010, 0x0030};
constexpr Tag patientSex{0x0010, 0x0040};
constexpr Tag studyInstanceUid{0x0020, 0x000D};
constexpr Tag seriesInstanceUid{0x0020, 0x000E};
constexpr Tag studyId{0x0020, 0x0010};
constexpr Tag seriesNumber{0x0020, 0x0011};
constexpr Tag instanceNumber{0x0020, 0x0013};
constexpr Tag patientRelatedStudies{0x0020, 0x1200};
constexpr Tag patientRelatedInstances{0x0020, 0x1204};
constexpr Tag studyRelatedSeries{0x0020, 0x1206};
constexpr Tag studyRelatedInstances{0x0020, 0x1208};
constexpr Tag seriesRelatedInstances{0x0020, 0x1209};

const std::string root = "1.2.826.0.1.3680043.10.5432";
std::string studyUid(int patient, int study) { return root + "." + std::to_string(patient) + "." + std::to_string(study); }
std::string seriesUid(int patient, int study, int series) {
    return studyUid(patient, study) + "." + std::to_string(series);
}
std::string imageUid(int patient, int study, int series, int image) {
    return seriesUid(patient, study, series) + "." + std::to_string(image);
}

const char* const ctClass = "1.2.840.10008.5.1.4.1.1.2";
const char* const mrClass = "1.2.840.10008.5.1.4.1.1.4";
const char* const usClass = "1.2.840.10008.5.1.4.1.1.6.1";
const char* const srClass = "1.2.840.10008.5.1.4.1.1.88.11";

const char* sopClassOf(const std::string& modalityText) {
    if (modalityText == "CT") return ctClass;
    if (modalityText == "MR") return mrClass;
    if (modalityText == "US") return usClass;
    return srClass;
}

struct PatientData {
    const char* id;
    const char* name;
    const char* birthDate;
    const char* sex;
    const char* characterSet;  // null: no (0008,0005)
};

// The store's three patients: names in both cases, one with a quote.
const PatientData patients[] = {
    {"PID001", "DOE^JOHN", "19700101", "M", nullptr},
    {"PID002", "Doe^Jane", "19851231", "F", "ISO_IR 100"},
    {"PID003", "O'NEIL^MARY", "19601010", "F", nullptr},
};

struct StudyData {
    int patient;  // 1-based
    int number;
    const char* date;  // null: no (0008,0020)
    const char* time;
    const char* accession;
    const char* description;
    const char* modalities[2];  // of series 1 and 2
};

// Five studies of two series of three images each: 30 instances. The
// descriptions hold GLOB and LIKE metacharacters; one study has no date.
const StudyData studies[] = {
    {1, 1, "20240115", "083000", "ACC11", "CHEST [PA]", {"CT", "CT"}},
    {1, 2, "20240620", "141500", "ACC12", "HEAD", {"MR", "MR"}},
    {2, 1, "20231231", "235959.5", "ACC21", "50%_OFF", {"CT", "MR"}},
    {3, 1, "20250301", "0900", "ACC31", "ABDOMEN", {"US", "SR"}},
    {3, 2, nullptr, nullptr, "ACC32", "NO DATE", {"CT", "US"}},
};
constexpr int seriesPerStudy = 2;
constexpr int imagesPerSeries = 3;
constexpr long storedInstances = 30;

// A text value as a data set holds it: padded to even length, with a zero
// byte for UIDs and a space otherwise.
DataElement* padded(Tag tag, const std::string& text, uint16_t vr) {
    std::string bytes = text;
    if (bytes.size() % 2 != 0) bytes += vr == vrCode('U', 'I') ? '\0' : ' ';
    return bytesElement(tag.group, tag.element, std::vector<uint8_t>(bytes.begin(), bytes.end()), vr);
}

struct InstanceData {
    const PatientData* patient;
    const StudyData* study;
    int series;
    int image;
};

std::unique_ptr<DataSet> makeInstance(const InstanceData& item) {
    auto set = std::make_unique<DataSet>();
    const std::string modalityText = item.study->modalities[item.series - 1];
    const int patientNumber = item.study->patient;
    if (item.patient->characterSet != nullptr) {
        set->addElement(padded(specificCharacterSet, item.patient->characterSet, vrCode('C', 'S')));
    }
    set->addElement(padded(sopClassUid, sopClassOf(modalityText), vrCode('U', 'I')));
    set->addElement(padded(sopInstanceUid, imageUid(patientNumber, item.study->number, item.series, item.image),
                           vrCode('U', 'I')));
    if (item.study->date != nullptr) set->addElement(padded(studyDate, item.study->date, vrCode('D', 'A')));
    if (item.study->time != nullptr) set->addElement(padded(studyTime, item.study->time, vrCode('T', 'M')));
    set->addElement(padded(accessionNumber, item.study->accession, vrCode('S', 'H')));
    set->addElement(padded(modality, modalityText, vrCode('C', 'S')));
    set->addElement(padded(referringPhysicianName, "WHO^DR", vrCode('P', 'N')));
    set->addElement(padded(studyDescription, item.study->description, vrCode('L', 'O')));
    set->addElement(padded(patientName, item.patient->name, vrCode('P', 'N')));
    set->addElement(padded(patientId, item.patient->id, vrCode('L', 'O')));
    set->addElement(padded(patientBirthDate, item.patient->birthDate, vrCode('D', 'A')));
    set->addElement(padded(patientSex, item.patient->sex, vrCode('C', 'S')));
    set->addElement(padded(studyInstanceUid, studyUid(patientNumber, item.study->number), vrCode('U', 'I')));
    set->addElement(padded(seriesInstanceUid, seriesUid(patientNumber, item.study->number, item.series), vrCode('U', 'I')));
    set->addElement(padded(studyId, std::to_string(item.study->number), vrCode('S', 'H')));
    set->addElement(padded(seriesNumber, std::to_string(item.series), vrCode('I', 'S')));
    set->addElement(padded(instanceNumber, std::to_string(item.image), vrCode('I', 'S')));
    set->addElement(bytesElement(0x7FE0, 0x0010, std::vector<uint8_t>(32, 0x11), vrCode('O', 'W')));
    return set;
}

std::vector<InstanceData> allInstances() {
    std::vector<InstanceData> list;
    for (const StudyData& study : studies) {
        for (int series = 1; series <= seriesPerStudy; ++series) {
            for (int image = 1; image <= imagesPerSeries; ++image) {
                list.push_back({&patients[study.patient - 1], &study, series, image});
            }
        }
    }
    return list;
}

std::string fileNameOf(const std::string& uid) { return uid + ".dcm"; }

// Writes the instance as serve does, FOLDER/<UID>.dcm.
void writeInstance(const std::string& folder, const InstanceData& item) {
    AssociationService service;
    std::unique_ptr<DataSet> set = makeInstance(item);
    const std::string uid = imageUid(item.study->patient, item.study->number, item.series, item.image);
    ASSERT_EQ(service.saveFile((folder + "/" + fileNameOf(uid)).c_str(), FileWithHeaderExplicit, set.get()), 1);
}

struct Key {
    Tag tag;
    std::string value;
};

// An identifier as a query sends it: the level (none when empty) and the keys, padded.
std::unique_ptr<DataSet> identifier(const std::string& level, const std::vector<Key>& keys) {
    auto set = std::make_unique<DataSet>();
    if (!level.empty()) set->addElement(padded(queryLevel, level, vrCode('C', 'S')));
    for (const Key& key : keys) set->addElement(padded(key.tag, key.value, 0));
    return set;
}

struct Returned {
    uint16_t vr;
    std::string bytes;
};
using Result = std::map<uint32_t, Returned>;

struct Answer {
    int status;
    std::string problem;
    std::vector<Result> results;
};

// Drains and deletes the results.
std::vector<Result> takeResults(IndexedList<DataSet*>& list) {
    std::vector<Result> results;
    while (list.count() != 0) {
        DataSet* set = list.at(0)->element;
        Result result;
        while (DataElement* element = set->nextElement()) {
            if (element->element != 0) {
                result[(static_cast<uint32_t>(element->group) << 16) | element->element] = Returned{
                    element->vr, std::string(reinterpret_cast<const char*>(element->value), element->length)};
            }
            delete element;
        }
        delete set;
        list.removeAt(0);
        results.push_back(result);
    }
    return results;
}

Answer ask(StoreIndex& index, Model model, const std::string& level, const std::vector<Key>& keys) {
    std::unique_ptr<DataSet> query = identifier(level, keys);
    IndexedList<DataSet*> list;
    index.problem.clear();
    const int status = index.find(model, query.get(), list);
    return Answer{status, index.problem, takeResults(list)};
}

std::string unpadded(const std::string& bytes) {
    std::string text = bytes;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

// The values of tag in the results, unpadded and sorted.
std::vector<std::string> valuesOf(const Answer& answer, Tag tag) {
    std::vector<std::string> values;
    for (const Result& result : answer.results) {
        const auto found = result.find(tag.code());
        values.push_back(found == result.end() ? "<absent>" : unpadded(found->second.bytes));
    }
    std::sort(values.begin(), values.end());
    return values;
}

std::vector<std::string> sorted(std::vector<std::string> values) {
    std::sort(values.begin(), values.end());
    return values;
}

// Every result as text, for comparing two indexes.
std::string rendered(const Answer& answer) {
    std::string text = std::to_string(answer.status) + "\n";
    for (const Result& result : answer.results) {
        for (const auto& [tag, element] : result) {
            char header[32];
            std::snprintf(header, sizeof header, "%08X %04X ", tag, element.vr);
            text += header + element.bytes + "|";
        }
        text += "\n";
    }
    return text;
}

// A database under the store index. Every test of StoreIndexTest runs over
// each backend (the match cases included), through the interface that
// StoreIndex asks; a second backend is one more line here.
struct Backend {
    const char* name;
    std::unique_ptr<IndexBackend> (*make)();
};

void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }

const Backend backends[] = {
    {"Sqlite", makeDefaultIndexBackend},
};

// A store folder holding the 30 instances, indexed one by one with add as serve does.
class StoreIndexTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        ASSERT_EQ(index.open(folder.path(), false), 1) << index.problem;
        for (const InstanceData& item : allInstances()) {
            writeInstance(folder.path(), item);
            std::unique_ptr<DataSet> set = makeInstance(item);
            const std::string uid = imageUid(item.study->patient, item.study->number, item.series, item.image);
            ASSERT_EQ(index.add(set.get(), fileNameOf(uid)), 1) << index.problem;
        }
        ASSERT_EQ(index.count(), storedInstances);
    }

    // Closes the fixture's database, which index no longer names.
    void closeIndex() { opened.reset(); }

    TemporaryDirectory folder;
    std::unique_ptr<StoreIndex> opened = std::make_unique<StoreIndex>(GetParam().make());
    StoreIndex& index = *opened;
};

INSTANTIATE_TEST_SUITE_P(Backends, StoreIndexTest, ::testing::ValuesIn(backends),
                         [](const ::testing::TestParamInfo<Backend>& info) { return std::string(info.param.name); });

// What only SQLite has: its database file, and what it does with a damaged one.
class SqliteStoreIndexTest : public StoreIndexTest {};

INSTANTIATE_TEST_SUITE_P(Sqlite, SqliteStoreIndexTest, ::testing::Values(backends[0]),
                         [](const ::testing::TestParamInfo<Backend>& info) { return std::string(info.param.name); });

struct MatchCase {
    const char* name;
    Model model;
    const char* level;
    std::vector<Key> keys;
    Tag returned;  // the unique key whose values are compared
    std::vector<std::string> expected;
};

const std::vector<MatchCase>& matchCases() {
    static const std::vector<MatchCase> cases = {
        // PATIENT (Patient Root)
        {"universal match returns every patient", Model::patientRoot, "PATIENT", {}, patientId, {"PID001", "PID002", "PID003"}},
        {"empty key is universal", Model::patientRoot, "PATIENT", {{patientName, ""}}, patientId, {"PID001", "PID002", "PID003"}},
        {"name wildcard ignores case", Model::patientRoot, "PATIENT", {{patientName, "DOE*"}}, patientId, {"PID001", "PID002"}},
        {"lower-case name wildcard", Model::patientRoot, "PATIENT", {{patientName, "doe^j*"}}, patientId, {"PID001", "PID002"}},
        {"single name value ignores case", Model::patientRoot, "PATIENT", {{patientName, "doe^john"}}, patientId, {"PID001"}},
        {"name with trailing empty component", Model::patientRoot, "PATIENT", {{patientName, "DOE^JOHN^^"}}, patientId, {"PID001"}},
        {"question mark is one character", Model::patientRoot, "PATIENT", {{patientName, "?OE^JOHN"}}, patientId, {"PID001"}},
        {"single name is not a prefix", Model::patientRoot, "PATIENT", {{patientName, "DOE"}}, patientId, {}},
        {"name with a quote", Model::patientRoot, "PATIENT", {{patientName, "O'NEIL*"}}, patientId, {"PID003"}},
        {"ID wildcard", Model::patientRoot, "PATIENT", {{patientId, "PID00?"}}, patientId, {"PID001", "PID002", "PID003"}},
        {"ID is case-sensitive", Model::patientRoot, "PATIENT", {{patientId, "pid002"}}, patientId, {}},
        {"ID list", Model::patientRoot, "PATIENT", {{patientId, "PID001\\PID003"}}, patientId, {"PID001", "PID003"}},
        {"birth date range", Model::patientRoot, "PATIENT", {{patientBirthDate, "19700101-19851231"}}, patientId, {"PID001", "PID002"}},
        {"birth date open start", Model::patientRoot, "PATIENT", {{patientBirthDate, "-19691231"}}, patientId, {"PID003"}},
        {"birth date open end", Model::patientRoot, "PATIENT", {{patientBirthDate, "19800101-"}}, patientId, {"PID002"}},
        {"sex", Model::patientRoot, "PATIENT", {{patientSex, "F"}}, patientId, {"PID002", "PID003"}},
        {"keys of all match together", Model::patientRoot, "PATIENT", {{patientSex, "F"}, {patientName, "D*"}}, patientId, {"PID002"}},
        // STUDY
        {"date range", Model::patientRoot, "STUDY", {{studyDate, "20240101-20241231"}}, studyInstanceUid, {studyUid(1, 1), studyUid(1, 2)}},
        {"date open start", Model::patientRoot, "STUDY", {{studyDate, "-20231231"}}, studyInstanceUid, {studyUid(2, 1)}},
        {"date open end", Model::patientRoot, "STUDY", {{studyDate, "20250101-"}}, studyInstanceUid, {studyUid(3, 1)}},
        {"single date", Model::studyRoot, "STUDY", {{studyDate, "20240115"}}, studyInstanceUid, {studyUid(1, 1)}},
        {"a range leaves out studies without a date", Model::patientRoot, "STUDY", {{studyDate, "19000101-"}}, studyInstanceUid,
         {studyUid(1, 1), studyUid(1, 2), studyUid(2, 1), studyUid(3, 1)}},
        {"asterisk date is universal", Model::patientRoot, "STUDY", {{studyDate, "*"}}, studyInstanceUid,
         {studyUid(1, 1), studyUid(1, 2), studyUid(2, 1), studyUid(3, 1), studyUid(3, 2)}},
        {"date list", Model::studyRoot, "STUDY", {{studyDate, "20240115\\20250101-"}}, studyInstanceUid, {studyUid(1, 1), studyUid(3, 1)}},
        {"time range covers its bounds' minutes", Model::patientRoot, "STUDY", {{studyTime, "0800-0900"}}, studyInstanceUid,
         {studyUid(1, 1), studyUid(3, 1)}},
        {"single date is not a prefix", Model::studyRoot, "STUDY", {{studyDate, "2024"}}, studyInstanceUid, {}},
        {"single date of the old dotted form", Model::studyRoot, "STUDY", {{studyDate, "2024.01.15"}}, studyInstanceUid,
         {studyUid(1, 1)}},
        {"year range covers its year", Model::studyRoot, "STUDY", {{studyDate, "2024-2024"}}, studyInstanceUid,
         {studyUid(1, 1), studyUid(1, 2)}},
        {"date wildcard", Model::studyRoot, "STUDY", {{studyDate, "202401*"}}, studyInstanceUid, {studyUid(1, 1)}},
        {"single time matches exactly", Model::studyRoot, "STUDY", {{studyTime, "235959.5"}}, studyInstanceUid, {studyUid(2, 1)}},
        {"single time is not a prefix", Model::studyRoot, "STUDY", {{studyTime, "2359"}}, studyInstanceUid, {}},
        {"single time matches the same time of day", Model::studyRoot, "STUDY", {{studyTime, "09:00:00.000"}}, studyInstanceUid,
         {studyUid(3, 1)}},
        {"time range of one minute covers it", Model::studyRoot, "STUDY", {{studyTime, "2359-2359"}}, studyInstanceUid,
         {studyUid(2, 1)}},
        {"time wildcard", Model::studyRoot, "STUDY", {{studyTime, "08*"}}, studyInstanceUid, {studyUid(1, 1)}},
        {"time open end", Model::studyRoot, "STUDY", {{studyTime, "1400-"}}, studyInstanceUid, {studyUid(1, 2), studyUid(2, 1)}},
        {"accession wildcard", Model::patientRoot, "STUDY", {{accessionNumber, "ACC1*"}}, studyInstanceUid, {studyUid(1, 1), studyUid(1, 2)}},
        {"brackets are literal", Model::studyRoot, "STUDY", {{studyDescription, "CHEST [PA]"}}, studyInstanceUid, {studyUid(1, 1)}},
        {"brackets are literal in a wildcard", Model::studyRoot, "STUDY", {{studyDescription, "*[PA]"}}, studyInstanceUid, {studyUid(1, 1)}},
        {"an opening bracket is literal", Model::studyRoot, "STUDY", {{studyDescription, "CHEST [P*"}}, studyInstanceUid, {studyUid(1, 1)}},
        {"a bracket set is no set", Model::studyRoot, "STUDY", {{studyDescription, "CHEST [AP]*"}}, studyInstanceUid, {}},
        {"percent and underscore are literal", Model::studyRoot, "STUDY", {{studyDescription, "50%_OFF"}}, studyInstanceUid, {studyUid(2, 1)}},
        {"percent matches no run of characters", Model::studyRoot, "STUDY", {{studyDescription, "5%*"}}, studyInstanceUid, {}},
        {"underscore matches no single character", Model::studyRoot, "STUDY", {{studyDescription, "H_A*"}}, studyInstanceUid, {}},
        {"description is case-sensitive", Model::studyRoot, "STUDY", {{studyDescription, "head"}}, studyInstanceUid, {}},
        {"UID list", Model::patientRoot, "STUDY", {{studyInstanceUid, studyUid(1, 2) + "\\" + studyUid(3, 1)}}, studyInstanceUid,
         {studyUid(1, 2), studyUid(3, 1)}},
        {"UID takes no wildcard", Model::patientRoot, "STUDY", {{studyInstanceUid, root + ".*"}}, studyInstanceUid, {}},
        {"patient key restricts studies", Model::patientRoot, "STUDY", {{patientId, "PID003"}}, studyInstanceUid, {studyUid(3, 1), studyUid(3, 2)}},
        {"patient name in Study Root", Model::studyRoot, "STUDY", {{patientName, "o'neil^mary"}}, studyInstanceUid,
         {studyUid(3, 1), studyUid(3, 2)}},
        {"modalities in study", Model::patientRoot, "STUDY", {{modalitiesInStudy, "MR"}}, studyInstanceUid, {studyUid(1, 2), studyUid(2, 1)}},
        {"modalities in study list", Model::studyRoot, "STUDY", {{modalitiesInStudy, "SR\\US"}}, studyInstanceUid,
         {studyUid(3, 1), studyUid(3, 2)}},
        {"modalities in study wildcard", Model::studyRoot, "STUDY", {{modalitiesInStudy, "S?"}}, studyInstanceUid, {studyUid(3, 1)}},
        {"name and modality together", Model::studyRoot, "STUDY", {{patientName, "DOE*"}, {modalitiesInStudy, "CT"}}, studyInstanceUid,
         {studyUid(1, 1), studyUid(2, 1)}},
        {"a series key does not restrict studies", Model::studyRoot, "STUDY", {{modality, "US"}, {patientId, "PID001"}}, studyInstanceUid,
         {studyUid(1, 1), studyUid(1, 2)}},
        // SERIES
        {"series of a study", Model::patientRoot, "SERIES", {{patientId, "PID002"}, {studyInstanceUid, studyUid(2, 1)}}, seriesInstanceUid,
         {seriesUid(2, 1, 1), seriesUid(2, 1, 2)}},
        {"series by modality", Model::studyRoot, "SERIES", {{modality, "CT"}}, seriesInstanceUid,
         {seriesUid(1, 1, 1), seriesUid(1, 1, 2), seriesUid(2, 1, 1), seriesUid(3, 2, 1)}},
        {"modality is case-sensitive", Model::studyRoot, "SERIES", {{modality, "ct"}}, seriesInstanceUid, {}},
        {"series by modality and patient", Model::studyRoot, "SERIES", {{modality, "US"}, {patientId, "PID003"}}, seriesInstanceUid,
         {seriesUid(3, 1, 1), seriesUid(3, 2, 2)}},
        {"series number in a study", Model::patientRoot, "SERIES", {{studyInstanceUid, studyUid(1, 1)}, {seriesNumber, "2"}},
         seriesInstanceUid, {seriesUid(1, 1, 2)}},
        {"series by study date", Model::studyRoot, "SERIES", {{studyDate, "-20231231"}}, seriesInstanceUid,
         {seriesUid(2, 1, 1), seriesUid(2, 1, 2)}},
        // IMAGE
        {"one image", Model::patientRoot, "IMAGE", {{sopInstanceUid, imageUid(3, 1, 2, 3)}}, sopInstanceUid, {imageUid(3, 1, 2, 3)}},
        {"images of a series", Model::studyRoot, "IMAGE", {{seriesInstanceUid, seriesUid(1, 2, 1)}}, sopInstanceUid,
         {imageUid(1, 2, 1, 1), imageUid(1, 2, 1, 2), imageUid(1, 2, 1, 3)}},
        {"instance number in a series", Model::studyRoot, "IMAGE", {{seriesInstanceUid, seriesUid(1, 2, 1)}, {instanceNumber, "2"}},
         sopInstanceUid, {imageUid(1, 2, 1, 2)}},
        {"image UID list", Model::patientRoot, "IMAGE", {{sopInstanceUid, imageUid(1, 1, 1, 1) + "\\" + imageUid(2, 1, 2, 3)}},
         sopInstanceUid, {imageUid(1, 1, 1, 1), imageUid(2, 1, 2, 3)}},
        {"SOP class and study date", Model::studyRoot, "IMAGE", {{sopClassUid, mrClass}, {studyDate, "20240101-20241231"}},
         sopInstanceUid,
         {imageUid(1, 2, 1, 1), imageUid(1, 2, 1, 2), imageUid(1, 2, 1, 3), imageUid(1, 2, 2, 1), imageUid(1, 2, 2, 2),
          imageUid(1, 2, 2, 3)}},
        {"SQL in a value is a value", Model::patientRoot, "IMAGE", {{patientId, "x' OR '1'='1"}}, sopInstanceUid, {}},
        {"SQL statement in a value", Model::patientRoot, "STUDY", {{patientName, "'; DROP TABLE patient; --"}}, studyInstanceUid, {}},
    };
    return cases;
}

TEST_P(StoreIndexTest, MatchesEachKindAtEachLevelOfBothModels) {
    for (const MatchCase& match : matchCases()) {
        const Answer answer = ask(index, match.model, match.level, match.keys);
        ASSERT_EQ(answer.status, 1) << match.name << ": " << answer.problem;
        EXPECT_EQ(valuesOf(answer, match.returned), sorted(match.expected)) << match.name;
    }
    EXPECT_EQ(index.count(), storedInstances);
}

TEST_P(StoreIndexTest, ReturnsTheRequestedKeysPaddedWithTheirVrAndTheUniqueKeys) {
    const Answer answer = ask(index, Model::patientRoot, "STUDY",
                              {{studyInstanceUid, studyUid(3, 1)},
                               {patientName, ""},
                               {studyDate, ""},
                               {modalitiesInStudy, ""},
                               {sopClassesInStudy, ""},
                               {studyRelatedSeries, ""},
                               {studyRelatedInstances, ""},
                               {specificCharacterSet, ""},
                               {Tag{0x0009, 0x1001}, "PRIVATE"},
                               {modality, ""}});
    ASSERT_EQ(answer.status, 1) << answer.problem;
    ASSERT_EQ(answer.results.size(), 1u);
    const Result& result = answer.results[0];
    struct Expected {
        Tag tag;
        uint16_t vr;
        std::string bytes;
    };
    const Expected expected[] = {
        {specificCharacterSet, vrCode('C', 'S'), ""},
        {studyDate, vrCode('D', 'A'), "20250301"},
        {queryLevel, vrCode('C', 'S'), "STUDY "},
        {modality, vrCode('C', 'S'), ""},  // a SERIES attribute: not known at STUDY level
        {modalitiesInStudy, vrCode('C', 'S'), "SR\\US "},
        {sopClassesInStudy, vrCode('U', 'I'), std::string(usClass) + "\\" + srClass + std::string(1, '\0')},
        {Tag{0x0009, 0x1001}, vrCode('U', 'N'), ""},  // unknown to the index, asked in implicit VR
        {patientName, vrCode('P', 'N'), "O'NEIL^MARY "},
        {patientId, vrCode('L', 'O'), "PID003"},  // the unique key above, not asked for
        {studyInstanceUid, vrCode('U', 'I'), studyUid(3, 1) + std::string(studyUid(3, 1).size() % 2, '\0')},
        {studyRelatedSeries, vrCode('I', 'S'), "2 "},
        {studyRelatedInstances, vrCode('I', 'S'), "6 "},
    };
    EXPECT_EQ(result.size(), std::size(expected));
    for (const Expected& element : expected) {
        const auto found = result.find(element.tag.code());
        ASSERT_NE(found, result.end()) << std::hex << element.tag.code();
        EXPECT_EQ(found->second.vr, element.vr) << std::hex << element.tag.code();
        EXPECT_EQ(found->second.bytes, element.bytes) << std::hex << element.tag.code();
    }
}

TEST_P(StoreIndexTest, StudyRootCarriesNoPatientIdUnlessAsked) {
    const Answer answer = ask(index, Model::studyRoot, "SERIES", {{seriesInstanceUid, seriesUid(2, 1, 2)}});
    ASSERT_EQ(answer.results.size(), 1u);
    const Result& result = answer.results[0];
    EXPECT_EQ(result.count(patientId.code()), 0u);
    EXPECT_EQ(unpadded(result.at(queryLevel.code()).bytes), "SERIES");
    EXPECT_EQ(unpadded(result.at(studyInstanceUid.code()).bytes), studyUid(2, 1));
    EXPECT_EQ(unpadded(result.at(seriesInstanceUid.code()).bytes), seriesUid(2, 1, 2));
    EXPECT_EQ(result.size(), 3u);
}

TEST_P(StoreIndexTest, ComputesCountsAndTakesTheCharacterSetOfTheLevel) {
    const Answer patientsAnswer = ask(index, Model::patientRoot, "PATIENT",
                                      {{patientRelatedStudies, ""}, {patientRelatedInstances, ""}, {specificCharacterSet, ""}});
    ASSERT_EQ(patientsAnswer.results.size(), 3u);
    std::vector<std::string> rows;
    for (const Result& result : patientsAnswer.results) {
        rows.push_back(unpadded(result.at(patientId.code()).bytes) + " " + unpadded(result.at(patientRelatedStudies.code()).bytes) +
                       " " + unpadded(result.at(patientRelatedInstances.code()).bytes) + " [" +
                       unpadded(result.at(specificCharacterSet.code()).bytes) + "]");
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"PID001 2 12 []", "PID002 1 6 [ISO_IR 100]", "PID003 2 12 []"}));

    const Answer seriesAnswer = ask(index, Model::patientRoot, "SERIES", {{seriesInstanceUid, seriesUid(1, 1, 1)}, {seriesRelatedInstances, ""}});
    ASSERT_EQ(seriesAnswer.results.size(), 1u);
    EXPECT_EQ(seriesAnswer.results[0].at(seriesRelatedInstances.code()).bytes, "3 ");
    EXPECT_EQ(unpadded(seriesAnswer.results[0].at(patientId.code()).bytes), "PID001");
}

TEST_P(StoreIndexTest, AnswersInAStableOrder) {
    const Answer answer = ask(index, Model::studyRoot, "IMAGE", {{studyInstanceUid, studyUid(1, 1)}});
    std::vector<std::string> order;
    for (const Result& result : answer.results) order.push_back(unpadded(result.at(sopInstanceUid.code()).bytes));
    EXPECT_EQ(order, (std::vector<std::string>{imageUid(1, 1, 1, 1), imageUid(1, 1, 1, 2), imageUid(1, 1, 1, 3),
                                               imageUid(1, 1, 2, 1), imageUid(1, 1, 2, 2), imageUid(1, 1, 2, 3)}));
}

// Every match case's answers, as text.
std::string answersOf(StoreIndex& index) {
    std::string text;
    for (const MatchCase& match : matchCases()) {
        std::vector<Key> keys = match.keys;
        for (Tag returned : {patientName, studyDate, modalitiesInStudy, studyRelatedInstances, seriesRelatedInstances, instanceNumber}) {
            keys.push_back({returned, ""});
        }
        text += std::string(match.name) + "\n" + rendered(ask(index, match.model, match.level, keys));
    }
    return text;
}

TEST_P(SqliteStoreIndexTest, RebuildsTheSameIndexByScanningTheFolder) {
    const std::string before = answersOf(index);
    closeIndex();
    for (const char* name : {"index.sqlite", "index.sqlite-wal", "index.sqlite-shm"}) {
        std::filesystem::remove(folder.file(name));
    }
    StoreIndex scanned(GetParam().make());
    ASSERT_EQ(scanned.open(folder.path(), false), 1) << scanned.problem;
    EXPECT_EQ(scanned.count(), storedInstances);
    EXPECT_EQ(scanned.skipped, 0);
    EXPECT_EQ(answersOf(scanned), before);

    StoreIndex requested(GetParam().make());
    ASSERT_EQ(requested.open(folder.path(), true), 1) << requested.problem;
    EXPECT_EQ(requested.count(), storedInstances);
    EXPECT_EQ(answersOf(requested), before);
}

TEST_P(StoreIndexTest, SurvivesARestart) {
    const std::string before = answersOf(index);
    StoreIndex restarted(GetParam().make());
    ASSERT_EQ(restarted.open(folder.path(), false), 1) << restarted.problem;
    EXPECT_EQ(restarted.count(), storedInstances);
    EXPECT_EQ(answersOf(restarted), before);
}

TEST_P(StoreIndexTest, OpeningCatchesUpWithFilesStoredOrRemovedBehindItsBack) {
    const StudyData extra{2, 9, "20240301", "1000", "ACC29", "LATE", {"CT", "CT"}};
    writeInstance(folder.path(), {&patients[1], &extra, 1, 1});
    std::filesystem::remove(folder.file(fileNameOf(imageUid(1, 2, 2, 1))));
    for (int image = 1; image <= imagesPerSeries; ++image) {
        std::filesystem::remove(folder.file(fileNameOf(imageUid(3, 1, 2, image))));
    }
    StoreIndex reopened(GetParam().make());
    ASSERT_EQ(reopened.open(folder.path(), false), 1) << reopened.problem;
    EXPECT_EQ(reopened.count(), storedInstances + 1 - 1 - imagesPerSeries);
    EXPECT_EQ(valuesOf(ask(reopened, Model::studyRoot, "STUDY", {{studyDate, "20240301"}}), studyInstanceUid),
              (std::vector<std::string>{studyUid(2, 9)}));
    // The series whose files are all gone is gone, and its study lost a modality.
    EXPECT_EQ(valuesOf(ask(reopened, Model::studyRoot, "SERIES", {{studyInstanceUid, studyUid(3, 1)}}), seriesInstanceUid),
              (std::vector<std::string>{seriesUid(3, 1, 1)}));
    EXPECT_EQ(valuesOf(ask(reopened, Model::studyRoot, "STUDY", {{studyInstanceUid, studyUid(3, 1)}, {modalitiesInStudy, ""}}),
                       modalitiesInStudy),
              (std::vector<std::string>{"US"}));
}

TEST_P(StoreIndexTest, IndexesOnlyVisibleDcmFilesAndCountsWhatItCannotRead) {
    // A complete DICOM file under a temporary name of FolderStore, and one
    // named like no stored object, are not stored objects.
    const StudyData hidden{1, 7, "20240101", "1000", "HID", "HIDDEN", {"CT", "CT"}};
    writeInstance(folder.path(), {&patients[0], &hidden, 1, 1});
    std::filesystem::rename(folder.file(fileNameOf(imageUid(1, 7, 1, 1))),
                            folder.file(".incoming-" + imageUid(1, 7, 1, 1) + "-0123456789abcdef-1.tmp"));
    writeInstance(folder.path(), {&patients[0], &hidden, 1, 2});
    std::filesystem::rename(folder.file(fileNameOf(imageUid(1, 7, 1, 2))), folder.file(imageUid(1, 7, 1, 2) + ".dcm.bak"));
    writeFile(folder.file("junk.dcm"), {'n', 'o', 't', ' ', 'D', 'I', 'C', 'O', 'M'});
    std::filesystem::create_directory(folder.file("folder.dcm"));
    StoreIndex rebuilt(GetParam().make());
    ASSERT_EQ(rebuilt.open(folder.path(), true), 1) << rebuilt.problem;
    EXPECT_EQ(rebuilt.count(), storedInstances);
    EXPECT_EQ(rebuilt.skipped, 1);
    EXPECT_TRUE(ask(rebuilt, Model::studyRoot, "STUDY", {{studyDescription, "HIDDEN"}}).results.empty());
}

TEST_P(SqliteStoreIndexTest, MakesADamagedDatabaseAnew) {
    closeIndex();
    for (const char* name : {"index.sqlite-wal", "index.sqlite-shm"}) std::filesystem::remove(folder.file(name));
    std::vector<uint8_t> garbage(4096);
    for (size_t position = 0; position < garbage.size(); ++position) garbage[position] = static_cast<uint8_t>(position * 7 + 3);
    writeFile(folder.file("index.sqlite"), garbage);
    StoreIndex reopened(GetParam().make());
    ASSERT_EQ(reopened.open(folder.path(), false), 1) << reopened.problem;
    EXPECT_EQ(reopened.count(), storedInstances);
}

TEST_P(StoreIndexTest, ReplacesAnInstanceStoredAgainUnderItsUid) {
    // Every image of series (3,2,2) moves to a new patient's study; the
    // series, left empty, disappears, and (3,2) keeps one series.
    const PatientData newcomer{"PID004", "NEW^PATIENT", "20000101", "O", nullptr};
    const StudyData moved{3, 2, "20240505", "1200", "ACC32", "NO DATE", {"CT", "US"}};
    for (int image = 1; image <= imagesPerSeries; ++image) {
        std::unique_ptr<DataSet> set = makeInstance({&newcomer, &moved, 2, image});
        // The same SOP Instance UID in another study and series.
        set->find(studyInstanceUid.group, studyInstanceUid.element)->value[root.size() + 3] = '8';
        set->find(seriesInstanceUid.group, seriesInstanceUid.element)->value[root.size() + 3] = '8';
        ASSERT_EQ(index.add(set.get(), fileNameOf(imageUid(3, 2, 2, image))), 1) << index.problem;
    }
    // An attribute of the patient changed by a newer object.
    const PatientData renamed{"PID001", "DOE^JOHNNY", "19700101", "M", nullptr};
    ASSERT_EQ(index.add(makeInstance({&renamed, &studies[0], 1, 1}).get(), fileNameOf(imageUid(1, 1, 1, 1))), 1);

    EXPECT_EQ(index.count(), storedInstances);
    EXPECT_EQ(valuesOf(ask(index, Model::studyRoot, "SERIES", {{studyInstanceUid, studyUid(3, 2)}}), seriesInstanceUid),
              (std::vector<std::string>{seriesUid(3, 2, 1)}));
    const Answer newStudy = ask(index, Model::patientRoot, "STUDY", {{patientId, "PID004"}, {studyRelatedInstances, ""}});
    ASSERT_EQ(newStudy.results.size(), 1u);
    EXPECT_EQ(unpadded(newStudy.results[0].at(studyInstanceUid.code()).bytes), root + ".3.8");
    EXPECT_EQ(unpadded(newStudy.results[0].at(studyRelatedInstances.code()).bytes), "3");
    EXPECT_EQ(valuesOf(ask(index, Model::patientRoot, "PATIENT", {{patientName, "DOE^JOHN*"}}), patientName),
              (std::vector<std::string>{"DOE^JOHNNY"}));
    EXPECT_EQ(valuesOf(ask(index, Model::patientRoot, "PATIENT", {}), patientId),
              (std::vector<std::string>{"PID001", "PID002", "PID003", "PID004"}));
}

TEST_P(StoreIndexTest, AFileHoldsOneObject) {
    // Another object written over the file of (2,1,2,3), the only file of
    // nothing else: the instance it held is gone, its series keeps two.
    const StudyData other{2, 1, "20231231", "235959.5", "ACC21", "50%_OFF", {"CT", "CT"}};
    std::unique_ptr<DataSet> set = makeInstance({&patients[1], &other, 1, 4});
    ASSERT_EQ(index.add(set.get(), fileNameOf(imageUid(2, 1, 2, 3))), 1) << index.problem;
    EXPECT_EQ(index.count(), storedInstances);
    EXPECT_EQ(valuesOf(ask(index, Model::studyRoot, "IMAGE", {{seriesInstanceUid, seriesUid(2, 1, 2)}}), sopInstanceUid),
              (std::vector<std::string>{imageUid(2, 1, 2, 1), imageUid(2, 1, 2, 2)}));
    std::vector<StoreIndex::Instance> instances;
    std::unique_ptr<DataSet> query = identifier("IMAGE", {{sopInstanceUid, imageUid(2, 1, 1, 4)}});
    ASSERT_EQ(index.findInstances(Model::studyRoot, query.get(), instances), 1);
    ASSERT_EQ(instances.size(), 1u);
    EXPECT_EQ(instances[0].path, folder.file(fileNameOf(imageUid(2, 1, 2, 3))));
}

TEST_P(StoreIndexTest, AnEntityLeftWithoutObjectsDisappears) {
    const PatientData taker{"PID002", "Doe^Jane", "19851231", "F", "ISO_IR 100"};
    for (const InstanceData& item : allInstances()) {
        if (item.study->patient != 1) continue;
        std::unique_ptr<DataSet> set = makeInstance({&taker, item.study, item.series, item.image});
        const std::string uid = imageUid(1, item.study->number, item.series, item.image);
        ASSERT_EQ(index.add(set.get(), fileNameOf(uid)), 1) << index.problem;
    }
    EXPECT_EQ(valuesOf(ask(index, Model::patientRoot, "PATIENT", {}), patientId),
              (std::vector<std::string>{"PID002", "PID003"}));
    EXPECT_EQ(valuesOf(ask(index, Model::patientRoot, "STUDY", {{patientId, "PID002"}}), studyInstanceUid),
              (std::vector<std::string>{studyUid(1, 1), studyUid(1, 2), studyUid(2, 1)}));
}

TEST_P(StoreIndexTest, AnEntryGivenForLaterIsThereForTheNextQuestion) {
    const StudyData later{1, 7, "20240707", "0700", "ACC17", "WAITING", {"CT", "CT"}};
    const uint64_t ticket = index.addSoon(makeInstance({&patients[0], &later, 1, 1}), fileNameOf(imageUid(1, 7, 1, 1)));
    ASSERT_NE(ticket, 0u);
    // No settle yet: the question takes the entry in first.
    EXPECT_EQ(valuesOf(ask(index, Model::studyRoot, "IMAGE", {{studyInstanceUid, studyUid(1, 7)}}), sopInstanceUid),
              (std::vector<std::string>{imageUid(1, 7, 1, 1)}));
    EXPECT_EQ(index.settle(ticket), 1);

    // An entry that cannot be indexed: its failure waits for its own caller,
    // whoever took it in.
    const uint64_t brokenTicket = index.addSoon(makeInstance({&patients[0], &later, 1, 2}), "../outside.dcm");
    EXPECT_EQ(index.count(), storedInstances + 1);
    index.problem.clear();
    EXPECT_EQ(index.settle(brokenTicket), 0);
    EXPECT_NE(index.problem.find("outside.dcm"), std::string::npos) << index.problem;
    EXPECT_EQ(index.settle(0), 0);

    // An entry still waiting when the index closes is written then. The file
    // in the folder says otherwise, so a reopened index that had to learn
    // of it from the folder would answer "ON DISK".
    const StudyData onDisk{1, 8, "20240808", "0800", "ACC18", "ON DISK", {"CT", "CT"}};
    const StudyData waiting{1, 8, "20240808", "0800", "ACC18", "WAITING", {"CT", "CT"}};
    writeInstance(folder.path(), {&patients[0], &onDisk, 1, 1});
    EXPECT_NE(index.addSoon(makeInstance({&patients[0], &waiting, 1, 1}), fileNameOf(imageUid(1, 8, 1, 1))), 0u);
    closeIndex();
    StoreIndex reopened(GetParam().make());
    ASSERT_EQ(reopened.open(folder.path(), false), 1) << reopened.problem;
    EXPECT_EQ(valuesOf(ask(reopened, Model::studyRoot, "STUDY", {{studyInstanceUid, studyUid(1, 8)}, {studyDescription, ""}}),
                       studyDescription),
              (std::vector<std::string>{"WAITING"}));
}

TEST_P(StoreIndexTest, TwoThreadsAddAtOnce) {
    constexpr int perThread = 200;
    const StudyData threadStudies[2] = {{1, 5, "20220101", "0100", "T1", "THREAD ONE", {"CT", "CT"}},
                                        {2, 6, "20220202", "0200", "T2", "THREAD TWO", {"MR", "MR"}}};
    std::atomic<int> failures{0};
    std::atomic<int> queries{0};
    auto adder = [&](int which) {
        const StudyData& study = threadStudies[which];
        for (int image = 1; image <= perThread; ++image) {
            std::unique_ptr<DataSet> set = makeInstance({&patients[study.patient - 1], &study, 1, image});
            if (index.add(set.get(), fileNameOf(imageUid(study.patient, study.number, 1, image))) != 1) ++failures;
            IndexedList<DataSet*> list;
            std::unique_ptr<DataSet> query = identifier("STUDY", {{patientName, "DOE*"}});
            if (index.find(Model::studyRoot, query.get(), list) != 1) ++failures;
            takeResults(list);
            ++queries;
        }
    };
    std::thread first(adder, 0);
    std::thread second(adder, 1);
    first.join();
    second.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(queries.load(), 2 * perThread);
    EXPECT_EQ(index.count(), storedInstances + 2 * perThread);
    // A range bound of less precision covers its whole year.
    const Answer year = ask(index, Model::studyRoot, "STUDY", {{studyDate, "2022-2022"}, {studyRelatedInstances, ""}});
    EXPECT_EQ(valuesOf(year, studyRelatedInstances), (std::vector<std::string>{"200", "200"}));
}

struct BadCase {
    const char* name;
    Model model;
    std::unique_ptr<DataSet> (*make)();
};

std::unique_ptr<DataSet> withLevel(const std::string& level, Tag tag, const std::vector<uint8_t>& bytes) {
    std::unique_ptr<DataSet> set = identifier(level, {});
    set->addElement(bytesElement(tag.group, tag.element, bytes));
    return set;
}

const BadCase badCases[] = {
    {"no level", Model::patientRoot, [] { return identifier("", {{patientName, "DOE*"}}); }},
    {"unknown level", Model::patientRoot, [] { return identifier("FRAME", {}); }},
    {"lower-case level", Model::patientRoot, [] { return identifier("study", {}); }},
    {"PATIENT in Study Root", Model::studyRoot, [] { return identifier("PATIENT", {}); }},
    {"level of 100 KB", Model::patientRoot, [] { return identifier(std::string(100000, 'S'), {}); }},
    {"level of binary garbage", Model::patientRoot,
     [] {
         auto set = std::make_unique<DataSet>();
         set->addElement(bytesElement(queryLevel.group, queryLevel.element, {0xFF, 0x00, 0x53, 0x9C, 0x01, 0x7F}));
         return set;
     }},
    {"name of 100 KB", Model::patientRoot, [] { return identifier("PATIENT", {{patientName, std::string(100000, 'A')}}); }},
    {"one list value of 2 KB", Model::studyRoot,
     [] { return identifier("STUDY", {{studyDescription, "A\\" + std::string(2048, 'B')}}); }},
    {"name of binary garbage", Model::patientRoot,
     [] { return withLevel("PATIENT", patientName, {0x44, 0x00, 0x4F, 0x01, 0xFE, 0x02, 0x1F, 0x20}); }},
    {"UID with a control character", Model::studyRoot, [] { return withLevel("STUDY", studyInstanceUid, {'1', '.', '2', 0x05}); }},
    {"date with a zero byte inside", Model::studyRoot, [] { return withLevel("STUDY", studyDate, {'2', '0', 0x00, '4'}); }},
    {"a list of 5000 UIDs", Model::studyRoot,
     [] {
         std::string list;
         for (int value = 0; value < 5000; ++value) list += (value == 0 ? "" : "\\") + std::to_string(value);
         return identifier("STUDY", {{studyInstanceUid, list}});
     }},
    {"a list of 100 names", Model::patientRoot,
     [] {
         std::string list;
         for (int value = 0; value < 100; ++value) list += "N" + std::to_string(value) + "\\";
         return identifier("PATIENT", {{patientName, list}});
     }},
};

TEST_P(StoreIndexTest, RefusesBadIdentifiersWithAProblemAndNoResults) {
    for (const BadCase& bad : badCases) {
        std::unique_ptr<DataSet> query = bad.make();
        IndexedList<DataSet*> list;
        index.problem.clear();
        EXPECT_EQ(index.find(bad.model, query.get(), list), 0) << bad.name;
        EXPECT_FALSE(index.problem.empty()) << bad.name;
        EXPECT_EQ(StoreIndex::lastProblem(), index.problem) << bad.name;
        EXPECT_LT(index.problem.size(), 200u) << bad.name;
        EXPECT_EQ(list.count(), 0u) << bad.name;
        takeResults(list);
        std::vector<StoreIndex::Instance> instances;
        std::unique_ptr<DataSet> again = bad.make();
        EXPECT_EQ(index.findInstances(bad.model, again.get(), instances), 0) << bad.name;
        EXPECT_TRUE(instances.empty()) << bad.name;
    }
    IndexedList<DataSet*> list;
    EXPECT_EQ(index.find(Model::patientRoot, nullptr, list), 0);
    // The index answers as before.
    EXPECT_EQ(index.count(), storedInstances);
    EXPECT_EQ(ask(index, Model::patientRoot, "PATIENT", {}).results.size(), 3u);
}

TEST_P(StoreIndexTest, ReturnsAnUnknownElementEmptyWhateverItHolds) {
    std::vector<uint8_t> garbage(100000);
    for (size_t position = 0; position < garbage.size(); ++position) garbage[position] = static_cast<uint8_t>(position * 13);
    std::unique_ptr<DataSet> query = withLevel("IMAGE", Tag{0x0011, 0x1010}, garbage);
    query->addElement(padded(sopInstanceUid, imageUid(2, 1, 1, 1), vrCode('U', 'I')));
    IndexedList<DataSet*> list;
    ASSERT_EQ(index.find(Model::patientRoot, query.get(), list), 1) << index.problem;
    const std::vector<Result> results = takeResults(list);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].at(Tag{0x0011, 0x1010}.code()).bytes, "");
}

TEST_P(StoreIndexTest, FindsTheInstancesToMoveAtEachLevel) {
    std::vector<StoreIndex::Instance> instances;
    std::unique_ptr<DataSet> study = identifier("STUDY", {{studyInstanceUid, studyUid(2, 1)}});
    ASSERT_EQ(index.findInstances(Model::studyRoot, study.get(), instances), 1) << index.problem;
    ASSERT_EQ(instances.size(), 6u);
    EXPECT_EQ(instances[0].path, folder.path() + "/" + fileNameOf(imageUid(2, 1, 1, 1)));
    EXPECT_EQ(instances[0].sopClassUid, ctClass);
    EXPECT_EQ(instances[0].sopInstanceUid, imageUid(2, 1, 1, 1));
    EXPECT_EQ(instances[5].sopClassUid, mrClass);
    EXPECT_EQ(instances[5].sopInstanceUid, imageUid(2, 1, 2, 3));
    for (const StoreIndex::Instance& instance : instances) EXPECT_TRUE(fileExists(instance.path)) << instance.path;

    struct Level {
        Model model;
        const char* level;
        std::vector<Key> keys;
        size_t expected;
    };
    const Level levels[] = {
        {Model::patientRoot, "PATIENT", {{patientId, "PID003"}}, 12},
        {Model::patientRoot, "PATIENT", {{patientId, "PID001\\PID002"}}, 18},
        {Model::patientRoot, "STUDY", {{patientId, "PID001"}, {studyInstanceUid, studyUid(1, 2)}}, 6},
        {Model::studyRoot, "SERIES", {{studyInstanceUid, studyUid(3, 2)}, {seriesInstanceUid, seriesUid(3, 2, 2)}}, 3},
        {Model::studyRoot, "IMAGE", {{sopInstanceUid, imageUid(3, 2, 2, 2)}}, 1},
        {Model::patientRoot, "IMAGE", {{sopInstanceUid, imageUid(3, 2, 2, 2) + "\\" + imageUid(1, 1, 1, 3)}}, 2},
        {Model::patientRoot, "STUDY", {{patientId, "PID002"}, {studyInstanceUid, studyUid(1, 2)}}, 0},  // not that patient's
    };
    for (const Level& level : levels) {
        std::vector<StoreIndex::Instance> found;
        std::unique_ptr<DataSet> query = identifier(level.level, level.keys);
        ASSERT_EQ(index.findInstances(level.model, query.get(), found), 1) << level.level << ": " << index.problem;
        EXPECT_EQ(found.size(), level.expected) << level.level;
    }
}

TEST_P(StoreIndexTest, RefusesAMoveWithoutTheUniqueKeyOfItsLevel) {
    const std::vector<Key> withoutUnique[] = {{}, {{studyInstanceUid, ""}}, {{studyInstanceUid, "*"}}, {{patientId, "PID001"}}};
    for (const std::vector<Key>& keys : withoutUnique) {
        std::vector<StoreIndex::Instance> instances;
        std::unique_ptr<DataSet> query = identifier("STUDY", keys);
        EXPECT_EQ(index.findInstances(Model::patientRoot, query.get(), instances), 0);
        EXPECT_NE(index.problem.find("(0020,000D)"), std::string::npos) << index.problem;
        EXPECT_TRUE(instances.empty());
    }
}

TEST_P(StoreIndexTest, RefusesAnObjectWithoutItsUidsOrWithAFileNameOutsideTheFolder) {
    std::unique_ptr<DataSet> withoutSeries = makeInstance({&patients[0], &studies[0], 1, 1});
    std::unique_ptr<DataSet> stripped = std::make_unique<DataSet>();
    while (DataElement* element = withoutSeries->nextElement()) {
        if (element->group == seriesInstanceUid.group && element->element == seriesInstanceUid.element) {
            delete element;
        } else if (stripped->addElement(element) == 0) {
            delete element;
        }
    }
    EXPECT_EQ(index.add(stripped.get(), "x.dcm"), 0);
    EXPECT_NE(index.problem.find("Series Instance UID"), std::string::npos) << index.problem;
    for (const char* name : {"", ".", "..", "../escape.dcm", "sub/inner.dcm", "back\\slash.dcm"}) {
        EXPECT_EQ(index.add(makeInstance({&patients[0], &studies[0], 1, 1}).get(), name), 0) << name;
        EXPECT_EQ(index.addFile(name), 0) << name;
    }
    EXPECT_EQ(index.add(nullptr, "x.dcm"), 0);
    EXPECT_EQ(index.addFile("missing.dcm"), 0);
    EXPECT_EQ(index.count(), storedInstances);
}

TEST_P(StoreIndexTest, AddsAFileFromTheFolder) {
    const StudyData late{3, 4, "20260101", "0000", "ACC34", "FROM FILE", {"MR", "MR"}};
    writeInstance(folder.path(), {&patients[2], &late, 1, 1});
    ASSERT_EQ(index.addFile(fileNameOf(imageUid(3, 4, 1, 1))), 1) << index.problem;
    EXPECT_EQ(index.count(), storedInstances + 1);
    EXPECT_EQ(valuesOf(ask(index, Model::studyRoot, "STUDY", {{studyDescription, "FROM*"}}), studyInstanceUid),
              (std::vector<std::string>{studyUid(3, 4)}));
}

TEST(StoreIndex, RefusesAFolderThatIsNotThere) {
    TemporaryDirectory folder;
    StoreIndex index;
    EXPECT_EQ(index.open(folder.file("absent"), false), 0);
    EXPECT_NE(index.problem.find("absent"), std::string::npos);
    IndexedList<DataSet*> list;
    std::unique_ptr<DataSet> query = identifier("PATIENT", {});
    EXPECT_EQ(index.find(Model::patientRoot, query.get(), list), 0);
    EXPECT_EQ(index.add(query.get(), "x.dcm"), 0);
    EXPECT_EQ(index.count(), 0);
}

TEST(StoreIndex, KeepsItsDatabaseOutOfTheNamesOfStoredObjects) {
    TemporaryDirectory folder;
    StoreIndex index;
    ASSERT_EQ(index.open(folder.path(), false), 1) << index.problem;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(".dcm"), std::string::npos) << name;
    }
    EXPECT_TRUE(fileExists(folder.file("index.sqlite")));
}

}  // namespace
