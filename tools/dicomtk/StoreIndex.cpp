// The store index's questions (C-FIND, C-MOVE, the count): the level and
// model rules and the parsing of keys, the same for every backend, around
// the backend's answers.
//
// Matching of a key (an identifier element the attribute table of
// IndexAttributes.cpp knows, of the requested level or a level above; keys
// of lower levels are returned empty and restrict nothing):
// - empty, or only asterisks: universal, no restriction;
// - a list (values separated by backslashes): an entity matches when one
//   value matches; for UIDs up to 4096 values, for other keys up to 64;
// - UI: equality, never a wildcard;
// - DA and TM: a single value matches exactly (a date "2024" matches no
//   stored date; a time matches the same time of day, "1200" matching a
//   stored 120000 or 12:00:00.000 but not 120030); a range low-high, open
//   at either end, whose bound of less precision covers its whole year,
//   month, day, hour, minute or second ("2024-" starts on 1 January 2024,
//   "-1200" ends at 12:00:59.999999); a value with * or ? is a wildcard
//   pattern over the value without dots and colons; an entity without the
//   value never matches;
// - AE CS LO SH: equality, or with * and ? a wildcard pattern (nothing else
//   is special: brackets, % and _ are characters like any other);
//   case-sensitive;
// - PN: the same, case-insensitive for ASCII letters, trailing empty
//   components ignored;
// - AS DS IS: equality of the text;
// - ModalitiesInStudy: some series of the study has a matching Modality;
// - the counts, SOPClassesInStudy, PatientComments, Specific Character Set:
//   returned only.
// Values are compared without leading and trailing spaces. A key longer
// than 64 KiB, a value longer than 1 KiB, or a value holding control
// characters (other than ESC of the ISO 2022 character sets) refuses the
// identifier.
//
// Every result carries the Query/Retrieve Level, the unique keys of its
// level and those above (Patient Root: Patient ID at every level; Study
// Root: Study Instance UID at STUDY and below), and each element of the
// identifier: filled from the index when known at that level, with the VR
// of the attribute table; otherwise empty, with the VR it came with (UN when
// it came without one).

#include "StoreIndex.h"

#include <cstring>
#include <map>
#include <new>

#include "StoreIndexState.h"

using store_index::failed;

