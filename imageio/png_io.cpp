#include "imageio/png_io.h"

#include "support/file_ops.h"

#include <sys/stat.h>

#include <png.h>

#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace quovix {

namespace {

// libpng reports an error by a longjmp back to the setjmp of the function
// that drives it; the text is kept for that function's status. Warnings
// (a damaged ancillary chunk, a profile libpng refuses) do not stop the work;
// the last one is kept for notes.
struct PngMessages {
    char error[256] = "";
    char warning[256] = "";
};

void keepError(png_structp png, png_const_charp text)
{
    auto* messages = static_cast<PngMessages*>(png_get_error_ptr(png));
    std::snprintf(messages->error, sizeof messages->error, "%s", text);
    png_longjmp(png, 1);
}

void keepWarning(png_structp png, png_const_charp text)
{
    auto* messages = static_cast<PngMessages*>(png_get_error_ptr(png));
    std::snprintf(messages->warning, sizeof messages->warning, "%s", text);
}

// The file and libpng's structures of one decode, released on every path.
// Locals of the functions that call setjmp are set before it and not changed
// after, so their values survive the jump.
struct PngReader {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngMessages messages;

    PngReader() = default;
    PngReader(const PngReader&) = delete;
    PngReader& operator=(const PngReader&) = delete;
    ~PngReader()
    {
        if (png != nullptr)
            png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
        if (file != nullptr)
            std::fclose(file);
    }

    // "" when ready, else the reason.
    std::string open(const std::string& path)
    {
        file = std::fopen(path.c_str(), "rb");
        if (file == nullptr)
            return std::strerror(errno);
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages, keepError, keepWarning);
        if (png != nullptr)
            info = png_create_info_struct(png);
        if (png == nullptr || info == nullptr)
            return "out of memory";
        png_init_io(png, file);
        return {};
    }
};

Status refuse(const std::string& path, const std::string& reason)
{
    return Status::failure(kExitIoError, "Unsupported image file " + path + ": " + reason + "\n");
}

Status readFailure(const std::string& path, const std::string& reason)
{
    return Status::failure(kExitIoError, "Error reading PNG file " + path + ": " + reason + "\n");
}

// Deflate expands its data at most about 1032 times: a file too small for the
// rows it declares is truncated or forged, and is refused before a buffer of
// the declared size is made.
constexpr uint64_t kDeflateRatio = 1100;

// The reads that bring every file to grey, RGB or RGBA at 8 or 16 bits in the
// machine's byte order. Called after png_read_info; png_read_update_info then
// gives the layout.
void setReadTransforms(png_structp png, png_infop info)
{
    const int colour = png_get_color_type(png, info);
    const int depth = png_get_bit_depth(png, info);
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (colour == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    if (transparency)
        png_set_tRNS_to_alpha(png);
    // Grey with alpha has no stored layout of its own: it is read as RGBA.
    if ((colour & PNG_COLOR_MASK_COLOR) == 0 && ((colour & PNG_COLOR_MASK_ALPHA) != 0 || transparency))
        png_set_gray_to_rgb(png);
    if (depth == 16 && std::endian::native == std::endian::little)
        png_set_swap(png);
    png_set_interlace_handling(png);
}

uint64_t fileSize(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

} // namespace

Status readPngHeader(const std::string& path, ImageInfo& info)
{
    PngReader reader;
    const std::string failed = reader.open(path);
    if (!failed.empty())
        return refuse(path, failed);
    if (setjmp(png_jmpbuf(reader.png)))
        return refuse(path, reader.messages.error);
    png_read_info(reader.png, reader.info);
    const uint64_t width = png_get_image_width(reader.png, reader.info);
    const uint64_t height = png_get_image_height(reader.png, reader.info);
    const uint64_t storedRow = png_get_rowbytes(reader.png, reader.info) + 1;  // a filter byte per row
    if (width < 1 || height < 1 || static_cast<int64_t>(width * height) > kMaxImagePixels)
        return refuse(path, "dimensions " + std::to_string(width) + "x" + std::to_string(height) + " out of range");
    if (fileSize(path) * kDeflateRatio < storedRow * height)
        return refuse(path, "file too small for " + std::to_string(width) + "x" + std::to_string(height) +
                                " pixels (truncated or damaged)");
    setReadTransforms(reader.png, reader.info);
    png_read_update_info(reader.png, reader.info);
    const int channels = png_get_channels(reader.png, reader.info);
    const int bits = png_get_bit_depth(reader.png, reader.info);
    info = ImageInfo();
    info.known = true;
    info.format = FileFormat::Png;
    info.region = ImageRegion{0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height)};
    info.bitsPerSample = bits;
    info.bytesPerPixel = channels * bits / 8;
    return Status();
}

