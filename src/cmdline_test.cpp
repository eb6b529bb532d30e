#include "cmdline.h"

#include <gtest/gtest.h>

namespace {

using Words = std::vector<std::string>;

struct SplitCase {
  const char* line;
  Words words;
};

TEST(SplitCommandLine, FollowsTheArgumentRules)
{
  const SplitCase cases[] = {
      {"", {}},
      {" \t\r\n ", {}},
      {"prog", {"prog"}},
      {"prog a.wav", {"prog", "a.wav"}},
      {"  prog  \t a.wav \t ", {"prog", "a.wav"}},
      // Every byte from 0x01 to 0x20 separates words.
      {"p\x01" "a\x1f" "b\x20" "c\x0b" "d", {"p", "a", "b", "c", "d"}},
      // Quotes are dropped and keep separators inside the word.
      {"prog \"wave audio\"", {"prog", "wave audio"}},
      {"prog wave audio", {"prog", "wave", "audio"}},
      // Quoting may start and end inside a word.
      {"prog a\" \"b", {"prog", "a b"}},
      {"prog \"a\"b\" c\"d", {"prog", "ab cd"}},
      // A pair of quotes is dropped and leaves the quoting state alone.
      {"prog a\"\"b", {"prog", "ab"}},
      {"prog \"a\"\"b\"", {"prog", "ab"}},
      {"prog \"a\"\" b\"", {"prog", "a b"}},
      {"prog a\"\" b", {"prog", "a", "b"}},
      // Words made of quotes alone are empty words.
      {"prog \"\"", {"prog", ""}},
      {"prog \"\" x", {"prog", "", "x"}},
      {"prog \"\"\"\"", {"prog", ""}},
      // Backslash has no escaping role.
      {"prog \"C:\\dir\\\" x", {"prog", "C:\\dir\\", "x"}},
      {"prog a\\\"b c\"", {"prog", "a\\b c"}},
      // An unclosed quote runs to the end of the line.
      {"prog \"a b   ", {"prog", "a b   "}},
      {"prog \"\"\"a b", {"prog", "a b"}},
      // Bytes 0x7F-0xFF are ordinary word bytes.
      {"prog \x7f\x80\xe9\xff", {"prog", "\x7f\x80\xe9\xff"}},
  };
  for (const SplitCase& c : cases)
    EXPECT_EQ(split_command_line(c.line), c.words) << "line: [" << c.line << "]";
}

TEST(SplitCommandLine, NoWordHoldsAQuoteAndLongWordsStayWhole)
{
  std::string line = "prog " + std::string(100000, 'x') + "\"\"\"";
  Words words = split_command_line(line.c_str());
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[1], std::string(100000, 'x'));
}

TEST(IsHelpRequest, MatchesTheSixPrefixesExactly)
{
  const struct {
    const char* arg;
    bool help;
  } cases[] = {
      {"-h", true},     {"/h", true},       {"-H", true},       {"/H", true},
      {"-?", true},     {"/?", true},       {"-help", true},    {"/Hz.wav", true},
      {"-?x", true},    {"/home.wav", true}, {"-help.wav", true},
      {"--help", false}, {"h", false},      {"?", false},       {"-", false},
      {"", false},      {" -h", false},     {"\\h", false},     {"-x", false},
      {"tune.wav", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_help_request(c.arg), c.help) << "arg: [" << c.arg << "]";
}

TEST(IsHelpRequest, QuotesAroundThePrefixCountBlanksInsideDoNot)
{
  EXPECT_TRUE(is_help_request(split_command_line("prog \"-h\"")[1]));
  EXPECT_TRUE(is_help_request(split_command_line("prog \"/?\"x")[1]));
  EXPECT_FALSE(is_help_request(split_command_line("prog \" -h\"")[1]));
}

}  // namespace
