// Fuzz target: the command-line splitter.  The words it returns must be
// the ones a plain byte-by-byte reading of its rules gives: a double quote
// toggles quoting (two adjacent ones toggle twice, so quoting is the parity
// of the quotes seen so far), bytes 0x01-0x20 outside quotes end a word,
// and every double quote is dropped.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline.h"

namespace {

bool is_separator(unsigned char c) { return c >= 0x01 && c <= 0x20; }

std::vector<std::string> expected_words(const std::string& line)
{
  std::vector<std::string> words;
  bool quoted = false, in_word = false;
  for (unsigned char c : line) {
    if (!quoted && is_separator(c)) {
      in_word = false;
      continue;
    }
    if (!in_word)
      words.emplace_back();
    in_word = true;
    if (c == '"')
      quoted = !quoted;
    else
      words.back() += static_cast<char>(c);
  }
  return words;
}

[[noreturn]] void fail(const char* what, const std::string& line)
{
  fprintf(stderr, "split_command_line: %s for a line of %zu bytes\n", what, line.size());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  // The line is what a C string holds: up to the first NUL.
  std::string line(reinterpret_cast<const char*>(data), size);
  line.resize(line.find('\0') == std::string::npos ? line.size() : line.find('\0'));

  std::vector<std::string> words = split_command_line(line.c_str());
  size_t quotes = 0;
  for (char c : line)
    quotes += c == '"';
  for (const std::string& w : words) {
    if (w.find('"') != std::string::npos)
      fail("a word holds a double quote", line);
    if (quotes == 0) {
      for (unsigned char c : w) {
        if (is_separator(c))
          fail("a separator survived outside quotes", line);
      }
    }
    if (w.empty() && quotes == 0)
      fail("an empty word without quotes", line);
    is_help_request(w);
  }
  if (words != expected_words(line))
    fail("the words differ from a plain reading of the rules", line);
  return 0;
}
