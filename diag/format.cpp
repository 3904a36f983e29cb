// Placeholder: replaced by the real implementation.
#include "diag/log.h"

int FormatText(char *buffer, int size, const char *, va_list)
{
    if (size > 0) buffer[0] = 0;
    return 0;
}
int FormatTextW(WCHAR *buffer, int size, const WCHAR *, va_list)
{
    if (size > 0) buffer[0] = 0;
    return 0;
}
int FormatTextF(char *buffer, int size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = FormatText(buffer, size, format, args);
    va_end(args);
    return n;
}
int FormatTextWF(WCHAR *buffer, int size, const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = FormatTextW(buffer, size, format, args);
    va_end(args);
    return n;
}
