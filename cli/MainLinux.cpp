// quarnel's entry point on Linux: the arguments are taken as they come (UTF-8 in a UTF-8 locale).
#include "cli/CliPlatform.h"

int main(int argc, char** argv) {
    return QuarnelMain(argc, argv);
}
