#include "imageio/camera_metadata.h"

#include "imageio/file_format.h"
#include "imageio/metadata_source.h"
#include "imageio/tiff_directory.h"
#include "support/file_ops.h"

// Exiv2 0.27 still hands out std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace quovix {
namespace {

// Exiv2 reports damaged metadata through its log and carries on with what it
// could read. Errors raised while a file is read here are counted, so a
// damaged source is refused rather than half copied. Counted per thread: the
// handler runs in the thread that reads, and only reads of ours count.
thread_local int tExiv2Errors = 0;
thread_local bool tCounting = false;

// Exiv2's log is one handler per process: the counting handler is put in
// front only while copies are under way, and the handler found before is
// back once the last one ends. A host's handler still receives every message
// meanwhile; Exiv2's default one (to stderr) does not, as the run reports
// damage in its own words.
class Exiv2LogTurn {
public:
    Exiv2LogTurn()
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (state().users++ == 0) {
            const Exiv2::LogMsg::Handler found = Exiv2::LogMsg::handler();
            state().found = found;
            state().host.store(found == Exiv2::LogMsg::defaultHandler ? nullptr : found);
            Exiv2::LogMsg::setHandler(countMessage);
        }
    }
    ~Exiv2LogTurn()
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (--state().users == 0 && Exiv2::LogMsg::handler() == countMessage)
            Exiv2::LogMsg::setHandler(state().found);
    }
    Exiv2LogTurn(const Exiv2LogTurn&) = delete;
    Exiv2LogTurn& operator=(const Exiv2LogTurn&) = delete;

private:
    // Mirrors Exiv2's own process-wide setting; no state of a run.
    struct State {
        std::mutex mutex;
        int users = 0;
        Exiv2::LogMsg::Handler found = nullptr;
        std::atomic<Exiv2::LogMsg::Handler> host{nullptr};
    };
    static State& state()
    {
        static State s;
        return s;
    }
    static void countMessage(int level, const char* message)
    {
        if (tCounting && level >= Exiv2::LogMsg::error)
            ++tExiv2Errors;
        if (Exiv2::LogMsg::Handler host = state().host.load())
            host(level, message);
    }
};

// Counts the Exiv2 errors of this thread's reads while it lives.
class CountedRead {
public:
    CountedRead() { tCounting = true; }
    ~CountedRead() { tCounting = false; }
    CountedRead(const CountedRead&) = delete;
    CountedRead& operator=(const CountedRead&) = delete;
};

// Exiv2's section of an IFD0 tag (its tag table sorts tags by what they
// are about), -1 for a tag it does not know.
int sectionOf(uint16_t tag)
{
    static const std::map<uint16_t, int> sections = [] {
        std::map<uint16_t, int> m;
        for (const Exiv2::TagInfo* t = Exiv2::ExifTags::tagList("Image"); t != nullptr && t->tag_ != 0xFFFF; ++t)
            m.emplace(t->tag_, t->sectionId_);
        return m;
    }();
    const auto found = sections.find(tag);
    return found == sections.end() ? -1 : found->second;
}

// Exiv2's section numbers (its SectionId; the enum is not in the installed
// headers). The tests check the sorting on real camera files.
enum Section : int {
    kImageStructure = 1,
    kStripOffsetsSection = 2,
    kColourCharacteristics = 3,
    kOtherTags = 4,
    kTiffEp = 18,
};

constexpr uint16_t kOrientation = 0x0112;
constexpr uint16_t kMakerNote = 0x927C;
constexpr uint16_t kStripOffsets = 0x0111;
constexpr uint16_t kTileOffsets = 0x0144;

