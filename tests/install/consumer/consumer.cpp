// A program written against the installed toolkit's public names: it builds a
// data set, drains it in tag order, copies it, saves and loads it with both
// services, and hands an image to each installed plug-in the way the viewer
// does.
#include <DicomToolkit/DicomToolkit.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

using ConvertFunction = int (*)(DataSet*, DataElement*, uint32_t, uint32_t, uint32_t, uint8_t*);
using OutputModeFunction = int (*)();

static DataElement* u16Element(uint16_t group, uint16_t element, uint16_t number) {
    DataElement* made = new DataElement(group, element, 2, 1);
    made->value[0] = static_cast<uint8_t>(number);
    made->value[1] = static_cast<uint8_t>(number >> 8);
    return made;
}

int main(int argc, char** argv) {
    ObjectDataSet image;
    image.addElement(u16Element(0x0028, 0x0101, 12));
    image.addElement(u16Element(0x0028, 0x0100, 16));
    DataElement* pixels = new DataElement(0x7FE0, 0x0010, 8, 1);
    const uint16_t samples[4] = {0x0ABC, 0x0FFF, 0x0000, 0x0800};
    std::memcpy(pixels->value, samples, 8);
    image.addElement(pixels);
    if (image.findU16(0x0028, 0x0100) != 16 || image.find(0x7FE0, 0x0010) != pixels) return 1;

    DataSet* copy = copyDataSet(nullptr, &image);
    int drained = 0;
    while (DataElement* element = copy->nextElement()) {
        ++drained;
        delete element;
    }
    delete copy;
    if (drained != 5) return 2;  // two group lengths and three elements

    // A DICOM file written and read back through the association service.
    AssociationService service;
    DataSet* saved = copyDataSet(nullptr, &image);
    const int written = service.saveFile("consumer.dcm", FileWithHeaderExplicit, saved);
    delete saved;
    ObjectDataSet* loaded = service.loadFile("consumer.dcm");
    if (written != 1 || loaded == nullptr || loaded->findU16(0x0028, 0x0101) != 12 ||
        loaded->find(0x0002, 0x0010) == nullptr) {
        return 6;
    }
    delete loaded;

    // Again with the standard encodings, deflated where the toolkit was
    // built with zlib (which then links into this program too).
    StandardEncodingService standard;
    const char* const syntax = StandardEncodingService::handlesTransferSyntax("1.2.840.10008.1.2.1.99")
                                   ? "1.2.840.10008.1.2.1.99"
                                   : "1.2.840.10008.1.2.1";
    DataSet* standardSet = copyDataSet(nullptr, &image);
    DataElement* uid = new DataElement(0x0002, 0x0010, static_cast<uint32_t>(std::strlen(syntax)), 1);
    std::memcpy(uid->value, syntax, std::strlen(syntax));
    standardSet->addElement(uid);
    const int standardWritten = standard.saveFile("consumer-standard.dcm", FileWithHeaderExplicit, standardSet);
    delete standardSet;
    int decoded = 0;
    ObjectDataSet* standardLoaded = standard.loadFile("consumer-standard.dcm", &decoded);
    if (standardWritten != 1 || standardLoaded == nullptr || decoded != 1 ||
        standardLoaded->findU16(0x0028, 0x0101) != 12) {
        return 7;
    }
    delete standardLoaded;

    if (argc > 1) {
        for (const char* name : {"liblumenar.so", "liblumenar_interactive.so", "libtonewell.so"}) {
            const std::string path = std::string(argv[1]) + "/" + name;
            void* library = dlopen(path.c_str(), RTLD_NOW);
            if (library == nullptr) return 3;
            auto convert = reinterpret_cast<ConvertFunction>(dlsym(library, "Convert"));
            auto outputMode = reinterpret_cast<OutputModeFunction>(dlsym(library, "OutputMode"));
            if (convert == nullptr || outputMode == nullptr) return 4;
            uint8_t raster[4] = {0, 0, 0, 0};
            if (convert(&image, pixels, 1, 4, 0, raster) != 1) return 5;
            std::printf("%s: %02X %02X %02X %02X\n", name, raster[0], raster[1], raster[2], raster[3]);
            dlclose(library);
        }
    }
    return 0;
}
