// Read-only access to a whole file through a memory mapping, with a forward
// cursor and the text operations that every text file of the program is read
// with (the directory file, the server list, the preferences, the disc marker).
//
// [SECTION] Path rules: app_path, check_len.
// [SECTION] xmap_class: mapping, the common header, the text operations.
//
// Character classes: blank = space or tab; line-end character = NUL, line
// feed or carriage return. No operation reads beyond mEnd.
//
// The common header of the program's files:
//   text   (10001): line 1 starts with "I" or "A"; line 2 is the version as a
//                   decimal integer followed by free text; then, when asked
//                   for, a keyword line ("INSTALLER", "SERVERS", "DVD").
//   binary (10000): "i" (this byte order) or "a" (the other one), then the
//                   version as a 4-byte integer.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

// ----------------------------------------------------------- [SECTION] path rules

// The framework's folder prefix that every path of a file operation is put
// behind. Empty in this installer: callers pass full paths.
extern std::string app_path;

// Length guard for paths: 500 characters or more end the program (type 2
// alert "String too long!").
void check_len(const std::string& text);

// ------------------------------------------------------------ [SECTION] xmap_class

// The kinds of header check_file tests (and ouf_open writes).
enum xmap_header_type {
  xmap_binary = 10000,  // "i"/"a" + 4-byte version
  xmap_text = 10001,    // "I"/"A" line, version line, keyword line
};

class xmap_class {
 public:
  // Maps `path` when it is not empty (see retry). mBegin is null when the
  // file is absent, empty, not a regular file or cannot be opened.
  explicit xmap_class(const std::string& path);
  // Unmaps the view and closes the file.
  ~xmap_class();
  xmap_class(const xmap_class&) = delete;
  xmap_class& operator=(const xmap_class&) = delete;

  // Maps the whole file at app_path + path, releasing any earlier view.
  // Returns mBegin (null on failure). A path that holds app_path or uses "\"
  // or ":" as a directory character ends the program; so does one of 500
  // characters or more. A file that opens but cannot be mapped raises a
  // type 1 alert ("Xmapped file ran out of memory") and is logged.
  const unsigned char* retry(const std::string& path);

  // Tests the header (type xmap_text or xmap_binary; any other ends the
  // program). `versions` is a 0-terminated list of accepted versions;
  // `keyword` (text or null) must follow on its own line; `rest` (or null)
  // receives the free text after the version. Returns the version when the
  // header is accepted, leaving the cursor on the first body line; else 0.
  int check_file(int type, const int* versions, const char* keyword, std::string* rest);

  // Text operations on the cursor.
  void skip_blanks();
  // After skip_blanks: the word followed by a blank. On no match the cursor
  // goes back to where the comparison began.
  bool match_keyword(const char* word);
  // After skip_blanks: optional "-", optional "+", then every character up to
  // a blank or line-end folded in as value * 10 + (c - '0'), wrapping on
  // overflow; the sign applies at the end.
  int read_int();
  // After skip_blanks: the characters up to a blank or line-end character.
  std::string read_word();
  // After skip_blanks: the characters up to a line-end character, blanks kept.
  std::string read_rest_of_line();
  // Advances over line-end characters and blanks.
  void skip_line_break();
  // skip_blanks, then to the next line-end character, then skip_line_break.
  void skip_line();

  bool at_end() const { return mCrt >= mEnd; }
  std::uint64_t size() const { return static_cast<std::uint64_t>(mEnd - mBegin); }

  int rev_inf_bin = 0;               // a binary header announced the other byte order ("a")
  std::string crt_path;              // shown by the bad-type alert of check_file; stays empty
  int io_opr = 0;                    // unused
  const unsigned char* mBegin = nullptr;  // first mapped byte; null when nothing is mapped
  const unsigned char* mCrt = nullptr;    // cursor, mBegin <= mCrt <= mEnd
  const unsigned char* mEnd = nullptr;    // one past the last byte
  plat::File mFile;                  // the open file
  plat::Mapping mFileMapping;        // the view

 private:
  void release();
};

// Character classes, shared with the readers that walk the bytes themselves.
inline bool xmap_is_blank(unsigned char c) { return c == ' ' || c == '\t'; }
inline bool xmap_is_line_end(unsigned char c) { return c == 0 || c == '\n' || c == '\r'; }