Status readPng(const std::string& path, const ImageInfo& expected, void* buffer)
{
    PngReader reader;
    const std::string failed = reader.open(path);
    if (!failed.empty())
        return readFailure(path, failed);
    if (setjmp(png_jmpbuf(reader.png)))
        return readFailure(path, reader.messages.error);
    png_read_info(reader.png, reader.info);
    setReadTransforms(reader.png, reader.info);
    const int passes = png_set_interlace_handling(reader.png);
    png_read_update_info(reader.png, reader.info);
    const int64_t width = png_get_image_width(reader.png, reader.info);
    const int64_t height = png_get_image_height(reader.png, reader.info);
    const int bytesPerPixel = png_get_channels(reader.png, reader.info) * png_get_bit_depth(reader.png, reader.info) / 8;
    // The file may have been replaced since it was classified.
    if (width != expected.region.width || height != expected.region.height || bytesPerPixel != expected.bytesPerPixel)
        return readFailure(path, "the file changed while it was read");
    const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(bytesPerPixel);
    unsigned char* pixels = static_cast<unsigned char*>(buffer);
    // An interlaced file is read in passes over the same rows; libpng merges
    // each pass into what the row already holds.
    for (int pass = 0; pass < passes; ++pass)
        for (int64_t row = 0; row < height; ++row)
            png_read_row(reader.png, pixels + static_cast<size_t>(row) * rowBytes, nullptr);
    return Status();
}

MetadataStatus readPngIccProfile(const std::string& path, std::vector<unsigned char>& profile)
{
    profile.clear();
    PngReader reader;
    const std::string failed = reader.open(path);
    if (!failed.empty())
        return metadataFailure(MetadataError::CannotOpen, path + ": " + failed);
    if (setjmp(png_jmpbuf(reader.png)))
        return metadataFailure(MetadataError::Corrupt, path + ": " + reader.messages.error);
    png_read_info(reader.png, reader.info);
    png_charp name = nullptr;
    int compression = 0;
    png_bytep data = nullptr;
    png_uint_32 size = 0;
    if (png_get_iCCP(reader.png, reader.info, &name, &compression, &data, &size) == PNG_INFO_iCCP && data != nullptr)
        profile.assign(data, data + size);
    return {};
}

namespace {

// libpng's write structures and the file, released on every path.
struct PngWriter {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngMessages messages;

    PngWriter() = default;
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;
    ~PngWriter()
    {
        if (png != nullptr)
            png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
        if (file != nullptr)
            std::fclose(file);
    }
};

int colourType(int channels)
{
    switch (channels) {
    case 1: return PNG_COLOR_TYPE_GRAY;
    case 2: return PNG_COLOR_TYPE_GRAY_ALPHA;
    case 3: return PNG_COLOR_TYPE_RGB;
    default: return PNG_COLOR_TYPE_RGBA;
    }
}

} // namespace