// IFD0 tags of the source that describe the photograph rather than the way
// its pixels are stored. Whole sections are about storage (structure, strip
// offsets, colour characteristics, DNG and other RAW sensor data); the rest
// describe the shot. Unknown tags are left out: they may point at data that
// does not travel with them.
bool describesPhotograph(uint16_t tag)
{
    switch (tag) {
    case kOrientation:  // the output keeps the stored orientation of its inputs
    case 0xC614:        // UniqueCameraModel
    case 0xC615:        // LocalizedCameraModel
    case 0xC62F:        // CameraSerialNumber
    case 0xC630:        // LensInfo
        return true;
    case 0x014A:  // SubIFDs
    case 0x828D:  // CFARepeatPatternDim
    case 0x828E:  // CFAPattern
    case 0x83BB:  // IPTCNAA: rewritten from the IPTC data
    case 0x8773:  // InterColorProfile: the target keeps its own
    case 0x8829:  // Interlace
    case 0x9102:  // CompressedBitsPerPixel
    case 0x02BC:  // XMLPacket: rewritten from the XMP data
    case 0x8649:  // ImageResources: Photoshop blocks with their own thumbnail and sizes
    case 0x010E:  // ImageDescription: what another tool said of its file (an array shape, a camera's
                  // placeholder), not a caption of the fused picture; readers may act on it
        return false;
    default:
        break;
    }
    const int section = sectionOf(tag);
    // Not imgStruct, recOffset, imgCharacter, exifFormat (IFD pointers that
    // Exiv2 sets itself), dngTags, panaRaw, tiffPm6 or adobeOpi.
    return section == kOtherTags || section == kTiffEp;
}

// IFD0 tags of the target that say how its pixels are stored: they must read
// the same after the metadata write. The strip and tile offsets move.
bool describesStorage(uint16_t tag)
{
    if (tag == kOrientation || tag == kStripOffsets || tag == kTileOffsets)
        return false;
    const int section = sectionOf(tag);
    return section == kImageStructure || section == kStripOffsetsSection || section == kColourCharacteristics;
}

// The groups that travel: IFD0 (filtered), the Exif, GPS and interoperability
// IFDs, and maker notes (Exiv2 rewrites their offsets). Left behind: the
// thumbnail IFD1, further images and sub-images of RAW files, MPF data.
bool keepExifDatum(const Exiv2::Exifdatum& datum)
{
    const std::string group = datum.groupName();
    if (group == "Image")
        return describesPhotograph(datum.tag());
    if (group == "Photo")
        return datum.tag() != 0xA005;  // InteroperabilityTag: a pointer Exiv2 sets itself
    if (group == "GPSInfo" || group == "Iop")
        return true;
    return Exiv2::ExifTags::isMakerGroup(group);
}

bool keepXmpDatum(const Exiv2::Xmpdatum& datum)
{
    static const std::set<std::string> storageProperties = {
        "ImageWidth", "ImageLength", "BitsPerSample", "Compression", "PhotometricInterpretation",
        "SamplesPerPixel", "PlanarConfiguration", "YCbCrSubSampling", "YCbCrPositioning", "XResolution",
        "YResolution", "ResolutionUnit", "TransferFunction", "WhitePoint", "PrimaryChromaticities",
        "YCbCrCoefficients", "ReferenceBlackWhite", "NativeDigest"};
    const std::string prefix = datum.groupName();
    const std::string name = datum.tagName();
    // Raw-converter settings would be applied a second time to developed pixels.
    if (prefix == "crs" || prefix == "crss")
        return false;
    if (prefix == "tiff")
        return storageProperties.count(name) == 0;
    if (prefix == "exif")
        return name != "NativeDigest";
    if (prefix == "xmp")
        return name.rfind("Thumbnails", 0) != 0;
    // The output is a new document, not another rendition of the input.
    if (prefix == "xmpMM")
        return name != "DocumentID" && name != "InstanceID";
    return true;
}

// What travels from the source, already filtered.
struct SourceMetadata {
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    Exiv2::IptcData iptc;
};

MetadataStatus readOpened(Exiv2::Image& image, const std::string& path, SourceMetadata& out)
{
    CountedRead counted;
    tExiv2Errors = 0;
    image.readMetadata();
    if (tExiv2Errors != 0)
        return metadataFailure(MetadataError::Corrupt, path + ": damaged metadata");
    out = SourceMetadata();
    for (const Exiv2::Exifdatum& d : image.exifData()) {
        if (keepExifDatum(d))
            out.exif.add(d);
    }
    for (const Exiv2::Xmpdatum& d : image.xmpData()) {
        if (keepXmpDatum(d))
            out.xmp.add(d);
    }
    // A maker note Exiv2 could not parse stays one opaque block whose inner
    // offsets cannot be moved with it: left behind.
    bool makerNoteParsed = false;
    for (const Exiv2::Exifdatum& d : out.exif)
        makerNoteParsed = makerNoteParsed || Exiv2::ExifTags::isMakerGroup(d.groupName());
    if (!makerNoteParsed) {
        const auto blob = out.exif.findKey(Exiv2::ExifKey("Exif.Photo.MakerNote"));
        if (blob != out.exif.end())
            out.exif.erase(blob);
    }
    out.iptc = image.iptcData();
    return {};
}

