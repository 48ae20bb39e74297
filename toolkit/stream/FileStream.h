#ifndef DICOMTOOLKIT_STREAM_FILESTREAM_H
#define DICOMTOOLKIT_STREAM_FILESTREAM_H

#include <cstdint>
#include <cstdio>

#include "../network/PdvBuffer.h"

// A ByteStream over a standard I/O file handle, which the stream does not
// own: only closeFile closes it. The inherited forwarding target stays unused.
class FileStream : public PdvBuffer {
public:
    FileStream();
    ~FileStream() override;

    // Opens for reading, other writers denied where the platform can.
    int openForReading(const char* path);
    // Creates or truncates the file.
    int openForWriting(const char* path);
    // Closes the file. Returns 0 when buffered data could not be written out.
    int closeFile();

    // Makes the rest of the file, from the current position, the stream's
    // input: deferred input (see ByteStream) when the file's size is known,
    // so that values are read once, straight into their elements; otherwise
    // read at once in blocks of up to 4 MiB. 1, or 0 when the rest is more
    // than a stream can count (4 GiB - 1 bytes) and nothing was read.
    int readToEnd();
    // Up to maximum bytes; -1 once the end was reached or on a read error.
    int rawRead(uint8_t* buffer, uint32_t maximum) override;
    // 1 when every byte was written, 0 otherwise; a failure is also kept in
    // writeFailed, since a flush does not look at the result.
    int rawWrite(const uint8_t* buffer, uint32_t count) override;

    std::FILE* file = nullptr;
    int32_t writeFailed = 0;
};

#endif
