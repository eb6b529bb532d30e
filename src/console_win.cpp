// The console on Windows: the raw narrow command line and the standard
// handles, used through WriteFile and ReadFile as they stand.  Console
// modes and code pages are left alone and no Ctrl+C handler is installed.

#include "console.h"

#include <windows.h>

#include <string.h>

#include <new>
#include <vector>

#include "cmdline.h"

namespace {

const UINT kExitFailure = 217;

void out_of_memory()
{
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  fatal("out of memory");
}

// Code pages whose consoles report the characters written, not the
// bytes, so that a write of all the text can look short.
bool counts_characters(UINT code_page)
{
  switch (code_page) {
    case 1200:
    case 1201:
    case 12000:
    case 12001:
    case 65000:
    case 65001:
      return true;
  }
  return false;
}

bool is_console(HANDLE handle)
{
  DWORD mode;
  return GetConsoleMode(handle, &mode) != 0;
}

// Appends |text| to |buf| of |size| bytes holding |len| bytes, cutting it
// off where the buffer ends.
void append(char* buf, size_t size, size_t& len, const char* text)
{
  size_t n = strlen(text);
  if (n > size - len)
    n = size - len;
  memcpy(buf + len, text, n);
  len += n;
}

// Writes |value| in decimal into |buf|, which holds at least 11 bytes.
void format_unsigned(char* buf, DWORD value)
{
  char digits[11];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < n; ++i)
    buf[i] = digits[n - 1 - i];
  buf[n] = '\0';
}

}  // namespace

void console_init()
{
  std::set_new_handler(out_of_memory);
}

bool command_line_argument(int, char**, std::string& arg)
{
  std::vector<std::string> words = split_command_line(GetCommandLineA());
  if (words.size() < 2)
    return false;
  arg = words[1];
  return true;
}

void write_text(const char* text, bool line_end)
{
  char buf[128];
  size_t len = text_line(buf, sizeof buf, text, line_end);
  if (len == 0)
    fatal("message too long");
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (!WriteFile(out, buf, static_cast<DWORD>(len), &written, nullptr))
    fatal("cannot write standard output");
  if (written == len)
    return;
  if (is_console(out) && counts_characters(GetConsoleOutputCP()))
    return;
  SetLastError(ERROR_WRITE_FAULT);
  fatal("cannot write standard output");
}

void wait_for_return()
{
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buf[256];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buf, sizeof buf, &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE)
        return;
      fatal("cannot read standard input");
    }
    if (got == 0)
      return;
    for (DWORD i = 0; i < got; ++i) {
      if (buf[i] == '\r' || buf[i] == '\n' || buf[i] == '\x1a') {
        // Leave the terminator and what follows it unread where the
        // input can be rewound; pipes and consoles cannot.
        // A file that refuses to move loses only bytes nobody reads.
        if (GetFileType(in) == FILE_TYPE_DISK) {
          LARGE_INTEGER back;
          back.QuadPart = -static_cast<LONGLONG>(got - i);
          SetFilePointerEx(in, back, nullptr, FILE_CURRENT);
        }
        return;
      }
    }
  }
}

void fatal(const char* what)
{
  DWORD err = GetLastError();
  char code[11];
  format_unsigned(code, err);
  char buf[256];
  size_t len = 0;
  append(buf, sizeof buf, len, "wavorbit: ");
  append(buf, sizeof buf, len, what);
  if (err != 0) {
    append(buf, sizeof buf, len, " (error ");
    append(buf, sizeof buf, len, code);
    append(buf, sizeof buf, len, ")");
  }
  append(buf, sizeof buf, len, "\r\n");
  DWORD ignored;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), buf, static_cast<DWORD>(len),
            &ignored, nullptr);
  ExitProcess(kExitFailure);
}
