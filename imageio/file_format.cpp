#include "imageio/file_format.h"

#include <cstdio>

namespace quovix {

bool isNamedImageFile(const std::string& path)
{
    static const char* const extensions[] = {".jpg", ".jpeg", ".JPG", ".JPEG",
                                              ".tif", ".tiff", ".TIF", ".TIFF"};
    for (const char* ext : extensions) {
        if (path.find(ext) != std::string::npos)
            return true;
    }
    return false;
}

bool hasJpegExtension(const std::string& path)
{
    static const char* const extensions[] = {".jpg", ".jpeg", ".JPG", ".JPEG"};
    for (const char* ext : extensions) {
        if (path.find(ext) != std::string::npos)
            return true;
    }
    return false;
}

Status detectFormat(const std::string& path, FileFormat& format)
{
    format = FileFormat::Unknown;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return Status::failure(kExitFatal, "Error: Cannot open file: " + path + "\n");
    unsigned char b[4] = {0, 0, 0, 0};
    size_t got = std::fread(b, 1, 4, file);
    std::fclose(file);
    // The JPEG test needs two bytes, the TIFF tests four.
    if (got < 2)
        return Status::failure(kExitIoError, "Error: getFirstBytes: Cannot read from file");
    if (b[0] == 0xFF && b[1] == 0xD8) {
        format = FileFormat::Jpeg;
        return Status();
    }
    if (got < 4)
        return Status::failure(kExitIoError, "Error: getFirstBytes: Cannot read from file");
    const bool intel = b[0] == 'I' && b[1] == 'I' && b[3] == 0;
    const bool motorola = b[0] == 'M' && b[1] == 'M' && b[2] == 0;
    if ((intel && b[2] == 42) || (motorola && b[3] == 42))
        format = FileFormat::Tiff;
    else if ((intel && b[2] == 43) || (motorola && b[3] == 43))
        format = FileFormat::BigTiff;
    return Status();
}

} // namespace quovix
