#include "imageio/tiff_strips.h"

#include <cerrno>

#include "imageio/lzw_encode.h"

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace quovix {

size_t StripLayout::rowBytes() const
{
    return (static_cast<size_t>(width) * samplesPerPixel * bitsPerSample + 7) / 8;
}

uint32_t StripLayout::stripCount() const
{
    if (height == 0 || rowsPerStrip == 0)
        return 0;
    return static_cast<uint32_t>((static_cast<uint64_t>(height) + rowsPerStrip - 1) / rowsPerStrip);
}

uint32_t StripLayout::rowsInStrip(uint32_t strip) const
{
    const uint64_t first = static_cast<uint64_t>(strip) * rowsPerStrip;
    if (first >= height)
        return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(rowsPerStrip, height - first));
}

bool readStripLayout(TIFF* tiff, StripLayout& layout, std::string& error)
{
    StripLayout l;
    uint16_t planar = PLANARCONFIG_CONTIG, fillOrder = FILLORDER_MSB2LSB, predictor = PREDICTOR_NONE;
    if (TIFFIsTiled(tiff)) {
        error = "tiled layout";
        return false;
    }
    if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &l.width) != 1 || TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &l.height) != 1) {
        error = "no image size";
        return false;
    }
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &l.rowsPerStrip);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &l.bitsPerSample);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &l.samplesPerPixel);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &l.compression);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &fillOrder);
    if (planar != PLANARCONFIG_CONTIG) {
        error = "separate planes";
        return false;
    }
    if (fillOrder != FILLORDER_MSB2LSB) {
        error = "reversed fill order";
        return false;
    }
    switch (l.compression) {
    case COMPRESSION_NONE:
    case COMPRESSION_PACKBITS:
        break;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        TIFFGetField(tiff, TIFFTAG_ZIPQUALITY, &l.zipQuality);
        TIFFGetField(tiff, TIFFTAG_DEFLATE_SUBCODEC, &l.deflateSubcodec);
        [[fallthrough]];
    case COMPRESSION_LZW:
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PREDICTOR, &predictor);
        if (predictor != PREDICTOR_NONE && predictor != PREDICTOR_HORIZONTAL) {
            error = "predictor " + std::to_string(predictor);
            return false;
        }
        break;
    default:
        error = "compression " + std::to_string(l.compression);
        return false;
    }
    if (l.bitsPerSample != 8 && l.bitsPerSample != 16) {
        error = "bits per sample " + std::to_string(l.bitsPerSample);
        return false;
    }
    l.predictor = predictor == PREDICTOR_HORIZONTAL;
    l.bigEndian = TIFFIsBigEndian(tiff) != 0;
    if (l.rowsPerStrip > l.height)
        l.rowsPerStrip = l.height;
    layout = l;
    return true;
}

// ---------------------------------------------------------------------------
// The in-memory TIFF behind an encoder. Header and directory bytes land in
// `data`; while a strip is being encoded, everything libtiff appends goes to
// the strip's buffer instead, so the file never grows with the strips.

namespace {

struct MemoryFile {
    std::vector<uint8_t> data;
    uint64_t pos = 0;
    EncodedStrip* capture = nullptr;
    bool misplacedWrite = false;
    std::string errors;

