#include "Deflate.h"

#ifdef DICOMTOOLKIT_WITH_ZLIB

#include <zlib.h>

#include <new>

namespace {

constexpr uint32_t pieceSize = 65536;

// Raw deflate: negative window bits leave out the zlib header and checksum.
constexpr int rawWindowBits = -MAX_WBITS;

}  // namespace

bool deflateSupported() { return true; }

int inflateInput(ByteStream& source, ByteStream& target, uint32_t limit) {
    z_stream zip{};
    if (inflateInit2(&zip, rawWindowBits) != Z_OK) return 0;
    auto* input = new (std::nothrow) uint8_t[pieceSize];
    auto* output = new (std::nothrow) uint8_t[pieceSize];
    uint64_t produced = 0;
    int status = Z_OK;
    int result = input != nullptr && output != nullptr ? 1 : 0;
    while (result == 1 && status != Z_STREAM_END) {
        if (zip.avail_in == 0) {
            const uint32_t take = source.availableCount() < pieceSize ? source.availableCount() : pieceSize;
            // The input ended before the deflate stream did.
            if (take == 0 || source.readBytes(input, take) == 0) {
                result = 0;
                break;
            }
            zip.next_in = input;
            zip.avail_in = take;
        }
        zip.next_out = output;
        zip.avail_out = pieceSize;
        status = inflate(&zip, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            result = 0;
            break;
        }
        const uint32_t got = pieceSize - zip.avail_out;
        produced += got;
        if (produced > limit || (got != 0 && target.writeBytes(output, got) == 0)) result = 0;
    }
    // Whatever follows the deflate stream (a pad byte some writers add) is not data.
    if (result == 1 && source.availableCount() != 0) source.skip(source.availableCount());
    inflateEnd(&zip);
    delete[] input;
    delete[] output;
    return result;
}

int deflateOutput(ByteStream& source, ByteStream& target) {
    z_stream zip{};
    if (deflateInit2(&zip, Z_DEFAULT_COMPRESSION, Z_DEFLATED, rawWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return 0;
    }
    auto* output = new (std::nothrow) uint8_t[pieceSize];
    int result = output != nullptr ? 1 : 0;
    const uint32_t chunks = source.outputChunks.count();
    for (uint32_t index = 0; result == 1 && index <= chunks; ++index) {
        const bool last = index == chunks;
        if (!last) {
            StreamChunk* chunk = source.outputChunks.at(index)->element;
            zip.next_in = chunk->data + chunk->start;
            zip.avail_in = chunk->position - chunk->start;
        }
        int status;
        do {
            zip.next_out = output;
            zip.avail_out = pieceSize;
            status = deflate(&zip, last ? Z_FINISH : Z_NO_FLUSH);
            if (status == Z_STREAM_ERROR) {
                result = 0;
                break;
            }
            const uint32_t got = pieceSize - zip.avail_out;
            if (got != 0 && target.writeBytes(output, got) == 0) {
                result = 0;
                break;
            }
        } while (last ? status != Z_STREAM_END : zip.avail_in != 0 || zip.avail_out == 0);
    }
    deflateEnd(&zip);
    delete[] output;
    source.discardOutput();
    return result;
}

#else

bool deflateSupported() { return false; }

int inflateInput(ByteStream&, ByteStream&, uint32_t) { return 0; }

int deflateOutput(ByteStream& source, ByteStream&) {
    source.discardOutput();
    return 0;
}

#endif
