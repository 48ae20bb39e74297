#ifndef TESTS_SUPPORT_DAMAGE_H
#define TESTS_SUPPORT_DAMAGE_H

#include <cstdint>
#include <random>
#include <vector>

// Flips bytes, rewrites lengths with extreme values, or cuts the input short.
inline std::vector<uint8_t> damaged(std::vector<uint8_t> bytes, std::mt19937& random) {
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int change = 0; change < changes && !bytes.empty(); ++change) {
        const size_t at = random() % bytes.size();
        switch (random() % 4) {
            case 0:
                bytes[at] = static_cast<uint8_t>(random());
                break;
            case 1:
                for (size_t index = at; index < at + 4 && index < bytes.size(); ++index) bytes[index] = 0xFF;
                break;
            case 2:
                for (size_t index = at; index < at + 4 && index < bytes.size(); ++index) {
                    bytes[index] = static_cast<uint8_t>(index == at + 3 ? 0x7F : 0xF0);
                }
                break;
            default:
                bytes.resize(at);
                break;
        }
    }
    return bytes;
}

#endif