    uint64_t size() const { return data.size() + (capture != nullptr ? capture->bytes.size() : 0); }
};

tmsize_t memoryRead(thandle_t handle, void* buffer, tmsize_t size)
{
    MemoryFile& f = *static_cast<MemoryFile*>(handle);
    if (f.pos >= f.data.size() || size <= 0)
        return 0;
    const size_t n = std::min<size_t>(static_cast<size_t>(size), f.data.size() - f.pos);
    std::memcpy(buffer, f.data.data() + f.pos, n);
    f.pos += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t memoryWrite(thandle_t handle, void* buffer, tmsize_t size)
{
    MemoryFile& f = *static_cast<MemoryFile*>(handle);
    if (size <= 0)
        return 0;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const size_t n = static_cast<size_t>(size);
    if (f.capture != nullptr && f.pos >= f.data.size()) {
        // Strip data is only ever appended; anything else would mean the
        // strip went elsewhere than the capture expects.
        if (f.pos != f.size()) {
            f.misplacedWrite = true;
            return -1;
        }
        f.capture->bytes.insert(f.capture->bytes.end(), bytes, bytes + n);
        f.pos += n;
        return size;
    }
    if (f.pos + n > f.data.size())
        f.data.resize(f.pos + n);
    std::memcpy(f.data.data() + f.pos, bytes, n);
    f.pos += n;
    return size;
}

toff_t memorySeek(thandle_t handle, toff_t offset, int whence)
{
    MemoryFile& f = *static_cast<MemoryFile*>(handle);
    switch (whence) {
    case SEEK_SET: f.pos = offset; break;
    case SEEK_CUR: f.pos += offset; break;
    case SEEK_END: f.pos = f.size() + offset; break;
    default: return static_cast<toff_t>(-1);
    }
    return f.pos;
}

int memoryClose(thandle_t) { return 0; }
toff_t memorySize(thandle_t handle) { return static_cast<MemoryFile*>(handle)->size(); }
int memoryMap(thandle_t, void**, toff_t*) { return 0; }
void memoryUnmap(thandle_t, void*, toff_t) {}

int collectMessage(TIFF*, void* user, const char* module, const char* format, va_list args)
{
    auto& f = *static_cast<MemoryFile*>(user);
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    if (!f.errors.empty())
        f.errors += "; ";
    if (module != nullptr && module[0] != '\0')
        f.errors += std::string(module) + ": ";
    f.errors += text;
    return 1;  // handled: nothing reaches the global handlers
}

int ignoreMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }

bool nativeByteOrder(const StripLayout& l)
{
    const uint16_t one = 1;
    uint8_t first;
    std::memcpy(&first, &one, 1);
    return l.bigEndian == (first == 0);
}

// Uncompressed strips in the machine's byte order are the rows themselves.
bool storedAsIs(const StripLayout& l) { return l.compression == COMPRESSION_NONE && nativeByteOrder(l); }

} // namespace

struct StripEncoder::Impl {
    StripLayout layout;
    bool ownLzw;
    MemoryFile file;
    TIFF* tiff = nullptr;
    std::vector<bool> used;       // strips already encoded by this TIFF
    std::vector<uint8_t> row;     // the predictor differences rows in place
    std::vector<uint8_t> strip;   // the same for the own LZW encoder

    Impl(const StripLayout& l, LzwCodec lzw)
        : layout(l), ownLzw(lzw == LzwCodec::Own && l.compression == COMPRESSION_LZW && nativeByteOrder(l)),
          used(l.stripCount(), false), row(l.rowBytes())
    {
    }
    ~Impl() { close(); }

    void close()
    {
        if (tiff != nullptr)
            TIFFClose(tiff);  // writes a directory into `data`, dropped below
        tiff = nullptr;
        file = MemoryFile{};
        std::fill(used.begin(), used.end(), false);
    }

    bool open()
    {
        close();
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(options, collectMessage, &file);
        TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreMessage, nullptr);
        tiff = TIFFClientOpenExt("strip encoder", layout.bigEndian ? "wb" : "wl", &file, memoryRead, memoryWrite,
                                 memorySeek, memoryClose, memorySize, memoryMap, memoryUnmap, options);
        TIFFOpenOptionsFree(options);
        if (tiff == nullptr)
            return false;
        bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, layout.width) == 1 &&
                  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, layout.height) == 1 &&
                  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip) == 1 &&
                  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, layout.bitsPerSample) == 1 &&
                  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, layout.samplesPerPixel) == 1 &&
                  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
                  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1 &&
                  TIFFSetField(tiff, TIFFTAG_COMPRESSION, layout.compression) == 1;
        if (ok && layout.predictor)
            ok = TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) == 1;
        if (ok && layout.zipQuality != -1)
            ok = TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, layout.zipQuality) == 1;
        if (ok && layout.deflateSubcodec != -1)
            ok = TIFFSetField(tiff, TIFFTAG_DEFLATE_SUBCODEC, layout.deflateSubcodec) == 1;
        if (!ok)
            close();
        return ok;
    }
};

