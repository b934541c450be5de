// Tovalise: replaces literal text in files, directly or from a script.
#include <cstdio>
#include <string>

#include "messages.h"
#include "replace.h"
#include "script.h"
#include "version.h"

namespace {

const char usage_text[] =
    "**************************************************************************\n"
    "Tovalise " TOVALISE_VERSION " - replaces literal text in files, in place\n"
    "**************************************************************************\n"
    "Syntaxe: \n"
    "* tovalise <fichier_config.txt> source dest   -ou-\n"
    "* tovalise <fichier_config.txt> ou\n"
    "Syntaxe de fichier_config.txt\n"
    "!file <file>\n"
    "!option [no_shift_diff | shift_diff]\n"
    "!source <string>\n"
    "!dest <string>\n"
    "!do\n";

int run_direct(rewrite_run& run, const std::string& path, const std::string& search,
               const std::string& replacement) {
    // An empty search text would match everywhere and nowhere.
    if (search.empty()) {
        print_line({"!Error - the search text is empty"});
        return 1;
    }
    if (replace_in_file(run, path, search, replacement) == 0) {
        print_line({"!Error - FILE \"", path, "\" is an valide file"});
        return 1;
    }
    return 0;
}

int run_mode(rewrite_run& run, int argc, char** argv) {
    if (argc == 2)
        return run_script(run, argv[1]);
    if (argc == 4)
        return run_direct(run, argv[1], argv[2], argv[3]);
    (void)std::fputs(usage_text, stdout); // nothing to do if it cannot be written
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    rewrite_run run;
    int status = run_mode(run, argc, argv);
    // Success is reported only once the new names are on disk.
    if (!flush_rewrites(run)) {
        print_line({"!Error - the changes could not be flushed to disk"});
        return 1;
    }
    return status;
}
