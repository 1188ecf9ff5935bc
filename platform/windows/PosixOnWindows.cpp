// The definitions behind PosixOnWindows.h; this file sees the real calls (the macros come after).
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/windows/WindowsText.h"

#undef open
#undef stat
#undef fopen
#undef rename
#undef unlink
#undef access
#undef mkdir
#undef mkstemp
#undef mkdtemp

namespace {

int ErrnoFromWindows(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

} // namespace

int QuarnelOpen(const char* path, int flags, int mode) {
    return ::_wopen(Utf8ToWide(path).c_str(), flags | _O_BINARY | _O_NOINHERIT,
                    mode & (_S_IREAD | _S_IWRITE));
}

int QuarnelStat(const char* path, struct stat* st) {
    struct _stat64 wide {};
    if (::_wstat64(Utf8ToWide(path).c_str(), &wide) != 0) return -1;
    *st = {};
    st->st_dev = wide.st_dev;
    st->st_ino = wide.st_ino;
    st->st_mode = wide.st_mode;
    st->st_nlink = wide.st_nlink;
    st->st_size = static_cast<decltype(st->st_size)>(wide.st_size);
    st->st_atime = static_cast<decltype(st->st_atime)>(wide.st_atime);
    st->st_mtime = static_cast<decltype(st->st_mtime)>(wide.st_mtime);
    st->st_ctime = static_cast<decltype(st->st_ctime)>(wide.st_ctime);
    return 0;
}

std::FILE* QuarnelFopen(const char* path, const char* mode) {
    std::string m = mode;
    if (m.find('b') == std::string::npos) m += 'b';
    m += 'N'; // not inherited by child processes
    return ::_wfopen(Utf8ToWide(path).c_str(), Utf8ToWide(m).c_str());
}

int QuarnelRename(const char* from, const char* to) {
    if (::MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    errno = ErrnoFromWindows(::GetLastError());
    return -1;
}

int QuarnelUnlink(const char* path) {
    return ::_wunlink(Utf8ToWide(path).c_str());
}

int QuarnelAccess(const char* path, int mode) {
    return ::_waccess(Utf8ToWide(path).c_str(), mode & 06);
}

int QuarnelMkdir(const char* path, int) {
    return ::_wmkdir(Utf8ToWide(path).c_str());
}

namespace {

// Tries names made from pattern (its XXXXXX replaced) until make() takes one; make returns false with
// errno EEXIST for a name in use.
template <class TMake> bool MakeUnique(char* pattern, TMake make) {
    std::string name = pattern;
    const size_t x = name.rfind("XXXXXX");
    if (x == std::string::npos || x + 6 != name.size()) {
        errno = EINVAL;
        return false;
    }
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned seed = unsigned(::GetTickCount()) ^ unsigned(::GetCurrentProcessId() << 8);
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = 0; i < 6; ++i) {
            seed = seed * 1103515245u + 12345u;
            name[x + i] = digits[(seed >> 16) % 36];
        }
        if (make(Utf8ToWide(name))) {
            name.copy(pattern, name.size());
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

} // namespace

int QuarnelMkstemp(char* pattern) {
    int fd = -1;
    MakeUnique(pattern, [&fd](const std::wstring& name) {
        fd = ::_wopen(name.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                      _S_IREAD | _S_IWRITE);
        return fd >= 0;
    });
    return fd;
}

char* QuarnelMkdtemp(char* pattern) {
    return MakeUnique(pattern, [](const std::wstring& name) { return ::_wmkdir(name.c_str()) == 0; })
               ? pattern
               : nullptr;
}
