// The platform module on Windows.
#include "platform.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

#include <aclapi.h>

// The start-up code hands `*` and `?` to main as they were typed.
extern "C" {
int _dowildcard = 0;
}

namespace platform {

namespace {

constexpr DWORD max_io_size = 1u << 30;
constexpr size_t copy_block_size = 256 * 1024;

// The attributes a rewritten file takes over; read-only files are refused
// and the system keeps the others (compression, encryption, sparseness)
// to itself.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE;

HANDLE handle_of(const file& f) { return reinterpret_cast<HANDLE>(f.handle); }

// A path as the system takes it; `device` is set for the reserved names
// (NUL, CON, COM1, aux.txt...) and other paths that open a device.
struct wide_path {
    std::wstring text;
    bool device = false;
};

bool to_wide(const std::string& path, std::wstring& result) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    if (path.size() > 0x7fffffff)
        return false;
    int length = ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                       nullptr, 0);
    if (length <= 0)
        return false;
    result.assign(static_cast<size_t>(length), L'\0');
    return ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                 &result[0], length) == length;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// Makes the path full, then gives it the "\\?\" form, in which no length
// limit but the system's applies. Reserved device names come back from the
// system as "\\.\NAME".
bool widen(const std::string& path, wide_path& result) {
    std::wstring given;
    if (!to_wide(path, given))
        return false;
    if (starts_with(given, L"\\\\?\\")) {
        result.text = given;
        return true;
    }
    DWORD size = ::GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return false;
    std::wstring full(size, L'\0');
    DWORD length = ::GetFullPathNameW(given.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size)
        return false;
    full.resize(length);
    result.device = starts_with(full, L"\\\\.\\");
    if (result.device)
        result.text = full;
    else if (starts_with(full, L"\\\\"))
        result.text = L"\\\\?\\UNC\\" + full.substr(2);
    else
        result.text = L"\\\\?\\" + full;
    return true;
}

failure failure_of_open(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return failure::not_writable;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return failure::busy;
    default:
        return failure::not_found;
    }
}

// A handle that closes itself.
struct handle {
    handle() = default;
    explicit handle(HANDLE value) : value(value) {}
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    ~handle() { reset(); }
    void reset(HANDLE next = INVALID_HANDLE_VALUE) {
        if (value != INVALID_HANDLE_VALUE)
            (void)::CloseHandle(value); // nothing written through it is pending
        value = next;
    }
    bool is_open() const { return value != INVALID_HANDLE_VALUE; }

    HANDLE value = INVALID_HANDLE_VALUE;
};

// What tells a file apart from another one and from itself at an earlier
// moment.
struct file_state {
    DWORD volume = 0;
    uint64_t index = 0;
    DWORD attributes = 0;
    uint64_t size = 0;
    LARGE_INTEGER creation_time{};
    LARGE_INTEGER write_time{};
    LARGE_INTEGER change_time{};
};

bool state_of(HANDLE h, file_state& result) {
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!::GetFileInformationByHandle(h, &info) ||
        !::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        !::GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard))
        return false;
    result.volume = info.dwVolumeSerialNumber;
    result.index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    result.attributes = basic.FileAttributes;
    result.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    result.creation_time = basic.CreationTime;
    result.write_time = basic.LastWriteTime;
    result.change_time = basic.ChangeTime;
    return true;
}

bool same_file(const file_state& a, const file_state& b) {
    return a.volume == b.volume && a.index == b.index;
}

