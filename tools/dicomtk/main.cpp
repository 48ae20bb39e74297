// dicomtk: the toolkit's command line.
//   dicomtk dump FILE...
//   dicomtk copy --mode 1|2|3 IN OUT
//   dicomtk copy --explicit [--dictionary FILE] IN OUT
//   dicomtk convert --plugin NAME|PATH IN OUT.bmp
//   dicomtk echo [-aet AET] [-aec AET] [--repeat N] HOST PORT
//   dicomtk store [-aet AET] [-aec AET] [-r] HOST PORT FILE|DIR...
//   dicomtk find [-P|-S] [-L LEVEL] [-k KEY[=VALUE]]... HOST PORT
//   dicomtk move [-P|-S] -L LEVEL [-k KEY=VALUE]... --dest AET HOST PORT
//   dicomtk get [-P|-S] -L LEVEL [-k KEY=VALUE]... [--out DIR] HOST PORT
//   dicomtk serve [--port P] [--store-dir DIR] [...]
// Every command takes --log-level LEVEL after its name.

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Log.h"
#include "common/OutputFile.h"
#include "platform/Pages.h"

namespace {

const char* const mainHelp =
    "usage: dicomtk COMMAND [--help] ARGUMENTS\n"
    "\n"
    "commands:\n"
    "  dump FILE...                       print the elements of DICOM files\n"
    "  copy --mode 1|2|3 IN OUT           load a DICOM file and save it in a file mode\n"
    "  copy --explicit IN OUT             save a file read in implicit VR as explicit VR\n"
    "  convert --plugin NAME|PATH IN OUT  convert a DICOM image with a viewer plug-in to BMP\n"
    "  echo [-aet AET] [-aec AET] [--repeat N] HOST PORT\n"
    "                                     verify that a DICOM peer answers (C-ECHO)\n"
    "  store [-aet AET] [-aec AET] [-r] HOST PORT FILE|DIR...\n"
    "                                     send DICOM files to a peer (C-STORE)\n"
    "  find [-aet AET] [-aec AET] [-P|-S] [-L LEVEL] [-k KEY[=VALUE]]... HOST PORT\n"
    "                                     query a peer (C-FIND)\n"
    "  move [-aet AET] [-aec AET] [-P|-S] -L LEVEL [-k KEY=VALUE]... --dest AET HOST PORT\n"
    "                                     have a peer send what matches to AET (C-MOVE)\n"
    "  get [-aet AET] [-aec AET] [-P|-S] -L LEVEL [-k KEY=VALUE]... [--out DIR] HOST PORT\n"
    "                                     fetch what matches from a peer into DIR (C-GET)\n"
    "  serve [--port P] [--store-dir DIR] [--log-format text|json] [...]\n"
    "                                     a storage and query/retrieve server (C-ECHO,\n"
    "                                     C-STORE, C-FIND, C-MOVE, C-GET)\n"
    "\n"
    "Every command takes --log-level error|warning|info|debug after its name\n"
    "(info unless given): the least important kind of message it prints.\n";

const char* const copyHelp =
    "usage: dicomtk copy --mode 1|2|3 [--keep-undefined-lengths] [--group-length keep|add|remove] IN OUT\n"
    "       dicomtk copy --explicit [--dictionary FILE] [--group-length keep|add|remove] IN OUT\n"
    "\n"
    "Loads the DICOM file IN and saves its data set as OUT:\n"
    "  1  the data set alone, implicit VR little endian, no preamble\n"
    "  2  preamble, DICM and file meta information, all implicit VR little endian\n"
    "  3  preamble, DICM, meta information in explicit VR little endian, then the\n"
    "     data set in the transfer syntax that (0002,0010) names\n"
    "The meta information group is added when the data set has none. A file at\n"
    "OUT is replaced only once the copy is complete; a failed copy leaves it as\n"
    "it was. Sequences and items are written with exact lengths; with\n"
    "--keep-undefined-lengths those that came with undefined lengths keep them,\n"
    "with their delimiters. Compressed (encapsulated) pixel data are copied byte\n"
    "for byte, in mode 3 only: modes 1 and 2 would store them as if they were\n"
    "uncompressed.\n"
    "Group length elements (gggg,0000) are written where IN has them, with\n"
    "their values recomputed (--group-length keep, the default), before every\n"
    "group (add) or nowhere (remove); the meta information group always has\n"
    "its own.\n"
    "--explicit saves as mode 3 in explicit VR little endian: a file read in\n"
    "implicit VR gets the VRs of the data dictionary (UN for elements it does\n"
    "not know, such as private ones). The standard dictionary is found without\n"
    "an option; --dictionary FILE or DICOMTK_DICTIONARY names another one.\n";

}  // namespace

