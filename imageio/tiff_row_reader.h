// Row-by-row reading of a TIFF from the top down, as the level files are
// read while they are combined. Striped files are decoded a whole strip at a
// time: LZW strips in the machine's byte order by imageio/lzw_decode.h, which
// is faster than libtiff's decoder, other codecs (and a strip the own decoder
// refuses) by libtiff. Tiled and separate-plane files go through libtiff's
// scanline reader.
#pragma once

#include "imageio/lzw_decode.h"
#include "support/status.h"

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quovix {

// Where a reader decodes its strips. Readers used one after another may share
// one set, so that many open files cost one strip of memory, not one each.
struct StripBuffers {
    std::vector<uint8_t> raw;   // the coded strip
    std::vector<uint8_t> rows;  // strips libtiff decoded
    LzwDecoder decoder;
};

class TiffRowReader {
public:
    // Not owned: the TIFF stays open for the reader's lifetime. The reader
    // decodes into buffers of its own until shareBuffers() is called.
    explicit TiffRowReader(TIFF* tiff);
    TiffRowReader(const TiffRowReader&) = delete;
    TiffRowReader& operator=(const TiffRowReader&) = delete;

    // Decodes into `buffers` (not owned) from now on. The strip held so far
    // is forgotten, since another reader may overwrite the buffers meanwhile:
    // call it again before each run of rows read while no other reader uses
    // the same buffers.
    void shareBuffers(StripBuffers& buffers);

    // Rows per strip (the file's height for a single strip; 1 for files read
    // by scanline). Runs of rows that start and end on strip boundaries
    // decode every strip once.
    uint32_t rowsPerStrip() const { return wholeStrips_ ? rowsPerStrip_ : 1; }
    // Whether rows come from whole strips (not from libtiff's scanline reader).
    bool decodesStrips() const { return wholeStrips_; }

    // Row `rowIndex` into `row`; "Error reading scanline %d\n" (exit code -1)
    // on failure. Rows are meant to be read in order; any order works.
    [[nodiscard]] Status readRow(void* row, int rowIndex);

private:
    bool loadStrip(uint32_t strip);

    TIFF* tiff_;
    bool wholeStrips_ = false;
    bool ownLzw_ = false;  // LZW the own decoder may take
    uint32_t height_ = 0;
    uint32_t rowsPerStrip_ = 0;
    size_t rowBytes_ = 0;
    int samples_ = 0;
    int bits_ = 0;
    bool predictor_ = false;
    int64_t strip_ = -1;  // the strip held in rowData_
    uint8_t* rowData_ = nullptr;  // the rows of strip_
    StripBuffers own_;
    StripBuffers* buffers_ = &own_;
};

} // namespace quovix
