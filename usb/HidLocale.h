#pragma once
// hidapi's hidraw back end turns the UTF-8 strings it reads from udev (maker, product, serial number)
// into wide strings with the C library, which follows LC_CTYPE. A program that never sets a locale
// runs in "C", where every name with a non-ASCII character fails to convert and comes out empty.
// Every program calls this once at start, before the first device list.

#include <string>

// Takes the character type from the environment when it is UTF-8, else "C.UTF-8" (the device strings
// are UTF-8 whatever the user's locale). Only LC_CTYPE changes: numbers in the output keep their '.'.
// Returns the name of the LC_CTYPE locale now in use.
std::string UseUtf8CharacterType();
