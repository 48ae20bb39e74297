#include <gtest/gtest.h>

#include <vector>

#include "../support/TemporaryFiles.h"
#include "stream/FileStream.h"

namespace {

// Records what each rawRead returned.
class RecordingFileStream : public FileStream {
public:
    int rawRead(uint8_t* buffer, uint32_t maximum) override {
        const int result = FileStream::rawRead(buffer, maximum);
        maxima.push_back(maximum);
        results.push_back(result);
        return result;
    }
    std::vector<uint32_t> maxima;
    std::vector<int> results;
};

}  // namespace

TEST(FileStream, EndOfFileIsSeenOnTheReadAfterTheLastBytes) {
    struct Case {
        size_t size;
        int readAheadResult;
        std::vector<int> results;
    };
    const Case cases[] = {
        {10, 0, {10, -1}},
        {2048, 0, {1024, 1024, 0, -1}},
        {0, 0, {0, -1}},
    };
    TemporaryDirectory directory;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string path = directory.file("input");
        writeFile(path, std::vector<uint8_t>(c.size, 0x42));
        RecordingFileStream stream;
        ASSERT_EQ(stream.openForReading(path.c_str()), 1);
        EXPECT_EQ(stream.readAhead(50000), c.readAheadResult);
        EXPECT_EQ(stream.results, c.results);
        EXPECT_EQ(stream.maxima.front(), 1024u);
        EXPECT_EQ(stream.availableCount(), c.size);
        stream.closeFile();
    }
}

TEST(FileStream, OpeningAMissingFileFails) {
    FileStream stream;
    EXPECT_EQ(stream.openForReading("/nonexistent/file"), 0);
    EXPECT_EQ(stream.file, nullptr);
    EXPECT_EQ(stream.openForWriting("/nonexistent/file"), 0);
}

TEST(FileStream, DestructionLeavesTheFileOpen) {
    TemporaryDirectory directory;
    const std::string path = directory.file("kept");
    writeFile(path, {1, 2, 3});
    std::FILE* file = nullptr;
    {
        FileStream stream;
        ASSERT_EQ(stream.openForReading(path.c_str()), 1);
        file = stream.file;
    }
    uint8_t byte = 0;
    EXPECT_EQ(std::fread(&byte, 1, 1, file), 1u);  // still usable
    EXPECT_EQ(byte, 1);
    std::fclose(file);
}

TEST(FileStream, WritesThroughFlushAndReadsBack) {
    TemporaryDirectory directory;
    const std::string path = directory.file("written");
    std::vector<uint8_t> data(70000);
    for (size_t index = 0; index < data.size(); ++index) data[index] = static_cast<uint8_t>(index % 251);
    {
        FileStream stream;
        ASSERT_EQ(stream.openForWriting(path.c_str()), 1);
        stream.writeBytes(data.data(), static_cast<uint32_t>(data.size()));
        stream.flush();
        EXPECT_EQ(stream.writeFailed, 0);
        EXPECT_EQ(stream.closeFile(), 1);
    }
    EXPECT_EQ(readFile(path), data);
}

TEST(FileStream, WriteErrorsAreDetected) {
    if (!fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full on this machine";
    FileStream stream;
    ASSERT_EQ(stream.openForWriting("/dev/full"), 1);
    std::vector<uint8_t> data(100000, 7);
    stream.writeBytes(data.data(), static_cast<uint32_t>(data.size()));
    stream.flush();
    // The first block handed on is larger than the runtime's buffer: the
    // device refuses it at once, whatever the close reports later.
    EXPECT_EQ(stream.writeFailed, 1);
    stream.closeFile();
}

TEST(FileStream, ReadToEndDefersTheRestAndValuesAreReadOnceWhenReached) {
    TemporaryDirectory directory;
    const std::string path = directory.file("input");
    std::vector<uint8_t> bytes(300000);
    for (size_t index = 0; index < bytes.size(); ++index) bytes[index] = static_cast<uint8_t>(index * 31);
    writeFile(path, bytes);
    RecordingFileStream stream;
    ASSERT_EQ(stream.openForReading(path.c_str()), 1);
    ASSERT_EQ(std::fseek(stream.file, 100, SEEK_SET), 0);  // after a preamble, say
    ASSERT_EQ(stream.readToEnd(), 1);
    EXPECT_EQ(stream.availableCount(), 299900u);
    EXPECT_TRUE(stream.maxima.empty());
    std::vector<uint8_t> rest(299900);
    ASSERT_EQ(stream.readBytes(rest.data(), 299900), 1);
    EXPECT_EQ(stream.maxima, (std::vector<uint32_t>{299900}));
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), bytes.begin() + 100));
    EXPECT_EQ(stream.inputFailed, 0);
    stream.closeFile();
}
