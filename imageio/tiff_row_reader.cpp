#include "imageio/tiff_row_reader.h"

#include "imageio/tiff_io.h"

#include <cstring>
#include <string>

namespace quovix {

TiffRowReader::TiffRowReader(TIFF* tiff) : tiff_(tiff)
{
    uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG, fillOrder = FILLORDER_MSB2LSB;
    uint16_t predictor = PREDICTOR_NONE, bits = 0, samples = 0;
    uint32_t width = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &fillOrder);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip_);
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height_);
    if (compression == COMPRESSION_LZW)
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PREDICTOR, &predictor);
    samples_ = samples;
    bits_ = bits;
    predictor_ = predictor == PREDICTOR_HORIZONTAL;
    rowBytes_ = static_cast<size_t>(width) * samples * bits / 8;
    if (rowsPerStrip_ > height_)
        rowsPerStrip_ = height_;
    wholeStrips_ = compression == COMPRESSION_LZW && planar == PLANARCONFIG_CONTIG && !TIFFIsTiled(tiff) &&
                   fillOrder == FILLORDER_MSB2LSB && !TIFFIsByteSwapped(tiff) && (bits == 8 || bits == 16) &&
                   (predictor == PREDICTOR_NONE || predictor == PREDICTOR_HORIZONTAL) && rowsPerStrip_ > 0 &&
                   rowBytes_ > 0 && static_cast<uint64_t>(rowBytes_) * rowsPerStrip_ <= UINT32_MAX;
}

bool TiffRowReader::loadStrip(uint32_t strip)
{
    strip_ = -1;
    if (strip >= TIFFNumberOfStrips(tiff_))
        return false;
    const uint32_t first = strip * rowsPerStrip_;
    const uint32_t rows = height_ - first < rowsPerStrip_ ? height_ - first : rowsPerStrip_;
    const size_t size = rows * rowBytes_;
    const uint64_t rawSize = TIFFRawStripSize64(tiff_, strip);
    rowData_ = nullptr;
    if (rawSize > 0 && rawSize != static_cast<uint64_t>(-1) && rawSize <= 4 * size + 1024) {
        raw_.resize(static_cast<size_t>(rawSize) + LzwDecoder::kPadding);
        if (TIFFReadRawStrip(tiff_, strip, raw_.data(), static_cast<tmsize_t>(rawSize)) ==
            static_cast<tmsize_t>(rawSize))
            rowData_ = decoder_.decode(raw_.data(), static_cast<size_t>(rawSize), size);
        if (rowData_ != nullptr && predictor_)
            accumulateRows(rowData_, rows, rowBytes_, samples_, bits_);
    }
    if (rowData_ == nullptr) {
        // libtiff decodes (and reports) what the own decoder refused.
        rows_.resize(size);
        if (TIFFReadEncodedStrip(tiff_, strip, rows_.data(), static_cast<tmsize_t>(size)) !=
            static_cast<tmsize_t>(size))
            return false;
        rowData_ = rows_.data();
    }
    strip_ = strip;
    return true;
}

Status TiffRowReader::readRow(void* row, int rowIndex)
{
    if (!wholeStrips_)
        return readTiffRow(tiff_, row, rowIndex);
    if (rowIndex < 0 || static_cast<uint32_t>(rowIndex) >= height_)
        return Status::failure(kExitIoError, "Error reading scanline " + std::to_string(rowIndex) + "\n");
    const uint32_t strip = static_cast<uint32_t>(rowIndex) / rowsPerStrip_;
    if (strip_ != static_cast<int64_t>(strip) && !loadStrip(strip))
        return Status::failure(kExitIoError, "Error reading scanline " + std::to_string(rowIndex) + "\n");
    std::memcpy(row, rowData_ + (static_cast<uint32_t>(rowIndex) - strip * rowsPerStrip_) * rowBytes_, rowBytes_);
    return Status();
}

} // namespace quovix
