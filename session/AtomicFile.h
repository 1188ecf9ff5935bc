#pragma once
// The one way the program replaces a file it keeps (Quarnel.dat, the history files, the settings
// file): the data goes to a temporary file beside the old one, is synced, and is renamed over it,
// then the folder is synced. A failure at any point leaves the old file whole. And the one way it
// reads them: only a regular file, opened without blocking, and no more of it than the caller wants.

#include <cstddef>
#include <string>

// Writes data to path. An existing file keeps its permission bits; a new one gets 0644 (less the
// umask's bits, as for any new file). A file the user made read-only (no write permission for its
// owner) and anything but a regular file (a FIFO, a device) are left alone. On failure error (when
// given) reads "Unable to write to <path>".
bool WriteFileAtomically(const std::string& path, const std::string& data, std::string* error = nullptr);

// Reads up to limit bytes of path into data. False (data empty) when the file cannot be opened or is
// not a regular file: a FIFO or a device in its place must not stop the program. cut (when given)
// tells whether the file holds more than limit bytes.
bool ReadKeptFile(const std::string& path, size_t limit, std::string& data, bool* cut = nullptr);
