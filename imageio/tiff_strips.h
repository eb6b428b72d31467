// Parallel strip encoding for TIFF files written through libtiff.
//
// Every strip of a file is compressed on its own, so strips can be encoded on
// several threads and written in order. DEFLATE and PACKBITS run through
// libtiff's own codecs on a private in-memory TIFF with the same tags, row by
// row as TIFFWriteScanline runs them (libtiff chooses its DEFLATE back end by
// the size of each encode call, so feeding whole strips would change the
// bytes); LZW runs through the own encoder of imageio/lzw_encode.h, which
// gives libtiff's bytes faster; uncompressed strips are the rows. The file is
// byte for byte the one the scanline writer makes.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quovix {

// What changes the encoded bytes of a strip. The image height matters too:
// libtiff sizes its output buffer from the full strip and picks its DEFLATE
// back end by the number of rows left in the strip being written.
struct StripLayout {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t rowsPerStrip = 32;
    uint16_t bitsPerSample = 8;
    uint16_t samplesPerPixel = 1;
    uint16_t compression = COMPRESSION_NONE;
    bool predictor = false;  // horizontal differencing
    bool bigEndian = false;  // byte order of the file
    int zipQuality = -1;     // DEFLATE level, -1: library default
    int deflateSubcodec = -1;  // -1: library default

    size_t rowBytes() const;
    uint32_t stripCount() const;
    uint32_t rowsInStrip(uint32_t strip) const;
};

// Reads the layout of an open, tagged TIFF that has no image data yet. Returns
// false with a reason for what the strip encoder does not reproduce: tiles,
// separate planes, compressions other than NONE, LZW, DEFLATE and PACKBITS,
// bit-reversed fill order.
bool readStripLayout(TIFF* tiff, StripLayout& layout, std::string& error);

// One encoded strip: the bytes the scanline writer puts in the file for it.
struct EncodedStrip {
    // failedRow value for a codec failure when the strip is closed, which the
    // scanline writer meets when the next strip starts or at the final flush.
    static constexpr int64_t kEndOfStrip = -2;
    std::vector<uint8_t> bytes;
    // Set when the codec itself failed: the row whose scanline write failed.
    int64_t failedRow = -1;
    std::string error;
};

// Which encoder compresses LZW strips: the own one (imageio/lzw_encode.h,
// the same bytes, faster) or libtiff's.
enum class LzwCodec { Own, Libtiff };

// Encodes strips of one layout. Not thread-safe; one per worker, reused
// across strips (the in-memory TIFF is made once).
class StripEncoder {
public:
    explicit StripEncoder(const StripLayout& layout, LzwCodec lzw = LzwCodec::Own);
    ~StripEncoder();
    StripEncoder(const StripEncoder&) = delete;
    StripEncoder& operator=(const StripEncoder&) = delete;

    // Encodes strip `strip` from layout.rowsInStrip(strip) packed rows, which
    // are left unchanged. Returns false when the codec failed (out.failedRow
    // and out.error say where and why) or the layout cannot be opened.
    bool encode(uint32_t strip, const uint8_t* rows, EncodedStrip& out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Runs body(0) .. body(count - 1), possibly at the same time, and returns when
// all have finished. The run's worker pool can stand in for the default.
using ParallelFor = std::function<void(int count, const std::function<void(int index)>& body)>;

// Default ParallelFor: count - 1 new threads plus the calling one.
void parallelForThreads(int count, const std::function<void(int index)>& body);

// Fills rows [y0, y1) packed into dst. Called from the workers, for disjoint
// ranges at the same time. An exception it throws fails the write at that
// strip (std::bad_alloc as out of memory).
using RowFiller = std::function<void(uint32_t y0, uint32_t y1, uint8_t* dst)>;

struct StripWriteOptions {
    int workers = 1;
    // Strips encoded ahead of the one being written; 0: twice the workers.
    // Memory is about window encoded strips plus one strip of rows per worker.
    int window = 0;
    ParallelFor parallelFor;  // empty: parallelForThreads
    LzwCodec lzw = LzwCodec::Own;
};

enum class StripWriteStatus {
    Written,      // all strips written and the file flushed
    Unsupported,  // layout refused before anything was written
    Failed,       // a strip or the flush failed; the file is incomplete
};

struct StripWriteResult {
    StripWriteStatus status = StripWriteStatus::Written;
    // With Failed: the row the scanline writer reports ("Error writing
    // scanline %d"). A strip that cannot be written is reported at the first
    // row of the next strip, or at the last row for the last strip: the
    // scanline writer sends a strip out when the next one starts or at the
    // final flush, and a write failing in the middle of a strip (the codec
    // flushing a full buffer) makes TIFFWriteScanline return 0, not -1, so the
    // failure surfaces only when the strip is closed.
    int64_t failedRow = -1;
    std::string error;
    int systemError = 0;  // errno of a failed write or flush, 0 when unknown
    bool outOfMemory = false;  // a strip's buffers could not be allocated
};

// Writes a whole image of packed rows (layout.rowBytes() apart) to an open,
// tagged TIFF that holds no image data yet, then flushes it. The TIFF is not
// closed. The pixels are not modified.
StripWriteResult writeStripsParallel(TIFF* tiff, const uint8_t* pixels, const StripWriteOptions& options);
// The same with rows made per strip by the workers (conversions).
StripWriteResult writeStripsParallel(TIFF* tiff, const RowFiller& fillRows, const StripWriteOptions& options);

} // namespace quovix
