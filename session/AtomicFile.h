#pragma once
// The one way the program replaces a file it keeps (Quarnel.dat, the history files, the settings
// file): the data goes to a temporary file beside the old one, is synced, and is renamed over it,
// then the folder is synced. A failure at any point leaves the old file whole.

#include <string>

// Writes data to path. An existing file keeps its permission bits; a new one gets 0644 (less the
// umask's bits, as for any new file). On failure error (when given) reads "Unable to write to <path>".
bool WriteFileAtomically(const std::string& path, const std::string& data, std::string* error = nullptr);
