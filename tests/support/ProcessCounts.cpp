#include "tests/support/OpenDescriptors.h"

#include <dirent.h>

namespace kestrane::test {

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* directory = opendir("/proc/self/fd")) {
        while (readdir(directory) != nullptr) {
            ++count;
        }
        closedir(directory);
    }
    return count;
}

} // namespace kestrane::test