Exiv2::Image::AutoPtr openInMemory(const std::string& bytes)
{
    return Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(bytes.data()),
                                     static_cast<long>(bytes.size()));
}

// `note` says what was left out of a copy that goes ahead.
MetadataStatus readSource(const std::string& path, SourceMetadata& out, std::string& note)
{
    FileFormat format = FileFormat::Unknown;
    const Status found = detectFormat(path, format);
    if (!found.ok() && found.exitCode() == kExitFatal)
        return metadataFailure(MetadataError::CannotOpen, path + ": cannot open");
    // A huge XMP packet is emptied before the reader sees it.
    std::string trimmed;
    if (format == FileFormat::Tiff) {
        const int64_t xmp = tiffXmpBytes(path);
        if (xmp > kMaxXmpBytes && tiffWithoutXmp(path, trimmed))
            note = "XMP of " + path + " not carried: " + std::to_string(xmp) + " bytes, more than the " +
                   std::to_string(kMaxXmpBytes >> 20) + " MB an output takes";
    }
    Exiv2::Image::AutoPtr image;
    try {
        image = trimmed.empty() ? Exiv2::ImageFactory::open(path) : openInMemory(trimmed);
    } catch (const Exiv2::AnyError& e) {
        return metadataFailure(MetadataError::Unsupported, path + ": no metadata reader for this file (" +
                                                               e.what() + ")");
    }
    MetadataStatus status;
    bool damaged = false;
    try {
        status = readOpened(*image, path, out);
        damaged = !status.ok();
    } catch (const Exiv2::AnyError& e) {
        damaged = true;
        status = metadataFailure(MetadataError::Corrupt, path + ": " + e.what());
    }
    // A damaged colour profile must not cost the camera's metadata: the
    // profile is judged (and dropped with its own warning) by the profile
    // reader; the rest is read again without it.
    if (damaged && format == FileFormat::Jpeg && jpegHeaderWithoutProfile(path, trimmed)) {
        Exiv2::Image::AutoPtr header = openInMemory(trimmed);
        SourceMetadata again;
        if (readOpened(*header, path, again).ok()) {
            out = again;
            return {};
        }
    }
    return status;
}

// The target's own EXIF (for a TIFF: its structure, resolution, position and
// colour profile) with the source's entries laid over it.
Exiv2::ExifData mergedExif(const Exiv2::ExifData& target, const Exiv2::ExifData& source)
{
    std::set<std::string> sourceKeys;
    for (const Exiv2::Exifdatum& d : source)
        sourceKeys.insert(d.key());
    Exiv2::ExifData merged;
    for (const Exiv2::Exifdatum& d : target) {
        if (sourceKeys.count(d.key()) == 0)
            merged.add(d);
    }
    for (const Exiv2::Exifdatum& d : source)
        merged.add(d);
    return merged;
}

void stampTarget(Exiv2::ExifData& exif, Exiv2::XmpData& xmp, uint32_t width, uint32_t height,
                 const std::string& software)
{
    exif["Exif.Image.Software"] = software;
    if (exif.findKey(Exiv2::ExifKey("Exif.Photo.PixelXDimension")) != exif.end())
        exif["Exif.Photo.PixelXDimension"] = width;
    if (exif.findKey(Exiv2::ExifKey("Exif.Photo.PixelYDimension")) != exif.end())
        exif["Exif.Photo.PixelYDimension"] = height;
    if (xmp.findKey(Exiv2::XmpKey("Xmp.exif.PixelXDimension")) != xmp.end())
        xmp["Xmp.exif.PixelXDimension"] = std::to_string(width);
    if (xmp.findKey(Exiv2::XmpKey("Xmp.exif.PixelYDimension")) != xmp.end())
        xmp["Xmp.exif.PixelYDimension"] = std::to_string(height);
    if (xmp.findKey(Exiv2::XmpKey("Xmp.xmp.CreatorTool")) != xmp.end())
        xmp["Xmp.xmp.CreatorTool"] = software;
}

