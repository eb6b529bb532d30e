// The part of the console that both platforms share.

#include "console.h"

#include <cstring>

size_t text_line(char* buf, size_t size, const char* text, bool line_end)
{
  size_t len = std::strlen(text);
  size_t total = len + (line_end ? 2 : 0);
  if (total > size)
    return 0;
  std::memcpy(buf, text, len);
  if (line_end) {
    buf[len] = '\r';
    buf[len + 1] = '\n';
  }
  return total;
}
