#include "imageio/file_format.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace quovix {

bool isNamedImageFile(const std::string& path)
{
    static const char* const extensions[] = {".jpg", ".jpeg", ".JPG", ".JPEG",
                                              ".tif", ".tiff", ".TIF", ".TIFF", ".png", ".PNG"};
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

bool hasPngExtension(const std::string& path)
{
    if (path.size() < 4)
        return false;
    std::string ext = path.substr(path.size() - 4);
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".png";
}

bool hasExtension(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    // A leading dot names a hidden file, not an extension.
    return dot != std::string::npos && dot > nameStart;
}

bool hasImageExtension(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == "tif" || ext == "tiff" || ext == "jpg" || ext == "jpeg" || ext == "png";
}

Status classifyInput(const std::string& path, FileFormat& format)
{
    const bool imageName = hasImageExtension(path) || isNamedImageFile(path);
    FileFormat content = FileFormat::Unknown;
    const Status detected = detectFormat(path, content);
    if (!detected.ok()) {
        format = imageName ? FileFormat::Unknown : FileFormat::Raw;
        return imageName ? detected : Status();
    }
    switch (content) {
    case FileFormat::Jpeg:
    case FileFormat::Png:
        format = content;
        break;
    case FileFormat::Tiff:
    case FileFormat::BigTiff:
        format = hasImageExtension(path) || !hasExtension(path) ? content : FileFormat::Raw;
        break;
    default:
        format = imageName ? FileFormat::Unknown : FileFormat::Raw;
        break;
    }
    return Status();
}

bool isRawInput(const std::string& path)
{
    FileFormat format = FileFormat::Unknown;
    return classifyInput(path, format).ok() && format == FileFormat::Raw;
}

Status detectFormat(const std::string& path, FileFormat& format)
{
    format = FileFormat::Unknown;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return Status::failure(kExitFatal, "Error: Cannot open file: " + path + "\n", ErrorKind::Input);
    unsigned char b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    size_t got = std::fread(b, 1, 8, file);
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
    static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (got == 8 && std::memcmp(b, kPngSignature, 8) == 0) {
        format = FileFormat::Png;
        return Status();
    }
    const bool intel = b[0] == 'I' && b[1] == 'I' && b[3] == 0;
    const bool motorola = b[0] == 'M' && b[1] == 'M' && b[2] == 0;
    if ((intel && b[2] == 42) || (motorola && b[3] == 42))
        format = FileFormat::Tiff;
    else if ((intel && b[2] == 43) || (motorola && b[3] == 43))
        format = FileFormat::BigTiff;
    return Status();
}

} // namespace quovix