template <typename Drop>
void eraseIf(Exiv2::ExifData& exif, Drop drop)
{
    for (auto it = exif.begin(); it != exif.end();)
        it = drop(*it) ? exif.erase(it) : std::next(it);
}

bool hasGroup(const Exiv2::ExifData& exif, const std::string& group)
{
    for (const Exiv2::Exifdatum& d : exif) {
        if (d.groupName() == group)
            return true;
    }
    return false;
}

// Sets `key` to `bytes` (written as decimal numbers) unless it is there.
void addBytesIfMissing(Exiv2::ExifData& exif, const char* key, Exiv2::TypeId type, const char* bytes)
{
    const Exiv2::ExifKey k(key);
    if (exif.findKey(k) != exif.end())
        return;
    Exiv2::DataValue value(type);
    value.read(bytes);
    exif.add(k, &value);
}

// What EXIF asks of each container, so that strict readers open the output
// without a warning. A TIFF takes the EXIF of uncompressed pictures: the tags
// EXIF keeps for compressed files go, and so does the interoperability IFD (a
// rule set for camera JPEGs whose pointer TIFF readers do not know). A JPEG's
// IFD0 states its resolution (the JFIF header gives none: EXIF's 72 dpi) and
// its chroma siting (centred, as JFIF has it), and its Exif IFD the pixel size
// and component order. The version and colour-space tags a directory must
// have are added where the source left them out.
void fitExifToTarget(Exiv2::ExifData& exif, bool tiff, uint32_t width, uint32_t height)
{
    if (tiff) {
        eraseIf(exif, [](const Exiv2::Exifdatum& d) {
            const uint16_t tag = d.tag();
            return d.groupName() == "Iop" ||
                   (d.groupName() == "Photo" &&
                    (tag == 0x9101 || tag == 0x9102 || tag == 0xA002 || tag == 0xA003 || tag == 0xA005));
        });
    } else {
        if (exif.findKey(Exiv2::ExifKey("Exif.Image.XResolution")) == exif.end()) {
            exif["Exif.Image.XResolution"] = Exiv2::URational(72, 1);
            exif["Exif.Image.YResolution"] = Exiv2::URational(72, 1);
            exif["Exif.Image.ResolutionUnit"] = uint16_t(2);  // inch
        }
        if (exif.findKey(Exiv2::ExifKey("Exif.Image.YCbCrPositioning")) == exif.end())
            exif["Exif.Image.YCbCrPositioning"] = uint16_t(1);
    }
    if (hasGroup(exif, "Photo")) {
        addBytesIfMissing(exif, "Exif.Photo.ExifVersion", Exiv2::undefined, "48 50 51 50");  // "0232"
        addBytesIfMissing(exif, "Exif.Photo.FlashpixVersion", Exiv2::undefined, "48 49 48 48");  // "0100"
        if (exif.findKey(Exiv2::ExifKey("Exif.Photo.ColorSpace")) == exif.end())
            exif["Exif.Photo.ColorSpace"] = uint16_t(0xFFFF);  // uncalibrated: the profile says
        if (!tiff) {
            // The encoder writes every JPEG as Y, Cb, Cr.
            eraseIf(exif, [](const Exiv2::Exifdatum& d) { return d.key() == "Exif.Photo.ComponentsConfiguration"; });
            addBytesIfMissing(exif, "Exif.Photo.ComponentsConfiguration", Exiv2::undefined, "1 2 3 0");
            exif["Exif.Photo.PixelXDimension"] = width;
            exif["Exif.Photo.PixelYDimension"] = height;
        }
    }
    if (hasGroup(exif, "GPSInfo"))
        addBytesIfMissing(exif, "Exif.GPSInfo.GPSVersionID", Exiv2::unsignedByte, "2 3 0 0");
}

