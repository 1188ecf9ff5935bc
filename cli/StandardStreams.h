#pragma once
// Descriptors 0, 1 and 2 as the program found them. A program started with one of them closed would
// hand that number to the next file it opens (a trace or a dump), and then write its log into that
// file; so they are opened on /dev/null before anything else is opened.

// Opens each closed standard descriptor on /dev/null (NUL on Windows); remembers which were closed.
void GuardStandardStreams();
// Standard input was closed at start: "-" has nothing to read.
bool StandardInputWasClosed();