StripEncoder::StripEncoder(const StripLayout& layout, LzwCodec lzw) : impl_(std::make_unique<Impl>(layout, lzw)) {}

StripEncoder::~StripEncoder() = default;

bool StripEncoder::encode(uint32_t strip, const uint8_t* rows, EncodedStrip& out)
{
    Impl& m = *impl_;
    const StripLayout& l = m.layout;
    out.bytes.clear();
    out.failedRow = -1;
    out.error.clear();
    const uint32_t count = l.rowsInStrip(strip);
    const uint32_t first = strip * l.rowsPerStrip;
    if (count == 0) {
        out.failedRow = first;
        out.error = "strip " + std::to_string(strip) + " out of range";
        return false;
    }
    const size_t size = static_cast<size_t>(count) * l.rowBytes();
    if (storedAsIs(l)) {
        out.bytes.assign(rows, rows + size);
        return true;
    }
    if (m.ownLzw) {
        if (l.predictor) {
            m.strip.assign(rows, rows + size);
            differenceRows(m.strip.data(), count, l.rowBytes(), l.samplesPerPixel, l.bitsPerSample);
            rows = m.strip.data();
        }
        // The thread's encoder: its table is cleared per strip anyway, and
        // clearing a fresh one per file cost more than small files' strips.
        encodeLzwStrip(rows, size, out.bytes);
        return true;
    }
    // A strip written once has an offset in the directory; libtiff would
    // rewrite it in place, so a second encode of it needs a fresh TIFF.
    if ((m.tiff == nullptr || m.used[strip]) && !m.open()) {
        out.failedRow = first;
        out.error = "cannot open the in-memory TIFF: " + m.file.errors;
        return false;
    }
    m.used[strip] = true;
    m.file.capture = &out;
    m.file.errors.clear();
    const size_t rowBytes = l.rowBytes();
    bool ok = true;
    for (uint32_t r = 0; r < count && ok; ++r) {
        const uint8_t* src = rows + static_cast<size_t>(r) * rowBytes;
        uint8_t* row = const_cast<uint8_t*>(src);  // libtiff reads it only
        if (l.predictor) {
            std::memcpy(m.row.data(), src, rowBytes);
            row = m.row.data();
        }
        // Like the program's writer, only -1 counts: a codec that fails in
        // the middle of a row returns 0 and the strip goes on.
        if (TIFFWriteScanline(m.tiff, row, first + r, 0) == -1) {
            out.failedRow = first + r;
            ok = false;
        }
    }
    if (ok) {
        if (TIFFFlushData(m.tiff) == 0) {
            out.failedRow = EncodedStrip::kEndOfStrip;
            ok = false;
        }
    }
    m.file.capture = nullptr;
    if (m.file.misplacedWrite) {
        ok = false;
        out.failedRow = first;
        m.file.errors += "strip data written out of place";
    }
    if (!ok) {
        out.error = m.file.errors;
        m.close();  // the codec state is undefined after a failure
    }
    return ok;
}

void parallelForThreads(int count, const std::function<void(int index)>& body)
{
    std::vector<std::thread> threads;
    int started = 1;
    try {
        threads.reserve(count > 1 ? static_cast<size_t>(count - 1) : 0);
        for (; started < count; ++started)
            threads.emplace_back(body, started);
    } catch (const std::exception&) {
        // The bodies whose threads did not start run here, after body(0).
    }
    if (count > 0)
        body(0);
    for (int i = started; i < count; ++i)
        body(i);
    for (std::thread& t : threads)
        t.join();
}

// ---------------------------------------------------------------------------
// The writer. Workers claim strips in order, at most `window` ahead of the
// next strip to write. Whichever worker finishes the next strip to write takes
// the writer role and writes every finished strip in order, so the file grows
// while the others keep encoding and no thread waits on a strip nobody holds.

