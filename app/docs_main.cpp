// Writes the texts made from the option table: `quovix_docs completion FILE`
// writes the bash completion script; `quovix_docs man PAGE` rewrites the
// generated options section of the man page in place.
#include "app/option_table.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

int rewriteManPage(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::string page = content.str();
    const std::string section = manPageOptionsSection();
    const std::string first = section.substr(0, section.find('\n') + 1);
    const std::string last = section.substr(section.rfind('\n', section.size() - 2) + 1);
    const size_t begin = page.find(first);
    const size_t end = page.find(last);
    if (!in || begin == std::string::npos || end == std::string::npos || end < begin) {
        std::fprintf(stderr, "%s: no generated options section (marker lines) found\n", path);
        return 1;
    }
    page.replace(begin, end + last.size() - begin, section);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << page;
    return out ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "completion") == 0) {
        std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
        out << bashCompletionScript();
        return out ? 0 : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "man") == 0)
        return rewriteManPage(argv[2]);
    std::fprintf(stderr, "usage: %s completion FILE | man PAGE\n", argv[0]);
    return 1;
}
