#include "IndexAttributes.h"

#include <cstdio>

const char* const levelNames[levelCount] = {"PATIENT", "STUDY", "SERIES", "IMAGE"};

namespace {

constexpr Attribute stored(uint16_t group, uint16_t element, uint16_t vr, Level level, const char* column,
                           Matching matching) {
    return Attribute{group, element, vr, level, column, matching, Source::stored, level};
}

// Number of Patient/Study/Series Related Studies, Series or Instances.
constexpr Attribute counted(uint16_t group, uint16_t element, Level level, Level below) {
    return Attribute{group, element, vrCode('I', 'S'), level, nullptr, Matching::none, Source::count, below};
}

constexpr Attribute gathered(uint16_t group, uint16_t element, uint16_t vr, Level level, const char* column, Level below,
                             Matching matching) {
    return Attribute{group, element, vr, level, column, matching, Source::distinctValues, below};
}

// The attributes of the Patient Root and Study Root models kept in the index.
// In Study Root the patient attributes are attributes of the study.
const Attribute attributes[] = {
    // PATIENT
    stored(0x0010, 0x0010, vrCode('P', 'N'), patientLevel, "patient_name", Matching::personName),
    stored(0x0010, 0x0020, vrCode('L', 'O'), patientLevel, "patient_id", Matching::text),
    stored(0x0010, 0x0021, vrCode('L', 'O'), patientLevel, "issuer_of_patient_id", Matching::text),
    stored(0x0010, 0x0030, vrCode('D', 'A'), patientLevel, "patient_birth_date", Matching::date),
    stored(0x0010, 0x0032, vrCode('T', 'M'), patientLevel, "patient_birth_time", Matching::time),
    stored(0x0010, 0x0040, vrCode('C', 'S'), patientLevel, "patient_sex", Matching::text),
    stored(0x0010, 0x1000, vrCode('L', 'O'), patientLevel, "other_patient_ids", Matching::text),
    stored(0x0010, 0x2160, vrCode('S', 'H'), patientLevel, "ethnic_group", Matching::text),
    stored(0x0010, 0x4000, vrCode('L', 'T'), patientLevel, "patient_comments", Matching::none),
    counted(0x0020, 0x1200, patientLevel, studyLevel),
    counted(0x0020, 0x1202, patientLevel, seriesLevel),
    counted(0x0020, 0x1204, patientLevel, imageLevel),
    // STUDY
    stored(0x0008, 0x0020, vrCode('D', 'A'), studyLevel, "study_date", Matching::date),
    stored(0x0008, 0x0030, vrCode('T', 'M'), studyLevel, "study_time", Matching::time),
    stored(0x0008, 0x0050, vrCode('S', 'H'), studyLevel, "accession_number", Matching::text),
    gathered(0x0008, 0x0061, vrCode('C', 'S'), studyLevel, "modality", seriesLevel, Matching::modalities),
    gathered(0x0008, 0x0062, vrCode('U', 'I'), studyLevel, "sop_class_uid", imageLevel, Matching::none),
    stored(0x0008, 0x0090, vrCode('P', 'N'), studyLevel, "referring_physician_name", Matching::personName),
    stored(0x0008, 0x1030, vrCode('L', 'O'), studyLevel, "study_description", Matching::text),
    stored(0x0010, 0x1010, vrCode('A', 'S'), studyLevel, "patient_age", Matching::exact),
    stored(0x0010, 0x1020, vrCode('D', 'S'), studyLevel, "patient_size", Matching::exact),
    stored(0x0010, 0x1030, vrCode('D', 'S'), studyLevel, "patient_weight", Matching::exact),
    stored(0x0020, 0x000D, vrCode('U', 'I'), studyLevel, "study_instance_uid", Matching::uid),
    stored(0x0020, 0x0010, vrCode('S', 'H'), studyLevel, "study_id", Matching::text),
    counted(0x0020, 0x1206, studyLevel, seriesLevel),
    counted(0x0020, 0x1208, studyLevel, imageLevel),
    // SERIES
    stored(0x0008, 0x0021, vrCode('D', 'A'), seriesLevel, "series_date", Matching::date),
    stored(0x0008, 0x0031, vrCode('T', 'M'), seriesLevel, "series_time", Matching::time),
    stored(0x0008, 0x0060, vrCode('C', 'S'), seriesLevel, "modality", Matching::text),
    stored(0x0008, 0x103E, vrCode('L', 'O'), seriesLevel, "series_description", Matching::text),
    stored(0x0018, 0x0015, vrCode('C', 'S'), seriesLevel, "body_part_examined", Matching::text),
    stored(0x0020, 0x000E, vrCode('U', 'I'), seriesLevel, "series_instance_uid", Matching::uid),
    stored(0x0020, 0x0011, vrCode('I', 'S'), seriesLevel, "series_number", Matching::exact),
    counted(0x0020, 0x1209, seriesLevel, imageLevel),
    // IMAGE
    stored(0x0008, 0x0016, vrCode('U', 'I'), imageLevel, "sop_class_uid", Matching::uid),
    stored(0x0008, 0x0018, vrCode('U', 'I'), imageLevel, "sop_instance_uid", Matching::uid),
    stored(0x0008, 0x0023, vrCode('D', 'A'), imageLevel, "content_date", Matching::date),
    stored(0x0008, 0x0033, vrCode('T', 'M'), imageLevel, "content_time", Matching::time),
    stored(0x0020, 0x0013, vrCode('I', 'S'), imageLevel, "instance_number", Matching::exact),
    // The transfer syntax the file is kept in, for the sub-associations of
    // a retrieval to propose; never a key or a return key (group 0002 is no
    // part of an identifier).
    stored(0x0002, 0x0010, vrCode('U', 'I'), imageLevel, "transfer_syntax_uid", Matching::none),
};

}  // namespace

