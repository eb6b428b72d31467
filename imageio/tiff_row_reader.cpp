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
    wholeStrips_ = planar == PLANARCONFIG_CONTIG && !TIFFIsTiled(tiff) && (bits == 8 || bits == 16) &&
                   rowsPerStrip_ > 0 && rowBytes_ > 0 &&
                   static_cast<uint64_t>(rowBytes_) * rowsPerStrip_ <= UINT32_MAX;
    ownLzw_ = wholeStrips_ && compression == COMPRESSION_LZW && fillOrder == FILLORDER_MSB2LSB &&
              !TIFFIsByteSwapped(tiff) && (predictor == PREDICTOR_NONE || predictor == PREDICTOR_HORIZONTAL);
}

void TiffRowReader::shareBuffers(StripBuffers& buffers)
{
    buffers_ = &buffers;
    strip_ = -1;
    rowData_ = nullptr;
}

bool TiffRowReader::loadStrip(uint32_t strip)
{
    strip_ = -1;
    rowData_ = nullptr;
    if (strip >= TIFFNumberOfStrips(tiff_))
        return false;
    StripBuffers& b = *buffers_;
    const uint32_t first = strip * rowsPerStrip_;
    const uint32_t rows = height_ - first < rowsPerStrip_ ? height_ - first : rowsPerStrip_;
    const size_t size = rows * rowBytes_;
    const uint64_t rawSize = TIFFRawStripSize64(tiff_, strip);
    const bool rawSizeSane = rawSize > 0 && rawSize != static_cast<uint64_t>(-1) && rawSize <= 4 * size + 1024;
    if (ownLzw_ && rawSizeSane) {
        if (b.raw.size() < rawSize + LzwDecoder::kPadding)
            b.raw.resize(static_cast<size_t>(rawSize) + LzwDecoder::kPadding);
        if (TIFFReadRawStrip(tiff_, strip, b.raw.data(), static_cast<tmsize_t>(rawSize)) ==
            static_cast<tmsize_t>(rawSize))
            rowData_ = b.decoder.decode(b.raw.data(), static_cast<size_t>(rawSize), size);
        if (rowData_ != nullptr && predictor_)
            accumulateRows(rowData_, rows, rowBytes_, samples_, bits_);
    }
    if (rowData_ == nullptr) {
        // libtiff decodes other codecs and reports what the own decoder
        // refused. Its coded-strip buffer is the shared one too, or every
        // open file would keep a strip of its own.
        // A strip larger than the buffer is then refused, as damage.
        if (rawSizeSane && b.raw.size() < rawSize)
            b.raw.resize(static_cast<size_t>(rawSize));
        if (b.raw.empty())
            b.raw.resize(LzwDecoder::kPadding);
        TIFFReadBufferSetup(tiff_, b.raw.data(), static_cast<tmsize_t>(b.raw.size()));
        if (b.rows.size() < size)
            b.rows.resize(size);
        if (TIFFReadEncodedStrip(tiff_, strip, b.rows.data(), static_cast<tmsize_t>(size)) !=
            static_cast<tmsize_t>(size))
            return false;
        rowData_ = b.rows.data();
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
