#include "console.h"

void fprinthex(FILE *stream, const void *data, int len)
{
    // Bytes are read unsigned so that 0x80..0xFF print as two digits, never
    // as a sign-extended FFFFFF80.
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (int i = 0; i < len; i++)
        fprintf(stream, "%02X ", bytes[i]);
}

void printhex(const void *data, int len)
{
    fprinthex(stdout, data, len);
}