const Attribute* findAttribute(uint16_t group, uint16_t element) {
    for (const Attribute& attribute : attributes) {
        if (attribute.group == group && attribute.element == element) return &attribute;
    }
    return nullptr;
}

const Attribute& uniqueKey(Level level) {
    static const Attribute* const keys[] = {findAttribute(0x0010, 0x0020), findAttribute(0x0020, 0x000D),
                                            findAttribute(0x0020, 0x000E), findAttribute(0x0008, 0x0018)};
    return *keys[level];
}

const std::vector<const Attribute*>& storedAttributes(Level level) {
    static const auto lists = [] {
        std::vector<std::vector<const Attribute*>> made(levelCount);
        for (const Attribute& attribute : attributes) {
            if (attribute.source == Source::stored) made[attribute.level].push_back(&attribute);
        }
        return made;
    }();
    return lists[level];
}

bool hasKeyForm(const Attribute& attribute) {
    return attribute.source == Source::stored &&
           (attribute.matching == Matching::personName || attribute.matching == Matching::date ||
            attribute.matching == Matching::time);
}

std::string shown(const std::string& text) {
    std::string out;
    for (size_t index = 0; index < text.size() && index < 32; ++index) {
        const auto character = static_cast<unsigned char>(text[index]);
        out += (character >= 0x20 && character < 0x7F) ? static_cast<char>(character) : '?';
    }
    if (text.size() > 32) out += "...";
    return out;
}

std::string storedText(const DataElement* element) {
    if (element == nullptr || element->value == nullptr || element->length == 0) return "";
    const char* bytes = reinterpret_cast<const char*>(element->value);
    const size_t length = element->length == 0xFFFFFFFFu ? 0 : element->length;
    size_t end = 0;
    while (end < length && bytes[end] != '\0') ++end;
    size_t begin = 0;
    while (begin < end && bytes[begin] == ' ') ++begin;
    while (end > begin && bytes[end - 1] == ' ') --end;
    return std::string(bytes + begin, end - begin);
}

std::string trimmedSpaces(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && text[begin] == ' ') ++begin;
    while (end > begin && text[end - 1] == ' ') --end;
    return text.substr(begin, end - begin);
}

std::string personNameKey(const std::string& name) {
    std::string key;
    std::string group;
    auto finishGroup = [&]() {
        while (!group.empty() && (group.back() == '^' || group.back() == ' ')) group.pop_back();
        key += group;
        group.clear();
    };
    for (char character : name) {
        if (character == '=') {
            finishGroup();
            key += '=';
        } else {
            group += (character >= 'a' && character <= 'z') ? static_cast<char>(character - 'a' + 'A') : character;
        }
    }
    finishGroup();
    while (!key.empty() && key.back() == '=') key.pop_back();
    return key;
}

std::string dateKey(const std::string& date, bool upper) {
    std::string digits;
    for (char character : date) {
        if (character != '.') digits += character;
    }
    if (digits.empty()) return digits;
    const char* fill = upper ? "99991231" : "00000101";
    if (digits.size() < 8) digits += std::string(fill + digits.size());
    return digits;
}

std::string timeKey(const std::string& time, bool upper) {
    std::string whole, fraction;
    bool inFraction = false;
    for (char character : time) {
        if (character == ':') continue;
        if (character == '.' && !inFraction) {
            inFraction = true;
            continue;
        }
        (inFraction ? fraction : whole) += character;
    }
    if (whole.empty() && fraction.empty()) return "";
    const char* fill = upper ? "235959" : "000000";
    if (whole.size() < 6) whole += std::string(fill + whole.size());
    if (fraction.size() > 6) fraction.resize(6);
    fraction += std::string(6 - fraction.size(), upper ? '9' : '0');
    return whole + "." + fraction;
}

std::string storedKey(const Attribute& attribute, const std::string& text) {
    switch (attribute.matching) {
        case Matching::personName: return personNameKey(text);
        case Matching::date: return dateKey(text, false);
        case Matching::time: return timeKey(text, false);
        default: return text;
    }
}

bool hasWildcard(const std::string& value) { return value.find_first_of("*?") != std::string::npos; }

bool onlyAsterisks(const std::string& value) {
    return !value.empty() && value.find_first_not_of('*') == std::string::npos;
}

std::string tagText(uint16_t group, uint16_t element) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "(%04X,%04X)", group, element);
    return tag;
}
