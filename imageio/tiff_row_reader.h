// Row-by-row reading of a TIFF from the top down, as the level files are
// read while they are combined. LZW strips in the machine's byte order are
// decoded a whole strip at a time by imageio/lzw_decode.h, which is faster
// than libtiff's decoder; a strip it cannot decode, and every other layout,
// goes through libtiff.
#pragma once

#include "imageio/lzw_decode.h"
#include "support/status.h"

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quovix {

class TiffRowReader {
public:
    // Not owned: the TIFF stays open for the reader's lifetime.
    explicit TiffRowReader(TIFF* tiff);

    // Row `rowIndex` into `row`; "Error reading scanline %d\n" (exit code -1)
    // on failure. Rows are meant to be read in order; any order works.
    [[nodiscard]] Status readRow(void* row, int rowIndex);

private:
    bool loadStrip(uint32_t strip);

    TIFF* tiff_;
    bool wholeStrips_ = false;
    uint32_t height_ = 0;
    uint32_t rowsPerStrip_ = 0;
    size_t rowBytes_ = 0;
    int samples_ = 0;
    int bits_ = 0;
    bool predictor_ = false;
    int64_t strip_ = -1;  // the strip held in rows_
    std::vector<uint8_t> raw_;
    std::vector<uint8_t> rows_;  // strips libtiff decoded
    uint8_t* rowData_ = nullptr;  // the rows of strip_
    LzwDecoder decoder_;
};

} // namespace quovix
