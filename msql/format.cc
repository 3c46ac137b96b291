// Bounded formatting into fixed buffers; see format.h.
#include "msql/format.h"

#include <cstdio>

void msqlFormatIntoV(char *buffer, size_t size, const char *format, va_list args) {
  vsnprintf(buffer, size, format, args);
}

void msqlFormatInto(char *buffer, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  msqlFormatIntoV(buffer, size, format, args);
  va_end(args);
}
