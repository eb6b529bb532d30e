#include "cmdline.h"

std::vector<std::string> split_command_line(const char* line)
{
  std::vector<std::string> words;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
  for (;;) {
    while (*p >= 0x01 && *p <= 0x20)
      ++p;
    if (*p == 0)
      return words;
    std::string word;
    bool quoted = false;
    while (*p != 0 && (quoted || *p > 0x20)) {
      if (*p != '"') {
        word += static_cast<char>(*p++);
      } else if (p[1] == '"') {
        p += 2;  // a pair of quotes: dropped, quoting state kept
      } else {
        quoted = !quoted;
        ++p;
      }
    }
    words.push_back(std::move(word));
  }
}

bool is_help_request(const std::string& arg)
{
  static const char kPrefixes[][3] = {"-h", "/h", "-H", "/H", "-?", "/?"};
  if (arg.size() < 2)
    return false;
  for (const char* prefix : kPrefixes) {
    if (arg[0] == prefix[0] && arg[1] == prefix[1])
      return true;
  }
  return false;
}
