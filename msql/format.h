// The one writer of the library's fixed text buffers (error text, request,
// trace line, connection texts, configuration messages): text that does not
// fit is cut at the buffer's size, never written past it.
#ifndef KORVID_MSQL_FORMAT_H
#define KORVID_MSQL_FORMAT_H

#include <cstdarg>
#include <cstddef>

void msqlFormatInto(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void msqlFormatIntoV(char *buffer, size_t size, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));

#endif
