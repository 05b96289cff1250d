#include "CommandLine.h"

namespace lindqvar {

namespace {

struct Cursor {
  std::string_view line;
  std::size_t at = 0;
  LeadByteTest isLeadByte;

  unsigned char Peek(std::size_t ahead = 0) const {
    return at + ahead < line.size() ? static_cast<unsigned char>(line[at + ahead]) : 0;
  }
  // The bytes of the character at the cursor, stepped over: two for a lead
  // byte with a second byte after it, otherwise one.
  std::string_view Take() {
    const std::size_t size = isLeadByte(Peek()) && Peek(1) != 0 ? 2 : 1;
    const std::string_view taken = line.substr(at, size);
    at += size;
    return taken;
  }
};

// One argument from the cursor on, empty when the line is used up.
std::string NextArgument(Cursor& cursor) {
  for (;;) {
    while (cursor.Peek() != 0 && cursor.Peek() <= ' ') cursor.Take();
    if (cursor.Peek() != '"' || cursor.Peek(1) != '"') break;
    cursor.at += 2;
  }
  std::string argument;
  while (cursor.Peek() > ' ') {
    if (cursor.Peek() != '"') {
      argument += cursor.Take();
      continue;
    }
    cursor.Take();
    while (cursor.Peek() != 0 && cursor.Peek() != '"') argument += cursor.Take();
    if (cursor.Peek() != 0) cursor.Take();
  }
  return argument;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line, LeadByteTest isLeadByte) {
  // A zero byte ends the line, as it ends the system's string.
  Cursor cursor{line.substr(0, line.find('\0')), 0, isLeadByte};
  std::vector<std::string> args{NextArgument(cursor)};
  for (std::string argument; !(argument = NextArgument(cursor)).empty();) {
    args.push_back(std::move(argument));
  }
  return args;
}

}  // namespace lindqvar