bool unchanged(const file_state& before, const file_state& now) {
    return same_file(before, now) && before.size == now.size &&
           before.write_time.QuadPart == now.write_time.QuadPart &&
           before.change_time.QuadPart == now.change_time.QuadPart;
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The state of whatever file `path` names now.
bool state_at(const std::wstring& path, file_state& result) {
    handle h(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return h.is_open() && state_of(h.value, result);
}

// The path of the file a handle is open on, links resolved: the new
// content is written beside the file itself, so a link stays a link.
std::wstring final_path_of(HANDLE h, const std::wstring& fallback) {
    DWORD size = ::GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (size == 0)
        return fallback;
    std::wstring result(size, L'\0');
    DWORD length = ::GetFinalPathNameByHandleW(h, &result[0], size,
                                               FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= size)
        return fallback;
    result.resize(length);
    return result;
}

bool set_delete_pending(HANDLE h, bool pending) {
    FILE_DISPOSITION_INFO info;
    info.DeleteFile = pending ? TRUE : FALSE;
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

// Runs of this tool on one path take turns through a named mutex, which
// only they know: no other program's lock or open handle can hold a run up,
// and a run that waits keeps nothing open that would stop the other's
// rename. A run that dies gives it up (the wait then reports it abandoned).
std::wstring mutex_name_of(const std::wstring& path) {
    // File names compare without case; the mapping is the file system's.
    std::wstring upper = path;
    (void)::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.c_str(), static_cast<int>(path.size()),
                         &upper[0], static_cast<int>(upper.size())); // on failure, the path as given
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : upper)
        hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
    wchar_t hex[17];
    for (int i = 15; i >= 0; --i, hash >>= 4)
        hex[i] = L"0123456789abcdef"[hash & 15];
    hex[16] = L'\0';
    return std::wstring(L"Global\\tovalise-") + hex;
}

// Takes the turn for `path`, waiting up to `deadline`.
failure take_turn(const std::wstring& path, ULONGLONG deadline, handle& result) {
    result.reset(::CreateMutexW(nullptr, FALSE, mutex_name_of(path).c_str()));
    if (result.value == nullptr) {
        result.value = INVALID_HANDLE_VALUE;
        return failure::read_failed;
    }
    ULONGLONG now = ::GetTickCount64();
    DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 0xfffffffe));
    DWORD waited = ::WaitForSingleObject(result.value, wait);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return failure::none;
    result.reset();
    return waited == WAIT_TIMEOUT ? failure::busy : failure::read_failed;
}

void give_turn(handle& turn) {
    if (turn.is_open())
        (void)::ReleaseMutex(turn.value); // closing it gives it up as well
    turn.reset();
}

bool read_at(HANDLE h, uint64_t offset, char* data, DWORD size, DWORD& got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    got = 0;
    if (::ReadFile(h, data, size, &got, &at))
        return true;
    return ::GetLastError() == ERROR_HANDLE_EOF;
}

bool write_whole(HANDLE h, const char* data, size_t size) {
    while (size > 0) {
        DWORD step = static_cast<DWORD>(std::min<size_t>(size, max_io_size));
        DWORD put = 0;
        if (!::WriteFile(h, data, step, &put, nullptr) || put == 0)
            return false;
        data += put;
        size -= put;
    }
    return true;
}

} // namespace

struct run {
    bool flush_failed = false;
};

struct target {
    handle turn;        // for the path given
    handle final_turn;  // for the file's own path, when a link led there
    handle data;
    std::wstring path; // full, links resolved
    file_state opened; // as it was once held
    uint64_t read_offset = 0;
    bool temp_name_fits = true;
};

struct temp_file {
    handle data;
    std::wstring path;
    bool delete_pending = false; // the system removes it when it is closed
    bool committed = false;
    std::vector<char> copy_block;
};

void closer::operator()(run* what) const { delete what; }

void closer::operator()(target* what) const {
    what->data.reset();
    give_turn(what->final_turn);
    give_turn(what->turn);
    delete what;
}

void closer::operator()(temp_file* what) const {
    // A failed pass has called discard_temp already; this is a last resort.
    (void)discard_temp(*what);
    delete what;
}

file::file(file&& other) noexcept : handle(other.handle) { other.handle = -1; }

file& file::operator=(file&& other) noexcept {
    if (this != &other) {
        if (handle != -1)
            (void)::CloseHandle(handle_of(*this)); // only ever read
        handle = other.handle;
        other.handle = -1;
    }
    return *this;
}

file::~file() {
    if (handle != -1)
        (void)::CloseHandle(handle_of(*this)); // only ever read
}

bool open_for_reading(const std::string& path, file& result) {
    wide_path wide;
    if (!widen(path, wide))
        return false;
    // Without backup semantics a directory does not open.
    HANDLE h = ::CreateFileW(wide.text.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    result = file(reinterpret_cast<intptr_t>(h));
    return true;
}

long long read_some(file& from, char* data, size_t size) {
    DWORD got = 0;
    DWORD step = static_cast<DWORD>(std::min<size_t>(size, max_io_size));
    if (::ReadFile(handle_of(from), data, step, &got, nullptr))
        return got;
    DWORD error = ::GetLastError();
    // The writer of a pipe has gone: the end of the input.
    return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : -1;
}

owned<run> start_run() {
    // No dialog box for a missing disk or a crash: a console tool reports
    // or dies.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    return owned<run>(new run());
}

namespace {

// Opens the file found at `path`, refusing anything but a writable disk
// file before any data is read.
failure open_data(const std::wstring& path, handle& result, file_state& state) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failure_of_open(::GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return failure::not_regular;
    // DELETE too: the replace needs it, and it fails here, before anything is
    // read, where another program holds the file without sharing it.
    result.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL,
                               share_all, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                               nullptr));
    if (!result.is_open())
        return failure_of_open(::GetLastError());
    if (::GetFileType(result.value) != FILE_TYPE_DISK || !state_of(result.value, state))
        return failure::not_regular;
    if (state.attributes & FILE_ATTRIBUTE_DIRECTORY)
        return failure::not_regular;
    // The system does not always enforce it (a privileged process opens such
    // a file for writing): the attribute is checked here.
    if (state.attributes & FILE_ATTRIBUTE_READONLY)
        return failure::not_writable;
    return failure::none;
}

