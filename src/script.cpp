#include "script.h"

#include <cstring>
#include <string>
#include <vector>

#include "messages.h"
#include "platform.h"
#include "replace.h"

namespace {

constexpr size_t script_block_size = 64 * 1024;

// Reads a script line by line through one fixed block; a line may be of any
// length, only the line itself is kept.
struct line_reader {
    platform::file& file;
    std::vector<char> block = std::vector<char>(script_block_size);
    size_t start = 0;
    size_t end = 0;
    bool at_end = false;
};

enum class line_status { line, end, failed };

// Takes the rest of the current line from the block; true when its line
// feed was found. A carriage return before the line feed is part of the
// line end.
bool take_line_part(line_reader& reader, std::string& line) {
    const char* from = reader.block.data() + reader.start;
    size_t available = reader.end - reader.start;
    const void* feed = std::memchr(from, '\n', available);
    size_t length = feed ? static_cast<const char*>(feed) - from : available;
    line.append(from, length);
    reader.start += feed ? length + 1 : length;
    if (feed && !line.empty() && line.back() == '\r')
        line.pop_back();
    return feed != nullptr;
}

line_status read_line(line_reader& reader, std::string& line) {
    line.clear();
    for (;;) {
        if (reader.start < reader.end && take_line_part(reader, line))
            return line_status::line;
        if (reader.at_end)
            return line.empty() ? line_status::end : line_status::line;
        long long n = platform::read_some(reader.file, reader.block.data(), reader.block.size());
        if (n < 0)
            return line_status::failed;
        reader.start = 0;
        reader.end = static_cast<size_t>(n);
        reader.at_end = n == 0;
    }
}

// The directives that set a value, in the order they are tested.
struct setter {
    std::string_view prefix;
    std::string script_state::*value; // null: consumed, changes nothing
};

const setter setters[] = {
    {"!option ", nullptr},
    {"!source ", &script_state::search_text},
    {"!dest ", &script_state::replacement_text},
    {"!file ", &script_state::target_file},
};

// Runs a replacement pass; false when the run must end.
bool run_do(rewrite_run& run, const script_state& state, std::string_view number) {
    if (state.search_text.empty() || state.replacement_text.empty() ||
        state.target_file.empty()) {
        print_line({"!Error on line ", number, " - cmd Do need source & dest & valide file"});
        return false;
    }
    if (replace_in_file(run, state.target_file, state.search_text, state.replacement_text) == 0) {
        print_line({"!Error on line ", number, " - FILE \"", state.target_file,
                    "\" is an valide file"});
        return false;
    }
    return true;
}

// Carries out one line; false when the run must end.
bool run_line(rewrite_run& run, script_state& state, std::string_view line,
              unsigned long long line_number) {
    const char* rest = nullptr;
    for (const setter& directive : setters) {
        if (match_prefix(line, directive.prefix, &rest)) {
            if (directive.value != nullptr)
                (state.*directive.value).assign(rest, line.data() + line.size() - rest);
            return true;
        }
    }
    std::string number = std::to_string(line_number);
    if (match_prefix(line, "!do", &rest))
        return run_do(run, state, number);
    print_line({"!Error on line ", number, " - line:\"", line, "\" is not in the language"});
    return true;
}

} // namespace

int match_prefix(std::string_view line, std::string_view prefix, const char** rest) {
    if (line.size() >= prefix.size() && line.compare(0, prefix.size(), prefix) == 0) {
        *rest = line.data() + prefix.size();
        return 1;
    }
    *rest = nullptr;
    return 0;
}

int run_script(rewrite_run& run, const std::string& path) {
    platform::file file;
    if (!platform::open_for_reading(path, file)) {
        print_line({"!Error: no file found"});
        return 1;
    }
    script_state state;
    line_reader reader{file};
    std::string line;
    for (unsigned long long line_number = 1;; ++line_number) {
        switch (read_line(reader, line)) {
        case line_status::end:
            return 0;
        case line_status::failed:
            print_line({"!Error on line ", std::to_string(line_number),
                        " - the script could not be read"});
            return 1;
        case line_status::line:
            if (!run_line(run, state, line, line_number))
                return 1;
            break;
        }
    }
}
