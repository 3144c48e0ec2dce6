#include "tests/support/ProcessCounts.h"

#include <dirent.h>

namespace kestrane::test {
namespace {

// Entries of a /proc directory, "." and ".." aside.
int EntryCount(const char* path) {
    int count = 0;
    if (DIR* directory = opendir(path)) {
        while (const dirent* entry = readdir(directory)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(directory);
    }
    return count;
}

} // namespace

int OpenDescriptorCount() {
    return EntryCount("/proc/self/fd") - 1; // the directory's own descriptor
}

int ThreadCount() {
    return EntryCount("/proc/self/task");
}

} // namespace kestrane::test