// Opens the file that bears `path` once the turn is taken, and records
// what it is like.
failure open_held(const std::wstring& path, target& result) {
    handle h;
    file_state held;
    failure failed = open_data(path, h, held);
    if (failed != failure::none)
        return failed;
    result.data.reset(h.value);
    h.value = INVALID_HANDLE_VALUE;
    result.opened = held;
    return failure::none;
}

// Whether the temporary file can be made beside the file, asked by making
// it and letting the system remove it at once: the right to create files in
// a folder is not always checked when the folder is opened.
failure probe_temp(const std::wstring& temp, bool& fits) {
    fits = true;
    handle h(::CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (h.is_open()) {
        h.reset();
        // A folder where nothing can be removed keeps it: say so.
        return ::GetFileAttributesW(temp.c_str()) == INVALID_FILE_ATTRIBUTES ? failure::none
                                                                              : failure::temp_left;
    }
    DWORD error = ::GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
        return failure::temp_taken;
    if (error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME) {
        // Only a rewrite needs the name; a file with nothing to change is left alone.
        fits = false;
        return failure::none;
    }
    return failure::not_writable;
}

} // namespace

failure open_target(const std::string& path, owned<target>& result,
                    std::chrono::milliseconds wait_limit) {
    ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(wait_limit.count());
    wide_path wide;
    if (!widen(path, wide))
        return failure::not_found;
    if (wide.device)
        return failure::not_regular;
    owned<target> opened(new target());
    failure failed = take_turn(wide.text, deadline, opened->turn);
    if (failed != failure::none)
        return failed;
    // A link leads to a file that other runs may name by its own path.
    {
        handle probe;
        file_state state;
        failed = open_data(wide.text, probe, state);
        if (failed != failure::none)
            return failed;
        opened->path = final_path_of(probe.value, wide.text);
    }
    if (::CompareStringOrdinal(opened->path.c_str(), -1, wide.text.c_str(), -1, TRUE) != CSTR_EQUAL) {
        failed = take_turn(opened->path, deadline, opened->final_turn);
        if (failed != failure::none)
            return failed;
    }
    failed = open_held(opened->path, *opened);
    if (failed != failure::none)
        return failed;
    failed = probe_temp(opened->path + L".tmp", opened->temp_name_fits);
    if (failed != failure::none)
        return failed;
    result = std::move(opened);
    return failure::none;
}

long long read_target(target& from, char* data, size_t size) {
    DWORD got = 0;
    DWORD step = static_cast<DWORD>(std::min<size_t>(size, max_io_size));
    if (!read_at(from.data.value, from.read_offset, data, step, got))
        return -1;
    from.read_offset += got;
    // Grown since it was opened: another program is writing to it.
    if (from.read_offset > from.opened.size)
        return -1;
    return got;
}