namespace {

// Bounds on what a key may hold; beyond them the identifier is refused.
constexpr uint32_t longestKeyElement = 65536;  // bytes of one element's value
constexpr size_t longestKeyValue = 1024;       // bytes of one value of a list
constexpr size_t mostUidValues = 4096;         // values of one UID list
constexpr size_t mostOtherValues = 64;         // values of one list of any other key

thread_local std::string threadProblem;

// The text of the Query/Retrieve Level, or 0 with problem set.
int levelOf(StoreIndex::Model model, DataSet* identifier, Level& level, std::string& problem) {
    if (identifier == nullptr) {
        problem = "no identifier";
        return 0;
    }
    const DataElement* found = identifier->find(levelGroup, levelElement);
    if (found == nullptr) {
        problem = "the identifier has no Query/Retrieve Level (0008,0052)";
        return 0;
    }
    std::string text;
    if (found->value != nullptr && found->length <= 64) {
        text.assign(reinterpret_cast<const char*>(found->value), found->length);
        while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
        text = trimmedSpaces(text);
    } else if (found->value != nullptr) {
        text.assign(reinterpret_cast<const char*>(found->value), 64);
    }
    for (int candidate = patientLevel; candidate <= imageLevel; ++candidate) {
        if (text == levelNames[candidate]) {
            level = static_cast<Level>(candidate);
            if (model == StoreIndex::Model::studyRoot && level == patientLevel) {
                problem = "the Study Root model has no PATIENT level";
                return 0;
            }
            if (model != StoreIndex::Model::studyRoot && model != StoreIndex::Model::patientRoot) {
                problem = "unknown query model";
                return 0;
            }
            return 1;
        }
    }
    problem = "the Query/Retrieve Level '" + shown(text) + "' is not PATIENT, STUDY, SERIES or IMAGE";
    return 0;
}

// Splits a key's value into its values (backslash-separated); universal
// when it matches everything. 0 with problem set for a value no text can
// be (control characters, absurd lengths).
int keyValues(const DataElement* element, const Attribute& attribute, std::vector<std::string>& values,
              bool& universal, std::string& problem) {
    const std::string tag = tagText(attribute.group, attribute.element);
    universal = true;
    values.clear();
    if (element->value == nullptr || element->length == 0 || element->length == 0xFFFFFFFFu) return 1;
    if (element->length > longestKeyElement) {
        problem = "the key " + tag + " is " + std::to_string(element->length) + " bytes long";
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(element->value), element->length);
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    for (char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if ((byte < 0x20 && byte != 0x1B) || byte == 0x7F) {
            problem = "the key " + tag + " holds binary data";
            return 0;
        }
    }
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\\', start);
        std::string value = trimmedSpaces(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (value.size() > longestKeyValue) {
            problem = "a value of the key " + tag + " is " + std::to_string(value.size()) + " bytes long";
            return 0;
        }
        // "*" matches everything, and so does a list holding it.
        if (onlyAsterisks(value)) {
            values.clear();
            return 1;
        }
        if (!value.empty()) values.push_back(value);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    const size_t most = attribute.matching == Matching::uid ? mostUidValues : mostOtherValues;
    if (values.size() > most) {
        problem = "the key " + tag + " has " + std::to_string(values.size()) + " values";
        return 0;
    }
    universal = values.empty();
    return 1;
}

// The matching keys of the identifier at the level or above, in the order
// of the identifier. Keys of the levels below are not matched.
int matchingKeys(DataSet* identifier, Level level, std::vector<KeyCondition>& keys, std::string& problem) {
    int result = 1;
    forEachElement(identifier, [&](DataElement* element) {
        if (result == 0) return;
        const Attribute* attribute = findAttribute(element->group, element->element);
        if (attribute == nullptr || attribute->matching == Matching::none || attribute->level > level) return;
        KeyCondition key{attribute, {}};
        bool universal = true;
        if (!keyValues(element, *attribute, key.values, universal, problem)) {
            result = 0;
            return;
        }
        if (!universal) keys.push_back(std::move(key));
    });
    return result;
}

// One element of each result: from column (an index into the row) or empty.
struct ResultElement {
    uint16_t group;
    uint16_t element;
    uint16_t vr;
    int column;  // -1: empty; -2: the level text
};

// A new element holding text padded to even length (zero byte for UIDs, space otherwise).
DataElement* paddedElement(const ResultElement& wanted, const std::string& text) {
    const bool odd = (text.size() & 1u) != 0;
    const auto length = static_cast<uint32_t>(text.size() + (odd ? 1 : 0));
    auto* made = new (std::nothrow) DataElement(wanted.group, wanted.element, length, 1);
    if (made == nullptr) return nullptr;
    if (made->value == nullptr && length != 0) {
        delete made;
        return nullptr;
    }
    if (!text.empty()) std::memcpy(made->value, text.data(), text.size());
    if (odd) made->value[length - 1] = wanted.vr == vrCode('U', 'I') ? '\0' : ' ';
    made->vr = wanted.vr;
    return made;
}

}  // namespace

namespace store_index {

int failed(std::string& problem, const std::string& why) {
    problem = why;
    threadProblem = why;
    return 0;
}

}  // namespace store_index

StoreIndex::StoreIndex() : StoreIndex(makeDefaultIndexBackend()) {}

StoreIndex::StoreIndex(std::unique_ptr<IndexBackend> backend) : state_(std::make_unique<State>(std::move(backend))) {}

StoreIndex::~StoreIndex() {
    if (state_->opened) state_->takeInWaiting();
    state_->backend->close();
}

std::string StoreIndex::lastProblem() { return threadProblem; }

long StoreIndex::count() {
    if (!state_->opened) return 0;
    const auto lock = state_->takenIn();
    return state_->backend->count();
}

int StoreIndex::find(Model model, DataSet* identifier, IndexedList<DataSet*>& results) {
    if (!state_->opened) return failed(problem, "the index is not open");
    const auto lock = state_->takenIn();
    std::string why;
    IndexQuery query;
    if (!levelOf(model, identifier, query.level, why) || !matchingKeys(identifier, query.level, query.keys, why)) {
        return failed(problem, why);
    }
    const Level level = query.level;

    // What each result holds: the requested keys, the level and the unique keys.
    std::map<uint32_t, ResultElement> wanted;
    std::vector<IndexField> fields;
    auto want = [&](uint16_t group, uint16_t element, uint16_t vr, bool known, const Attribute* attribute) {
        const uint32_t tag = (static_cast<uint32_t>(group) << 16) | element;
        if (wanted.count(tag) != 0) return;
        int column = -1;
        if (known) {
            column = static_cast<int>(fields.size());
            fields.push_back(IndexField{attribute});
        }
        wanted[tag] = ResultElement{group, element, vr, column};
    };
    want(levelGroup, levelElement, vrCode('C', 'S'), false, nullptr);
    wanted[(static_cast<uint32_t>(levelGroup) << 16) | levelElement].column = -2;
    const Level top = model == Model::studyRoot ? studyLevel : patientLevel;
    for (int above = top; above <= level; ++above) {
        const Attribute& key = uniqueKey(static_cast<Level>(above));
        want(key.group, key.element, key.vr, true, &key);
    }
    forEachElement(identifier, [&](DataElement* element) {
        if (element->element == 0x0000 || element->group == 0x0000 || element->group == 0x0002) return;
        if (element->group == characterSetGroup && element->element == characterSetElement) {
            want(element->group, element->element, vrCode('C', 'S'), true, nullptr);
            return;
        }
        const Attribute* attribute = findAttribute(element->group, element->element);
        if (attribute == nullptr) {
            want(element->group, element->element, element->vr != 0 ? element->vr : vrCode('U', 'N'), false, nullptr);
        } else {
            want(attribute->group, attribute->element, attribute->vr, attribute->level <= level, attribute);
        }
    });

    const uint32_t before = results.count();
    bool outOfMemory = false;
    auto answer = [&](const std::vector<std::string>& texts) {
        auto* result = new (std::nothrow) ObjectDataSet();
        if (result == nullptr) {
            outOfMemory = true;
            return 0;
        }
        for (const auto& [tag, element] : wanted) {
            const std::string text = element.column == -2   ? std::string(levelNames[level])
                                     : element.column == -1 ? std::string()
                                                            : texts[static_cast<size_t>(element.column)];
            DataElement* made = paddedElement(element, text);
            if (made == nullptr || result->addElement(made) == 0) {
                delete made;
                outOfMemory = true;
                break;
            }
        }
        if (outOfMemory || results.tryAppend(result) == 0) {
            delete result;
            outOfMemory = true;
            return 0;
        }
        return 1;
    };
    if (!state_->backend->find(query, fields, answer, why)) {
        if (outOfMemory) why = "out of memory";
        while (results.count() > before) {
            delete results.at(results.count() - 1)->element;
            results.removeAt(results.count() - 1);
        }
        return failed(problem, why);
    }
    return 1;
}

int StoreIndex::findInstances(Model model, DataSet* identifier, std::vector<Instance>& instances) {
    if (!state_->opened) return failed(problem, "the index is not open");
    const auto lock = state_->takenIn();
    std::string why;
    IndexQuery query;
    if (!levelOf(model, identifier, query.level, why)) return failed(problem, why);
    // A retrieval names what it wants by the unique key of its level: one
    // that is absent or matches everything would send the whole store.
    const Attribute& key = uniqueKey(query.level);
    const DataElement* named = identifier->find(key.group, key.element);
    std::vector<std::string> values;
    bool universal = true;
    if (named != nullptr && !keyValues(named, key, values, universal, why)) return failed(problem, why);
    if (universal) {
        return failed(problem, std::string("a retrieval at the ") + levelNames[query.level] +
                                   " level needs the unique key " + tagText(key.group, key.element) + " with a value");
    }
    if (!matchingKeys(identifier, query.level, query.keys, why)) return failed(problem, why);
    std::vector<IndexedInstance> found;
    if (!state_->backend->instances(query, found, why)) return failed(problem, why);
    for (IndexedInstance& instance : found) {
        instances.push_back(Instance{state_->folder + "/" + instance.fileName, std::move(instance.sopClassUid),
                                     std::move(instance.sopInstanceUid), std::move(instance.transferSyntaxUid)});
    }
    return 1;
}

int StoreIndex::pathOf(const std::string& sopInstanceUid, std::string& path) {
    if (!state_->opened) return failed(problem, "the index is not open");
    const auto lock = state_->takenIn();
    std::string fileName, why;
    if (!state_->backend->fileOf(sopInstanceUid, fileName, why)) return failed(problem, why);
    if (fileName.empty()) return 0;
    path = state_->folder + "/" + fileName;
    return 1;
}