// TIFF readers take at most 65535 bytes of maker note (its count is read as
// 16 bits). Over that, the entries a JPEG segment could not hold either go
// first (unnamed ones over 4 KiB, any over 20 KiB: raw-decoding tables), then,
// if still too large, the whole maker note.
constexpr uint32_t kMaxTiffMakerNoteBytes = 0xFFFF;

void dropLargeMakerNoteEntries(Exiv2::ExifData& exif)
{
    eraseIf(exif, [](const Exiv2::Exifdatum& d) {
        return Exiv2::ExifTags::isMakerGroup(d.groupName()) &&
               ((d.tagName().rfind("0x", 0) == 0 && d.size() > 4096) || d.size() > 20480);
    });
}

void dropMakerNote(Exiv2::ExifData& exif)
{
    eraseIf(exif, [](const Exiv2::Exifdatum& d) {
        return Exiv2::ExifTags::isMakerGroup(d.groupName()) || (d.groupName() == "Photo" && d.tag() == kMakerNote);
    });
}

// The target's facts that the metadata write must leave as they were: its
// size and colour profile, and for a TIFF every tag describing the stored
// pixels except the strip and tile offsets, which move.
struct TargetFacts {
    uint32_t width = 0;
    uint32_t height = 0;
    std::string profile;
    std::map<std::string, std::string> storage;
};

// A JPEG's IFD0 storage tags are informative only (the stream says how it
// is coded): there they are set to what EXIF asks, not kept.
TargetFacts factsOf(Exiv2::Image& image, bool tiff)
{
    TargetFacts f;
    f.width = static_cast<uint32_t>(image.pixelWidth());
    f.height = static_cast<uint32_t>(image.pixelHeight());
    if (image.iccProfileDefined()) {
        const Exiv2::DataBuf* icc = image.iccProfile();
        f.profile.assign(reinterpret_cast<const char*>(icc->pData_), static_cast<size_t>(icc->size_));
    }
    for (const Exiv2::Exifdatum& d : image.exifData()) {
        if (tiff && d.groupName() == "Image" && describesStorage(d.tag()))
            f.storage[d.key()] = d.toString();
    }
    return f;
}

bool sameFacts(const TargetFacts& a, const TargetFacts& b)
{
    return a.width == b.width && a.height == b.height && a.profile == b.profile && a.storage == b.storage;
}

// An empty new file in the folder of `path` (so a rename can replace it);
// empty on failure.
std::string tempBeside(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    // The owner tag lets a later run remove it if this process dies.
    std::string pattern = folder + "/.quovix-meta-" + temporaryOwnerTag() + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0)
        return std::string();
    ::close(fd);
    return std::string(name.data());
}

// A copy of `path` beside it, with the same access mode; empty on failure.
std::string copyBeside(const std::string& path)
{
    const std::string copy = tempBeside(path);
    if (copy.empty())
        return copy;
    const int out = ::open(copy.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = in >= 0 && out >= 0;
    struct stat st {};
    if (ok)
        ok = fstat(in, &st) == 0 && fchmod(out, st.st_mode & 07777) == 0;
    std::vector<char> buffer(size_t{1} << 20);
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            ok = w > 0;
            done += w > 0 ? w : 0;
        }
    }
    if (in >= 0)
        ::close(in);
    if (out >= 0)
        ok = ::close(out) == 0 && ok;
    if (!ok) {
        ::unlink(copy.c_str());
        return std::string();
    }
    return copy;
}