failure create_temp(target& of, owned<temp_file>& result) {
    if (!of.temp_name_fits)
        return failure::not_writable;
    owned<temp_file> temp(new temp_file());
    temp->path = of.path + L".tmp";
    // The target's access control list from the first instant, so that
    // nobody who may not read the target can open the new file.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (::GetSecurityInfo(of.data.value, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS)
        security.lpSecurityDescriptor = descriptor;
    // CREATE_NEW neither follows nor replaces anything that bears the name.
    temp->data.reset(::CreateFileW(temp->path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, &security, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    DWORD error = ::GetLastError();
    if (descriptor != nullptr)
        (void)::LocalFree(descriptor); // no longer needed either way
    if (!temp->data.is_open()) {
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
            return failure::temp_taken;
        return error == ERROR_ACCESS_DENIED ? failure::not_writable : failure::write_failed;
    }
    // Removed by the system if the run dies before the commit.
    temp->delete_pending = set_delete_pending(temp->data.value, true);
    temp->copy_block.resize(copy_block_size);
    result = std::move(temp);
    return failure::none;
}

failure append_prefix(target& from, temp_file& to, uint64_t length) {
    for (uint64_t offset = 0; offset < length;) {
        DWORD step = static_cast<DWORD>(std::min<uint64_t>(length - offset, to.copy_block.size()));
        DWORD got = 0;
        if (!read_at(from.data.value, offset, to.copy_block.data(), step, got))
            return failure::read_failed;
        // The file shrank under us: what was read no longer matches it.
        if (got == 0)
            return failure::read_failed;
        if (!write_whole(to.data.value, to.copy_block.data(), got))
            return failure::write_failed;
        offset += got;
    }
    return failure::none;
}

failure append(temp_file& to, const char* data, size_t size) {
    return write_whole(to.data.value, data, size) ? failure::none : failure::write_failed;
}

namespace {

// Windows 10 and later replace a file that other programs hold open, as
// Linux does; older systems refuse with ERROR_ACCESS_DENIED.
constexpr FILE_INFO_BY_HANDLE_CLASS file_rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD rename_replace_if_exists = 0x1;
constexpr DWORD rename_posix_semantics = 0x2;

bool rename_over(HANDLE h, const std::wstring& to, bool posix) {
    // The structure ends in the name; it is allocated with room for it.
    size_t bytes = sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t);
    std::vector<char> storage(bytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    if (posix) {
        DWORD flags = rename_replace_if_exists | rename_posix_semantics;
        std::memcpy(info, &flags, sizeof flags);
    } else {
        info->ReplaceIfExists = TRUE;
    }
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, to.c_str(), to.size() * sizeof(wchar_t));
    return ::SetFileInformationByHandle(h, posix ? file_rename_info_ex : FileRenameInfo, info,
                                        static_cast<DWORD>(bytes)) != 0;
}

// The target's attributes and creation time; the access control list came
// with the creation.
bool copy_attributes(const target& from, temp_file& to) {
    FILE_BASIC_INFO basic{};
    basic.CreationTime = from.opened.creation_time;
    // The content changed: the file is to be backed up again.
    basic.FileAttributes = (from.opened.attributes & kept_attributes) | FILE_ATTRIBUTE_ARCHIVE;
    return ::SetFileInformationByHandle(to.data.value, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The temporary file bears its name once more: closing it must remove it,
// by the system where it takes the mark, else by name.
failure abandon_named(temp_file& temp, failure why) {
    temp.delete_pending = set_delete_pending(temp.data.value, true);
    return why;
}

} // namespace

failure commit(run& in, target& into, temp_file& from) {
    if (!copy_attributes(into, from) || !::FlushFileBuffers(from.data.value))
        return failure::write_failed;
    file_state held, named;
    if (!state_of(into.data.value, held) || !unchanged(into.opened, held))
        return failure::changed;
    if (!state_at(into.path, named) || !same_file(into.opened, named))
        return failure::changed;
    // Renaming a file whose delete is pending would delete the result.
    if (from.delete_pending && !set_delete_pending(from.data.value, false))
        return failure::commit_failed;
    from.delete_pending = false;
    bool renamed = rename_over(from.data.value, into.path, true) ||
                   rename_over(from.data.value, into.path, false);
    if (!renamed && ::GetLastError() == ERROR_ACCESS_DENIED) {
        // An older system will not replace a file that is open, even by us;
        // the turn is still ours.
        into.data.reset();
        renamed = rename_over(from.data.value, into.path, false);
    }
    if (!renamed)
        return abandon_named(from, failure::commit_failed);
    from.committed = true;
    // As MOVEFILE_WRITE_THROUGH does: the flush of the renamed file also
    // writes out the change of name.
    if (!::FlushFileBuffers(from.data.value))
        in.flush_failed = true;
    return failure::none;
}

bool discard_temp(temp_file& temp) {
    if (temp.committed || !temp.data.is_open())
        return true;
    bool pending = temp.delete_pending;
    temp.data.reset();
    if (!pending && !::DeleteFileW(temp.path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    // Another program that holds it open keeps the name until it lets go.
    return ::GetFileAttributesW(temp.path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool make_durable(run& of) {
    bool durable = !of.flush_failed;
    of.flush_failed = false;
    return durable;
}

} // namespace platform