namespace {

struct Slot {
    EncodedStrip strip;
    const uint8_t* direct = nullptr;  // uncompressed rows written straight from the source
    bool ok = false;
    bool thrown = false;       // making the strip threw (rows or buffers)
    bool outOfMemory = false;  // ... because memory ran out
    bool ready = false;
};

class ParallelStripWriter {
public:
    ParallelStripWriter(TIFF* tiff, const StripLayout& layout, const uint8_t* pixels, const RowFiller* fill,
                        int workers, int window, LzwCodec lzw)
        : tiff_(tiff), layout_(layout), lzw_(lzw), pixels_(pixels), fill_(fill), strips_(layout.stripCount()),
          window_(static_cast<uint32_t>(window)), slots_(static_cast<size_t>(window)),
          encoders_(static_cast<size_t>(workers)), rowBuffers_(static_cast<size_t>(workers))
    {
    }

    void work(int worker)
    {
        for (;;) {
            uint32_t strip;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return failed_ || next_ >= strips_ || next_ < written_ + window_; });
                if (failed_ || next_ >= strips_)
                    return;
                strip = next_++;
            }
            Slot& slot = slots_[strip % window_];
            // A strip whose buffers cannot be had (or whose rows cannot be
            // made) fails like a codec failure: the writer stops at it and
            // every worker returns; nothing reads a buffer that is not there.
            slot.thrown = false;
            slot.outOfMemory = false;
            try {
                encodeInto(worker, strip, slot);
            } catch (const std::bad_alloc&) {
                slot.ok = false;
                slot.thrown = true;
                slot.outOfMemory = true;
                slot.strip.error = "out of memory";
            } catch (const std::exception& e) {
                slot.ok = false;
                slot.thrown = true;
                slot.strip.error = e.what();
            }
            std::unique_lock<std::mutex> lock(mutex_);
            slots_[strip % window_].ready = true;
            if (writing_)
                continue;  // the writer picks this strip up when it gets there
            writing_ = true;
            while (!failed_ && written_ < strips_ && slots_[written_ % window_].ready) {
                const uint32_t w = written_;
                lock.unlock();
                const bool ok = writeStrip(w, slots_[w % window_]);
                lock.lock();
                slots_[w % window_].ready = false;
                ++written_;
                failed_ = failed_ || !ok;
                changed_.notify_all();
            }
            writing_ = false;
        }
    }

    StripWriteResult result() const { return result_; }
    bool failed() const { return failed_; }