bool syncPath(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

// Writes the metadata into `work` (the copy of the target) and checks the
// result; the caller renames it into place only on success.
MetadataStatus writeInto(const std::string& work, const std::string& target, const SourceMetadata& source,
                         const std::string& software, bool tiff)
{
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(work);
    image->readMetadata();
    const TargetFacts before = factsOf(*image, tiff);
    Exiv2::ExifData exif = mergedExif(image->exifData(), source.exif);
    Exiv2::XmpData xmp = source.xmp;
    stampTarget(exif, xmp, before.width, before.height, software);
    fitExifToTarget(exif, tiff, before.width, before.height);
    image->setExifData(exif);
    image->setXmpData(xmp);
    image->setIptcData(source.iptc);
    image->writeMetadata();
    image.reset();

    Exiv2::Image::AutoPtr written = Exiv2::ImageFactory::open(work);
    CountedRead counted;
    tExiv2Errors = 0;
    written->readMetadata();
    if (tExiv2Errors != 0 || !sameFacts(before, factsOf(*written, tiff)))
        return metadataFailure(MetadataError::CannotWrite, target + ": the metadata writer altered the image layout");
    return {};
}

// Puts `work` in place of `target`, durably.
MetadataStatus replaceTarget(const std::string& work, const std::string& target)
{
    if (!syncPath(work) || std::rename(work.c_str(), target.c_str()) != 0)
        return metadataFailure(MetadataError::CannotWrite, target + ": " + std::strerror(errno));
    return {};
}

bool readWhole(const std::string& path, std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    bytes.clear();
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.append(buffer, n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// Replaces the contents of an existing file (its access mode stays).
bool writeWhole(const std::string& path, const std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

// A JPEG is small: the metadata is written into a copy of it. Exiv2 rewrites
// a JPEG's colour profile in chunks of its own, and refuses profiles that a
// JPEG holds: the copy it sees has none, and the target's profile segments
// are put back unchanged after its write.
MetadataStatus copyIntoJpeg(const std::string& target, const SourceMetadata& metadata, const std::string& software,
                            std::vector<std::string>& temporaries)
{
    const std::string work = copyBeside(target);
    if (work.empty())
        return metadataFailure(MetadataError::CannotWrite, target + ": cannot make a working copy beside it");
    temporaries.push_back(work);
    std::string jpeg;
    std::string plain;
    std::string profile;
    if (!readWhole(work, jpeg) || !splitJpegProfile(jpeg, plain, profile))
        return metadataFailure(MetadataError::CannotWrite, target + ": not a complete JPEG");
    if (!profile.empty() && !writeWhole(work, plain))
        return metadataFailure(MetadataError::CannotWrite, target + ": " + std::strerror(errno));
    MetadataStatus status = writeInto(work, target, metadata, software, false);
    if (!status.ok() || profile.empty())
        return status.ok() ? replaceTarget(work, target) : status;
    std::string written;
    std::string left;
    std::string none;
    if (!readWhole(work, written) || !splitJpegProfile(written, left, none) || !none.empty() ||
        !insertJpegProfile(written, profile) || !writeWhole(work, written))
        return metadataFailure(MetadataError::CannotWrite, target + ": the metadata writer altered the image layout");
    return replaceTarget(work, target);
}

// Exiv2 rewrites a TIFF in memory, pixel data included. It is given a
// skeleton instead, with the target's tags and one-byte strips, and the
// target's strips are appended to what it wrote: memory stays at the size of
// the metadata whatever the size of the image.
MetadataStatus copyIntoTiff(const std::string& target, const SourceMetadata& metadata, const std::string& software,
                            std::vector<std::string>& temporaries, std::string& note)
{
    const std::string skeleton = tempBeside(target);
    if (!skeleton.empty())
        temporaries.push_back(skeleton);
    const std::string work = tempBeside(target);
    if (!work.empty())
        temporaries.push_back(work);
    if (skeleton.empty() || work.empty())
        return metadataFailure(MetadataError::CannotWrite, target + ": cannot make a working file beside it");
    StripTable strips;
    std::string reason;
    SourceMetadata fitted = metadata;
    for (int attempt = 0;; ++attempt) {
        if (!writeStripSkeleton(target, skeleton, strips, reason))
            return metadataFailure(MetadataError::CannotWrite, target + ": " + reason);
        MetadataStatus status = writeInto(skeleton, target, fitted, software, true);
        if (!status.ok())
            return status;
        uint32_t makerNoteBytes = 0;
        if (!exifEntryCount(skeleton, kMakerNote, makerNoteBytes, reason))
            return metadataFailure(MetadataError::CannotWrite, target + ": " + reason);
        if (makerNoteBytes <= kMaxTiffMakerNoteBytes)
            break;
        if (attempt == 0) {
            dropLargeMakerNoteEntries(fitted.exif);
        } else if (attempt == 1) {
            dropMakerNote(fitted.exif);
            note = std::to_string(makerNoteBytes) + " bytes, more than the " +
                   std::to_string(kMaxTiffMakerNoteBytes) + " a TIFF output takes";
        } else {
            return metadataFailure(MetadataError::CannotWrite, target + ": the maker note cannot be left out");
        }
    }
    if (!appendStrips(skeleton, target, strips, work, reason))
        return metadataFailure(MetadataError::CannotWrite, target + ": " + reason);

    // The result must describe the target's pixels exactly: same storage tags
    // (strip byte counts included), size and profile.
    Exiv2::Image::AutoPtr original = Exiv2::ImageFactory::open(target);
    original->readMetadata();
    Exiv2::Image::AutoPtr written = Exiv2::ImageFactory::open(work);
    CountedRead counted;
    tExiv2Errors = 0;
    written->readMetadata();
    if (tExiv2Errors != 0 || !sameFacts(factsOf(*original, true), factsOf(*written, true)))
        return metadataFailure(MetadataError::CannotWrite, target + ": the metadata writer altered the image layout");
    return replaceTarget(work, target);
}

MetadataStatus fromException(const std::string& target, const Exiv2::AnyError& e)
{
    if (e.code() == Exiv2::kerTooLargeJpegSegment)
        return metadataFailure(MetadataError::TooLarge, target + ": metadata too large for a JPEG (" + e.what() + ")");
    return metadataFailure(MetadataError::CannotWrite, target + ": " + e.what());
}

} // namespace

void initializeMetadataLibrary()
{
    static std::once_flag once;
    // The XMP toolkit must be set up once before any thread uses it.
    std::call_once(once, [] { Exiv2::XmpParser::initialize(); });
}

MetadataStatus copyCameraMetadata(const std::string& source, const std::string& target, const std::string& version)
{
    initializeMetadataLibrary();
    const Exiv2LogTurn logTurn;
    FileFormat format = FileFormat::Unknown;
    const Status found = detectFormat(target, format);
    if (!found.ok() && found.exitCode() == kExitFatal)
        return metadataFailure(MetadataError::CannotOpen, target + ": cannot open");
    if (format == FileFormat::BigTiff) {
        // Exiv2 0.27 neither reads nor writes BigTIFF.
        return metadataFailure(MetadataError::Unsupported, target + ": camera metadata cannot be added to a BigTIFF");
    }
    if (format != FileFormat::Tiff && format != FileFormat::Jpeg)
        return metadataFailure(MetadataError::Unsupported, target + ": neither TIFF nor JPEG");
    SourceMetadata metadata;
    std::string note;
    try {
        MetadataStatus status = readSource(source, metadata, note);
        if (!status.ok())
            return status;
    } catch (const Exiv2::AnyError& e) {
        return metadataFailure(MetadataError::Corrupt, source + ": " + e.what());
    } catch (const std::exception& e) {
        return metadataFailure(MetadataError::Corrupt, source + ": " + e.what());
    } catch (...) {
        return metadataFailure(MetadataError::Corrupt, source + ": unreadable metadata");
    }

    // A TIFF output already names its software; with nothing of the camera's
    // to add, it is left as it is.
    if (format == FileFormat::Tiff && metadata.exif.empty() && metadata.xmp.empty() && metadata.iptc.empty())
        return MetadataStatus{MetadataError::None, std::string(), note};

    const std::string software = "Quovix " + version;
    std::vector<std::string> temporaries;
    MetadataStatus status;
    std::string makerNote;
    try {
        status = format == FileFormat::Tiff ? copyIntoTiff(target, metadata, software, temporaries, makerNote)
                                            : copyIntoJpeg(target, metadata, software, temporaries);
    } catch (const Exiv2::AnyError& e) {
        status = fromException(target, e);
    } catch (const std::exception& e) {
        status = metadataFailure(MetadataError::CannotWrite, target + ": " + e.what());
    } catch (...) {
        status = metadataFailure(MetadataError::CannotWrite, target + ": metadata write failed");
    }
    for (const std::string& path : temporaries)
        ::unlink(path.c_str());
    if (status.ok() && !makerNote.empty())
        note += (note.empty() ? "" : "; ") + ("maker note of " + source + " not carried: ") + makerNote;
    if (status.ok())
        status.note = note;
    return status;
}

} // namespace quovix

#pragma GCC diagnostic pop
