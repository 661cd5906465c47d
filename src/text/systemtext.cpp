#include "text/systemtext.h"

#include <arpa/inet.h>
#include <string.h>

char* inet_ntoa_safe(in_addr a, char* dst, int size) {
    if (dst == nullptr || size < 1) return dst;
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &a, text, sizeof(text)) == nullptr) text[0] = 0;
    size_t n = strlen(text);
    if (n > (size_t)size - 1) n = (size_t)size - 1;
    memcpy(dst, text, n);
    dst[n] = 0;
    return dst;
}

String GetErrorStr(int errnum) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    // strerror_r invents "Unknown error N" for numbers the system does not
    // know; those have no text.
    if (strerrordesc_np(errnum) == nullptr) return String();
#endif
    char buf[1024];
    buf[0] = 0;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    return String(strerror_r(errnum, buf, sizeof(buf)));
#else
    if (strerror_r(errnum, buf, sizeof(buf)) != 0) return String();
    return String(buf);
#endif
}