Status writePngRows(const std::string& path, const PngLayout& layout, const PngRowSource& rows, std::string* note)
{
    auto failure = [&path](const std::string& reason) {
        return Status::failure(kExitIoError, "Error writing PNG file " + path + ": " + reason + "\n");
    };
    if (layout.channels < 1 || layout.channels > 4 || (layout.bits != 8 && layout.bits != 16) || layout.width < 1 ||
        layout.height < 1)
        return failure("unsupported layout");
    const size_t rowBytes =
        static_cast<size_t>(layout.width) * static_cast<size_t>(layout.channels) * static_cast<size_t>(layout.bits / 8);
    std::vector<unsigned char> row(rowBytes);
    PngWriter writer;
    writer.file = std::fopen(path.c_str(), "wb");
    if (writer.file == nullptr)
        return failure(std::strerror(errno));
    writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &writer.messages, keepError, keepWarning);
    if (writer.png != nullptr)
        writer.info = png_create_info_struct(writer.png);
    if (writer.png == nullptr || writer.info == nullptr)
        return failure("out of memory");
    if (setjmp(png_jmpbuf(writer.png)))
        return failure(writer.messages.error);
    png_init_io(writer.png, writer.file);
    // A profile libpng finds invalid (or one of the wrong colour model) is
    // then left out with a warning instead of failing the file.
    png_set_benign_errors(writer.png, 1);
    png_set_IHDR(writer.png, writer.info, static_cast<png_uint_32>(layout.width),
                 static_cast<png_uint_32>(layout.height), layout.bits, colourType(layout.channels), PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (layout.iccProfile != nullptr && !layout.iccProfile->empty()) {
        png_set_iCCP(writer.png, writer.info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, layout.iccProfile->data(),
                     static_cast<png_uint_32>(layout.iccProfile->size()));
        if (png_get_valid(writer.png, writer.info, PNG_INFO_iCCP) == 0 && note != nullptr)
            *note = std::string("colour profile not carried into the PNG (") + writer.messages.warning + ")";
    }
    png_text software{};
    if (layout.software != nullptr) {
        software.compression = PNG_TEXT_COMPRESSION_NONE;
        software.key = const_cast<png_charp>("Software");
        software.text = const_cast<png_charp>(layout.software);
        png_set_text(writer.png, writer.info, &software, 1);
    }
    png_write_info(writer.png, writer.info);
    if (layout.bits == 16 && std::endian::native == std::endian::little)
        png_set_swap(writer.png);
    for (int y = 0; y < layout.height; ++y) {
        const Status filled = rows(y, row.data());
        if (!filled.ok())
            return filled;
        png_write_row(writer.png, row.data());
    }
    png_write_end(writer.png, writer.info);
    FILE* file = writer.file;
    writer.file = nullptr;
    const bool flushed = std::fflush(file) == 0;
    const int err = errno;
    if (std::fclose(file) != 0 || !flushed)
        return failure(std::strerror(flushed ? errno : err));
    return Status();
}

Status writePng(const std::string& path, const void* pixels, const PngLayout& layout, size_t stride)
{
    const size_t rowBytes =
        static_cast<size_t>(layout.width) * static_cast<size_t>(layout.channels) * static_cast<size_t>(layout.bits / 8);
    if (stride == 0)
        stride = rowBytes;
    const std::string temp = reserveTempBeside(path);
    if (temp.empty())
        return Status::failure(kExitIoError, "Error writing PNG file " + path + ": " + std::strerror(errno) + "\n");
    const unsigned char* source = static_cast<const unsigned char*>(pixels);
    const Status written = writePngRows(temp, layout, [&](int row, unsigned char* out) {
        std::memcpy(out, source + static_cast<size_t>(row) * stride, rowBytes);
        return Status();
    });
    if (!written.ok()) {
        std::remove(temp.c_str());
        return written;
    }
    if (!commitTemp(temp, path))
        return Status::failure(kExitIoError, "Error writing PNG file " + path + ": " + std::strerror(errno) + "\n");
    return Status();
}

} // namespace quovix
