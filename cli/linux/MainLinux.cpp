// quarnel's entry point on Linux: the arguments are taken as they come (UTF-8 in a UTF-8 locale).
#include "cli/CliPlatform.h"
#include "cli/StandardStreams.h"

int main(int argc, char** argv) {
    GuardStandardStreams();
    return QuarnelMain(argc, argv);
}
