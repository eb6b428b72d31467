#include "alignment/transform_file.h"

#include <charconv>
#include <cmath>

namespace quovix::align {

namespace {

// to_chars and from_chars ignore the locale, unlike printf and strtod.
void appendValue(std::string& out, double v)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, 17);
    out.append(buffer, result.ptr);
}

std::string lineError(size_t line, const std::string& what)
{
    return "transform file line " + std::to_string(line) + ": " + what;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The nine numbers after the path's TAB; the reason as `what` when they are
// not nine valid finite numbers.
bool parseMatrix(const char* p, const char* lineEnd, Homography& matrix, std::string& what)
{
    int count = 0;
    while (true) {
        while (p < lineEnd && isBlank(*p))
            ++p;
        if (p == lineEnd)
            break;
        const char* tokenEnd = p;
        while (tokenEnd < lineEnd && !isBlank(*tokenEnd))
            ++tokenEnd;
        if (count == 9) {
            what = "more than nine numbers";
            return false;
        }
        double v = 0.0;
        const auto result = std::from_chars(p, tokenEnd, v);
        if (result.ec != std::errc() || result.ptr != tokenEnd || !std::isfinite(v)) {
            // A hostile file may hold one huge token: messages show its start.
            constexpr size_t kShown = 40;
            const size_t length = static_cast<size_t>(tokenEnd - p);
            const std::string shown = length > kShown ? std::string(p, kShown) + "..." : std::string(p, tokenEnd);
            what = "not a valid number: '" + shown + "'";
            return false;
        }
        matrix[count++] = v;
        p = tokenEnd;
    }
    if (count != 9) {
        what = "expected nine numbers, found " + std::to_string(count);
        return false;
    }
    return true;
}

// One line holding a path, a TAB and nine numbers, into `entry`; the reason
// as `what` when it does not.
bool parseEntry(const std::string& line, TransformEntry& entry, std::string& what)
{
    // The values hold no TAB, so the last one ends the path, which may hold
    // anything else.
    const size_t tab = line.rfind('\t');
    if (tab == std::string::npos) {
        what = "expected a path, a TAB and nine numbers";
        return false;
    }
    entry.path = line.substr(0, tab);
    if (entry.path.empty()) {
        what = "empty path";
        return false;
    }
    // A carriage return inside a line (a file with old Mac line ends, or a
    // damaged one) would make a path that cannot be written back.
    if (entry.path.find('\r') != std::string::npos) {
        what = "a carriage return inside the path (line ends must be LF or CR LF)";
        return false;
    }
    if (!parseMatrix(line.data() + tab + 1, line.data() + line.size(), entry.toReference, what))
        return false;
    Homography inverse;
    if (!invert(entry.toReference, inverse)) {
        what = "the matrix cannot be inverted";
        return false;
    }
    return true;
}

} // namespace

bool formatTransforms(const std::vector<TransformEntry>& entries, std::string& text, std::string& error)
{
    std::string out = "# quovix alignment: path TAB 3x3 matrix by rows (input pixel -> reference pixel)\n";
    for (const TransformEntry& e : entries) {
        if (e.path.find_first_of("\n\r") != std::string::npos) {
            error = "cannot save the transform of a path holding a line break: " + e.path;
            return false;
        }
        out += e.path;
        out += '\t';
        for (size_t k = 0; k < e.toReference.size(); ++k) {
            if (!std::isfinite(e.toReference[k])) {
                error = "cannot save a transform that is not finite (" + e.path + ")";
                return false;
            }
            if (k > 0)
                out += ' ';
            appendValue(out, e.toReference[k]);
        }
        out += '\n';
    }
    text = std::move(out);
    return true;
}

bool parseTransforms(const std::string& text, std::vector<TransformEntry>& entries, std::string& error)
{
    std::vector<TransformEntry> parsed;
    size_t lineNumber = 0;
    size_t start = 0;
    // Editors on some systems start UTF-8 text with a byte order mark.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t firstText = 0;
        while (firstText < line.size() && isBlank(line[firstText]))
            ++firstText;
        // A path may start with '#'; its line still holds the TAB.
        if (firstText == line.size() || (line[firstText] == '#' && line.find('\t') == std::string::npos))
            continue;
        TransformEntry entry;
        std::string what;
        if (!parseEntry(line, entry, what)) {
            error = lineError(lineNumber, what);
            return false;
        }
        parsed.push_back(std::move(entry));
    }
    entries = std::move(parsed);
    return true;
}

} // namespace quovix::align
