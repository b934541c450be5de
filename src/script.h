// The script interpreter: directive lines that set a target file, a search
// text and a replacement text, and run a replacement pass at every "!do".
#pragma once

#include <string>
#include <string_view>

struct rewrite_run;

// The values the directives set; each keeps what was last set until the same
// directive sets it again. All start empty.
struct script_state {
    std::string target_file;      // "!file "
    std::string search_text;      // "!source "
    std::string replacement_text; // "!dest "
};

// Whether `line` begins with the whole of `prefix`. On a match, points `rest`
// just behind the prefix within `line` and returns 1; else sets it to null
// and returns 0.
int match_prefix(std::string_view line, std::string_view prefix, const char** rest);

// Runs the script at `path` from top to bottom, printing a message on
// standard output for each faulty line. Returns the exit status: 0 when the
// end of the script is reached, 1 when the script cannot be read or a pass
// is refused or fails (the lines after it are not run). The passes are
// made within `run`.
int run_script(rewrite_run& run, const std::string& path);