private:
    void encodeInto(int worker, uint32_t strip, Slot& slot)
    {
        const uint32_t first = strip * layout_.rowsPerStrip;
        const size_t rowBytes = layout_.rowBytes();
        slot.direct = nullptr;
        if (storedAsIs(layout_)) {
            slot.ok = true;
            if (fill_ == nullptr) {
                slot.direct = pixels_ + static_cast<size_t>(first) * rowBytes;
            } else {
                slot.strip.bytes.resize(rowBytes * layout_.rowsInStrip(strip));
                (*fill_)(first, first + layout_.rowsInStrip(strip), slot.strip.bytes.data());
            }
            return;
        }
        const uint8_t* rows;
        if (fill_ != nullptr) {
            std::vector<uint8_t>& buffer = rowBuffers_[static_cast<size_t>(worker)];
            buffer.resize(rowBytes * layout_.rowsPerStrip);
            (*fill_)(first, first + layout_.rowsInStrip(strip), buffer.data());
            rows = buffer.data();
        } else {
            rows = pixels_ + static_cast<size_t>(first) * rowBytes;
        }
        std::unique_ptr<StripEncoder>& encoder = encoders_[static_cast<size_t>(worker)];
        if (!encoder)
            encoder = std::make_unique<StripEncoder>(layout_, lzw_);
        slot.ok = encoder->encode(strip, rows, slot.strip);
    }

    // The row the scanline writer reports when `strip` fails to go out: see
    // StripWriteResult::failedRow.
    int64_t endRow(uint32_t strip) const
    {
        return strip + 1 < strips_ ? static_cast<int64_t>(strip + 1) * layout_.rowsPerStrip
                                   : static_cast<int64_t>(layout_.height) - 1;
    }

    bool writeStrip(uint32_t strip, const Slot& slot)
    {
        const EncodedStrip& e = slot.strip;
        if (slot.thrown) {
            fail(static_cast<int64_t>(strip) * layout_.rowsPerStrip, e.error);
            result_.outOfMemory = slot.outOfMemory;
            return false;
        }
        if (!slot.ok) {
            // The scanline writer shows the codec's message through libtiff.
            TIFFErrorExtR(tiff_, nullptr, "%s", e.error.c_str());
            fail(e.failedRow == EncodedStrip::kEndOfStrip ? endRow(strip) : e.failedRow, e.error);
            return false;
        }
        const tmsize_t n = slot.direct != nullptr
                               ? static_cast<tmsize_t>(layout_.rowBytes() * layout_.rowsInStrip(strip))
                               : static_cast<tmsize_t>(e.bytes.size());
        const uint8_t* data = slot.direct != nullptr ? slot.direct : e.bytes.data();
        errno = 0;
        if (TIFFWriteRawStrip(tiff_, strip, const_cast<uint8_t*>(data), n) != n) {
            const int err = errno;
            fail(endRow(strip), "write failed");
            result_.systemError = err;
            return false;
        }
        return true;
    }

    void fail(int64_t row, const std::string& error)
    {
        result_.status = StripWriteStatus::Failed;
        result_.failedRow = row;
        result_.error = error;
    }

    TIFF* tiff_;
    const StripLayout layout_;
    const LzwCodec lzw_;
    const uint8_t* pixels_;
    const RowFiller* fill_;
    const uint32_t strips_;
    const uint32_t window_;
    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<StripEncoder>> encoders_;  // one per worker
    std::vector<std::vector<uint8_t>> rowBuffers_;          // one per worker

    std::mutex mutex_;
    std::condition_variable changed_;
    uint32_t next_ = 0;      // next strip to claim
    uint32_t written_ = 0;   // strips written
    bool writing_ = false;   // a worker holds the writer role
    bool failed_ = false;
    StripWriteResult result_;  // set by the writer role only
};

StripWriteResult writeStrips(TIFF* tiff, const uint8_t* pixels, const RowFiller* fill, const StripWriteOptions& options)
{
    StripWriteResult result;
    StripLayout layout;
    if (!readStripLayout(tiff, layout, result.error)) {
        result.status = StripWriteStatus::Unsupported;
        return result;
    }
    const uint32_t strips = layout.stripCount();
    if (strips == 0)
        return result;
    const int workers = static_cast<int>(std::clamp<int64_t>(options.workers, 1, strips));
    const int window = static_cast<int>(
        std::clamp<int64_t>(options.window > 0 ? options.window : 2 * static_cast<int64_t>(workers), 1, strips));
    ParallelStripWriter writer(tiff, layout, pixels, fill, workers, window, options.lzw);
    auto body = [&writer](int index) { writer.work(index); };
    if (workers == 1)
        body(0);
    else if (options.parallelFor)
        options.parallelFor(workers, body);
    else
        parallelForThreads(workers, body);
    result = writer.result();
    // libtiff writes the directory only when flushed; a failure there (a full
    // disk) would otherwise leave a short file reported as written.
    errno = 0;
    if (!writer.failed() && TIFFFlush(tiff) == 0) {
        result.systemError = errno;
        result.status = StripWriteStatus::Failed;
        result.failedRow = static_cast<int64_t>(layout.height) - 1;
        result.error = "flush failed";
    }
    return result;
}

} // namespace

StripWriteResult writeStripsParallel(TIFF* tiff, const uint8_t* pixels, const StripWriteOptions& options)
{
    return writeStrips(tiff, pixels, nullptr, options);
}

StripWriteResult writeStripsParallel(TIFF* tiff, const RowFiller& fillRows, const StripWriteOptions& options)
{
    return writeStrips(tiff, nullptr, &fillRows, options);
}

} // namespace quovix