int runCopy(const std::vector<std::string>& arguments, const std::string& programPath) {
    int mode = 0;
    bool explicitVr = false;
    std::string dictionaryPath;
    bool keepUndefinedLengths = false;
    int32_t groupLengths = StandardEncodingService::keepGroupLengths;
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
        } else if (argument == "--explicit") {
            explicitVr = true;
        } else if (argument == "--dictionary" && index + 1 < arguments.size()) {
            dictionaryPath = arguments[++index];
        } else if (argument == "--keep-undefined-lengths") {
            keepUndefinedLengths = true;
        } else if (argument == "--group-length" && index + 1 < arguments.size()) {
            const std::string& value = arguments[++index];
            if (value == "keep") {
                groupLengths = StandardEncodingService::keepGroupLengths;
            } else if (value == "add") {
                groupLengths = StandardEncodingService::addGroupLengths;
            } else if (value == "remove") {
                groupLengths = StandardEncodingService::removeGroupLengths;
            } else {
                std::cerr << copyHelp;
                return fail("copy", "--group-length takes keep, add or remove, not " + value);
            }
        } else if (!argument.empty() && argument[0] == '-') {
            std::cerr << copyHelp;
            return fail("copy", "unknown option " + argument);
        } else {
            paths.push_back(argument);
        }
    }
    if (explicitVr && (mode == 0 || mode == 3)) mode = FileWithHeaderExplicit;
    else if (explicitVr) mode = -1;
    if (mode <= 0 || paths.size() != 2) {
        std::cerr << copyHelp;
        return 2;
    }
    StandardEncodingService service;
    service.keepUndefinedLengths = keepUndefinedLengths ? 1 : 0;
    service.groupLengths = groupLengths;
    std::unique_ptr<ObjectDataSet> set(loadDicom(service, paths[0]));
    if (!set) return 1;
    if (mode != FileWithHeaderExplicit && holdsEncapsulatedPixelData(set.get())) {
        return fail(paths[0], "compressed pixel data can be copied in mode 3 only");
    }
    if (explicitVr) {
        DataDictionary dictionary(0, nullptr);
        const int found = loadDictionary(dictionary, dictionaryPath, programPath);
        if (found == 0) return fail("copy", "no data dictionary found (name one with --dictionary)");
        if (found < 0 || prepareExplicitLittleEndian(service, set.get(), dictionary, paths[0]) == 0) return 1;
    }
    OutputFile output(paths[1]);
    if (service.saveFile(output.path().c_str(), mode, set.get()) == 0 || output.commit() == 0) {
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
    // Taken out here once, so that every command accepts it.
    for (size_t index = 0; index < arguments.size(); ++index) {
        if (arguments[index] != "--log-level") continue;
        logging::Level level = logging::Level::info;
        if (index + 1 >= arguments.size() || !logging::parseLevel(arguments[index + 1], level)) {
            return fail(command, "--log-level takes error, warning, info or debug");
        }
        logging::setLevel(level);
        arguments.erase(arguments.begin() + static_cast<long>(index), arguments.begin() + static_cast<long>(index) + 2);
        break;
    }
    platform::keepFreedMemoryForReuse();
    if (command == "dump") return runDump(arguments, argv[0]);
    if (command == "copy") return runCopy(arguments, argv[0]);
    if (command == "convert") return runConvert(arguments, argv[0]);
    if (command == "echo") return runEcho(arguments);
    if (command == "store") return runStore(arguments, argv[0]);
    if (command == "serve") return runServe(arguments, argv[0]);
    if (command == "find") return runFind(arguments, argv[0]);
    if (command == "move") return runMove(arguments, argv[0]);
    if (command == "get") return runGet(arguments, argv[0]);
    std::cerr << mainHelp;
    return fail(command, "unknown command");
}
