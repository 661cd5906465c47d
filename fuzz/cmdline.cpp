// Fuzz target: the command-line splitter of the program runner. The first
// two bytes choose the buffer size (0 to the runner's own buffer size); the
// rest is the command line. The buffer is allocated at exactly that size so
// that the sanitizer sees any write behind it. Nothing is run. Besides
// crashes it checks the splitter's promises: the count is within the limit,
// the list ends with null, and every argument lies inside the buffer.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "proc/runner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 8192) return 0;
    const int bufferSize = ((data[0] << 8) | data[1]) % (RUNNER_ARG_BUFFER + 1);
    std::string line((const char*)data + 2, size - 2);  // ends at the first zero byte
    std::vector<char> buffer((size_t)bufferSize);
    char* argv[RUNNER_MAX_ARGS + 2];
    argv[RUNNER_MAX_ARGS + 1] = (char*)&argv;  // a mark behind the promised room
    int argc = SplitCommandLine(line.c_str(), buffer.data(), bufferSize, argv);
    if (argc < 0 || argc > RUNNER_MAX_ARGS || argv[argc] != nullptr) abort();
    if (argv[RUNNER_MAX_ARGS + 1] != (char*)&argv) abort();
    size_t used = 0;
    for (int i = 0; i < argc; i++) {
        if (argv[i] != buffer.data() + used) abort();  // packed one after the other
        size_t len = strlen(argv[i]);
        used += len + 1;
        if (used > (size_t)bufferSize) abort();
        // Every argument comes from the line.
        if (strstr(line.c_str(), argv[i]) == nullptr) abort();
    }
    // A line of blanks alone, or an empty one, has no argument.
    if (line.c_str()[strspn(line.c_str(), " \t")] == 0 && argc != 0) abort();
    return 0;
}
