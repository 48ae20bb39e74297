// dicomtk: the toolkit's command line.
//   dicomtk dump FILE...
//   dicomtk copy --mode 1|2|3 IN OUT
//   dicomtk convert --plugin NAME|PATH IN OUT.bmp

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"

namespace {

const char* const mainHelp =
    "usage: dicomtk COMMAND [--help] ARGUMENTS\n"
    "\n"
    "commands:\n"
    "  dump FILE...                       print the elements of DICOM files\n"
    "  copy --mode 1|2|3 IN OUT           load a DICOM file and save it in a file mode\n"
    "  convert --plugin NAME|PATH IN OUT  convert a DICOM image with a viewer plug-in to BMP\n";

const char* const copyHelp =
    "usage: dicomtk copy --mode 1|2|3 [--keep-undefined-lengths] IN OUT\n"
    "\n"
    "Loads the DICOM file IN and saves its data set as OUT:\n"
    "  1  the data set alone, implicit VR little endian, no preamble\n"
    "  2  preamble, DICM and file meta information, all implicit VR little endian\n"
    "  3  preamble, DICM, meta information in explicit VR little endian, then the\n"
    "     data set in the transfer syntax that (0002,0010) names\n"
    "The meta information group is added when the data set has none. Sequences\n"
    "and items are written with exact lengths; with --keep-undefined-lengths\n"
    "those that came with undefined lengths keep them, with their delimiters.\n"
    "Compressed (encapsulated) pixel data are copied byte for byte, in mode 3\n"
    "only: modes 1 and 2 would store them as if they were uncompressed.\n";

}  // namespace

int runCopy(const std::vector<std::string>& arguments) {
    int mode = 0;
    bool keepUndefinedLengths = false;
    std::vector<std::string> paths;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--help" || argument == "-h") {
            std::cout << copyHelp;
            return 0;
        }
        if (argument == "--mode" && index + 1 < arguments.size()) {
            const std::string& value = arguments[++index];
            mode = (value == "1" || value == "2" || value == "3") ? value[0] - '0' : -1;
        } else if (argument == "--keep-undefined-lengths") {
            keepUndefinedLengths = true;
        } else if (!argument.empty() && argument[0] == '-') {
            std::cerr << copyHelp;
            return fail("copy", "unknown option " + argument);
        } else {
            paths.push_back(argument);
        }
    }
    if (mode <= 0 || paths.size() != 2) {
        std::cerr << copyHelp;
        return 2;
    }
    StandardEncodingService service;
    service.keepUndefinedLengths = keepUndefinedLengths ? 1 : 0;
    std::unique_ptr<ObjectDataSet> set(loadDicom(service, paths[0]));
    if (!set) return 1;
    if (mode != FileWithHeaderExplicit && holdsEncapsulatedPixelData(set.get())) {
        return fail(paths[0], "compressed pixel data can be copied in mode 3 only");
    }
    if (service.saveFile(paths[1].c_str(), mode, set.get()) == 0) {
        std::remove(paths[1].c_str());
        return fail(paths[1], "cannot write");
    }
    return 0;
}

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h") {
        std::cout << mainHelp;
        return arguments.empty() ? 2 : 0;
    }
    const std::string command = arguments[0];
    arguments.erase(arguments.begin());
    if (command == "dump") return runDump(arguments);
    if (command == "copy") return runCopy(arguments);
    if (command == "convert") return runConvert(arguments, argv[0]);
    std::cerr << mainHelp;
    return fail(command, "unknown command");
}
