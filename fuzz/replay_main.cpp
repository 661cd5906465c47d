// Replays every file of the corpus folders named on the command line
// through the target's LLVMFuzzerTestOneInput: the fuzz targets as ordinary
// tests. Exit status 1 when a folder cannot be read or holds no input.
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    int replayed = 0;
    for (int i = 1; i < argc; i++) {
        DIR* dir = opendir(argv[i]);
        if (dir == nullptr) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream in(std::string(argv[i]) + "/" + entry->d_name, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput((const uint8_t*)bytes.data(), bytes.size());
            replayed++;
        }
        closedir(dir);
    }
    printf("%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
