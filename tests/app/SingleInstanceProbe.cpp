// Takes the application's single-instance lock under the name given, says
// "holding" and keeps it until its standard input closes. A second copy with
// the same name ends in the application's constructor with status 1.
#include "app/CTavrinApp.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    kestrane::CTavrinApp application(argv[1]);
    std::puts("holding");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
