// Outcome of a colour-profile or camera-metadata operation. Metadata is an
// extra: a failure is reported to the caller, who warns once and carries on
// without it, so nothing here ends the run or prints.
#pragma once

#include <string>
#include <utility>

namespace quovix {

enum class MetadataError {
    None,
    CannotOpen,       // the file is missing or unreadable
    Unsupported,      // a format the operation does not handle (BigTIFF for the metadata copy)
    Corrupt,          // the metadata present is damaged; nothing was taken from it
    TooLarge,         // does not fit the container (ICC over 255 JPEG chunks, EXIF over one APP1)
    CannotWrite,      // the target could not be updated; it was left as it was
};

struct MetadataStatus {
    MetadataError error = MetadataError::None;
    std::string detail;  // file and reason, for the caller's warning
    std::string note;    // on success: what was left out, for a warning

    bool ok() const { return error == MetadataError::None; }
};

inline MetadataStatus metadataFailure(MetadataError error, std::string detail)
{
    return MetadataStatus{error, std::move(detail), std::string()};
}

} // namespace quovix
