#pragma once
// Windows has no nl_langinfo; the program's text is UTF-8 throughout (the console is switched to it).
#define CODESET 14
inline const char* nl_langinfo(int) { return "UTF-8"; }
