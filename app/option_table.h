// The option table: every option of the command line, once. The parser, the
// usage text beyond the classic part, the man page section and the shell
// completion are all made from it, so a new option is one row here (and its
// field in the public header).
#pragma once

#include "quovix/quovix.h"

#include <span>
#include <string>
#include <vector>

struct CommandLine;

// What an option's value is, for the parser's missing-value check, the help
// text and the completion.
enum class ValueKind {
    None,     // a flag
    Integer,  // leading decimal integer
    Decimal,  // leading decimal number, a decimal comma accepted
    Text,     // any text
    Keyword,  // one of the words in `valueName`, separated by '|'
    File,     // a file name (completed as one)
    Folder,   // a folder name (completed as one)
};

// Section of the generated help text. Classic options are described by the
// fixed usage text; only the other groups are generated.
enum class OptionGroup {
    Classic,      // listed in the classic usage text
    ClassicMore,  // classic spelling and matching, missing from the classic text
    Output,
    FocusStack,
    CameraRaw,
    Alignment,
    MovingObjects,
    Batch,        // several fusions in one command; not passed on to each group's command
    Messages,
};

// State of one walk over the arguments, as option rows see it.
struct OptionWalk {
    quovix::Options& options;
    CommandLine& commandLine;
    std::string& printed;        // console text of the walk, in order
    bool noiseGiven = false;
    bool stop = false;           // the walk ended the run
    int exitCode = 0;
};

struct OptionRow {
    const char* name;            // as typed: "-o", "-nl", "--alignCrop"
    ValueKind kind;
    const char* valueName;       // placeholder in the help ("n", "file"), keywords for ValueKind::Keyword
    OptionGroup group;
    // Classic matching: a long option found anywhere inside the argument (in
    // table order), a short one by its selecting characters whatever follows.
    // Every other long option matches only when spelled in full.
    bool classic;
    void (*apply)(OptionWalk& walk, const char* value);  // value null for flags
    const char* help;            // one line; empty for rows the classic text covers
};

std::span<const OptionRow> optionTable();

// The help section listing every option the classic usage text leaves out.
std::string extraOptionsText();

// The same options as a man page section (roff), between the markers the
// man page keeps it in.
std::string manPageOptionsSection();

// A bash completion script for the program.
std::string bashCompletionScript();

// Value conversions shared by the rows and the parser.
int32_t parseInteger(const char* text);
float parseDecimal(const char* text);
