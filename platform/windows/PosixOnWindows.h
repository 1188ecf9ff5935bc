#pragma once
// Read first by every file of the Windows build (cmake/WindowsDeps.cmake passes it with -include), so
// that the core's few POSIX file calls serve on Windows unchanged: paths are UTF-8 and go to the wide
// APIs, files are opened in binary mode (what is written is byte-identical to Linux, LF only), and the
// flags and calls Windows has no use for are no-ops. Nothing here is meant for new code: platform code
// for Windows calls the Windows API itself.

#ifdef __cplusplus
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem> // before the macros below: it declares functions of the same names
#include <fstream>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0 // handles are opened not inheritable (QuarnelOpen)
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0 // no FIFOs to wait on
#endif
#ifndef O_DIRECTORY
#define O_DIRECTORY 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef S_ISSOCK
#define S_ISSOCK(m) 0
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) 0
#endif
#ifndef S_ISBLK
#define S_ISBLK(m) 0
#endif
#ifndef F_GETFL
#define F_GETFL 3
#define F_SETFL 4
#endif
#ifndef X_OK
#define X_OK 0 // folders are always searchable
#endif

int QuarnelOpen(const char* path, int flags, int mode = 0666);
int QuarnelStat(const char* path, struct stat* st);
std::FILE* QuarnelFopen(const char* path, const char* mode);
int QuarnelRename(const char* from, const char* to); // replaces an existing file, as on POSIX
int QuarnelUnlink(const char* path);
int QuarnelAccess(const char* path, int mode);
int QuarnelMkdir(const char* path, int mode);
int QuarnelMkstemp(char* pattern);
char* QuarnelMkdtemp(char* pattern);
inline int QuarnelFcntl(int, int, ...) {
    return 0;
}
inline int QuarnelFchmod(int, int) {
    return 0;
} // only the read-only bit means anything on Windows
inline int QuarnelFsync(int fd) {
    return _commit(fd);
}

#define open(...) QuarnelOpen(__VA_ARGS__)
#define stat(p, s) QuarnelStat(p, s)
#define fopen(p, m) QuarnelFopen(p, m)
#define rename(a, b) QuarnelRename(a, b)
#define unlink(p) QuarnelUnlink(p)
#define access(p, m) QuarnelAccess(p, m)
#define mkdir(p, m) QuarnelMkdir(p, m)
#define mkstemp(p) QuarnelMkstemp(p)
#define mkdtemp(p) QuarnelMkdtemp(p)
#define fcntl QuarnelFcntl
#define fchmod QuarnelFchmod
#define fsync QuarnelFsync

namespace std {
using ::QuarnelFopen;
using ::QuarnelRename;
} // namespace std
#endif
