// Filter rules: the parser of the filter file (an INI-like text file with the
// sections Version, Common, File, Directory and EA), the tests that decide
// whether a path, a size or an extended-attribute name may be synced, and a
// writer that prints a filter back in the same syntax.
//
// Plain records and free functions; nothing here is shared between threads
// except a loaded filter, which is only read after loading.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// An unset string is std::nullopt; a set one is never empty (the grammar
// refuses empty quoted strings) and never holds a zero byte.
using filter_string = std::optional<std::string>;
// Duplicates are kept: repeating a key appends to the set.
using filter_string_set = std::vector<std::string>;

struct filter_version {
  int32_t major = 0;
  int32_t minor = 0;
};

struct filter_common {
  filter_string black_char;
  filter_string_set black_prefix;
  int64_t max_length = 0;  // longest name or path component in bytes; 0 = no limit
  int64_t max_path = 0;    // longest full path; 0 = no limit
};

struct filter_file {
  filter_string black_char;
  filter_string_set black_ext;  // without the dot
  filter_string_set black_name;
  filter_string_set black_prefix;
  int64_t max_size = 0;  // largest file in bytes; 0 = no limit
};

struct filter_directory {
  filter_string black_char;
  filter_string_set black_name;
  filter_string_set black_prefix;
};

struct filter_ea {
  filter_string_set black_ea_name;
};

struct filter {
  filter_version version;
  filter_common common;
  filter_file file;
  filter_directory directory;
  filter_ea ea;
};

// Frees everything; every field is left empty / unset / 0.
void filter_destroy(filter& f);

// ---- Parser schema -------------------------------------------------------

enum filter_value_type {
  FILTER_VALUE_INT32 = 0,
  FILTER_VALUE_INT64 = 1,
  FILTER_VALUE_STRING = 2,
  FILTER_VALUE_STRING_SET = 3,
};

// Where a key's value is stored; the alternative matches the key's type.
using filter_field = std::variant<int32_t*, int64_t*, filter_string*, filter_string_set*>;

struct filter_key_schema {
  const char* name;
  filter_value_type type;
  filter_field (*locate)(filter& f);
};

struct filter_section_schema {
  const char* name;
  const filter_key_schema* keys;
  size_t key_count;
};

struct filter_parser_schema {
  const filter_section_schema* sections;
  size_t section_count;
};

// The static schema: the sections and keys of the filter record, in order.
const filter_parser_schema& get_parser_schema();
// Exact, case-sensitive lookups; nullptr when absent.
const filter_section_schema* search_section_schema(const filter_parser_schema& schema,
                                                   const std::string& name);
const filter_key_schema* search_key_schema(const filter_section_schema& section,
                                           const std::string& name);

// ---- Parser errors -------------------------------------------------------

enum {
  PARSER_NO_ERROR = 0,
  PARSER_SECTION_MISSING_LEFT_BRACKET = -1,
  PARSER_SECTION_MISSING_RIGHT_BRACKET = -2,
  PARSER_SECTION_MISSING_SECTION = -3,
  PARSER_SECTION_ILLEGAL_CHARACTER = -4,
  PARSER_SECTION_TOO_LONG = -5,
  PARSER_SECTION_UNDEFINED_SECTION = -6,
  PARSER_KEY_MISSING_KEY = -7,
  PARSER_KEY_ILLEGAL_CHARACTER = -8,
  PARSER_KEY_TOO_LONG = -9,
  PARSER_KEY_UNDEFINED_KEY = -10,
  PARSER_VALUE_NUMERIC_MISSING_INTEGER_PART = -11,
  PARSER_VALUE_NUMERIC_MISSING_FRACTIONAL_PART = -12,
  PARSER_VALUE_NUMERIC_MISSING_VALUE = -13,
  PARSER_VALUE_NUMERIC_ILLEGAL_SYNTAX = -14,
  PARSER_VALUE_STRING_MISSING_LEFT_QUOTE = -15,
  PARSER_VALUE_STRING_MISSING_RIGHT_QUOTE = -16,
  PARSER_VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE = -17,
  PARSER_VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE = -18,
  PARSER_VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE = -19,
  PARSER_VALUE_STRING_ILLEGAL_CHARACTER = -20,
  PARSER_VALUE_STRING_EMPTY = -21,
  PARSER_VALUE_SET_MISSING_SEPARATER = -22,
  PARSER_VALUE_TOO_LONG = -23,
  PARSER_LINE_NOT_ENDED = -24,
  PARSER_LINE_NOT_EXPECTED = -25,
  PARSER_INTERNAL_ERROR = -26,
};

// Name of a parser error code ("NO_ERROR", "LINE_NOT_EXPECTED", ...);
// "Unknown error" outside 0..-26. The result is static.
const char* get_parser_error_string(int code);

// Limits of the grammar.
constexpr size_t kFilterLineChunk = 1024;   // longer lines are read in pieces, each a line
constexpr size_t kFilterNameMax = 32;       // section and key names
constexpr size_t kFilterValueMax = 511;     // a quoted string after unescaping, a number
constexpr size_t kFilterDirPartMax = 4095;  // directory part of a tested path
constexpr size_t kFilterFileNameMax = 511;  // name part of a tested file path

// Outcome of parsing one file.
struct filter_parse_result {
  int status = 0;  // 0 clean, 1 unknown keys met, 2 failed
  int error = 0;   // parser error code when status is 2 and the file was read
  int line = 0;    // line of that error
  int unknown_keys = 0;
};

// Parses `path` into `f` (which should be empty). Unknown keys print
// "warning: unknown key (%s)\n" on standard output; the first error prints
// "parser: %s at line %d\n" on standard error (and logs it) and stops the
// parse. A file that cannot be opened gives status 2 with error 0. On failure
// `f` may hold what was stored before the error.
filter_parse_result filter_parse(filter& f, const std::string& path);
// The same over text already in memory (no warnings or errors are printed);
// for tests and fuzzing.
filter_parse_result filter_parse_text(filter& f, const std::string& text);

// Loads `path` into `f` (emptied first). 0 when the parse was clean, or when
// it met unknown keys and the file declares major 1 with a minor above 0 (a
// newer minor version may add keys); otherwise `f` is emptied and -1 is
// returned (a missing file fails too).
int filter_read(filter& f, const std::string& path);

// Writes `f` in the file syntax. Quote, backslash and non-printable bytes are
// escaped so that filter_read gives back the same values.
void filter_print(const filter& f, FILE* stream);
// Creates or truncates `path` and prints `f` into it; 0, or -1 when the file
// cannot be created or written.
int filter_write(const filter& f, const std::string& path);

// ---- Tests ---------------------------------------------------------------

enum {
  FILTER_PASS = 0,
  FILTER_INVALID_PATH = -1,
  FILTER_BLACK_CHAR = -2,
  FILTER_BLACK_PREFIX = -3,
  FILTER_BLACK_NAME = -4,
  FILTER_BLACK_EXT = -5,
  FILTER_TOO_LONG = -6,
  FILTER_FILE_TOO_LARGE = -8,
  FILTER_PATH_TOO_LONG = -9,
  FILTER_BLACK_EA = -10,
};

// Tests a "/"-separated UTF-8 path relative to the sync root. For a file
// (is_directory 0) the path must begin with "/"; its name is tested against
// the Common and File rules and each directory component against the Common
// and Directory rules. For a directory every component is tested against the
// Common and Directory rules. Returns 0 or the first failing rule's code.
int filter_test_path(const filter& f, int is_directory, const std::string& path);
// -8 when File max_size is set and `size` is larger, else 0.
int filter_test_file_size(const filter& f, uint64_t size);
// -9 when Common max_path is set and `length` is larger, else 0.
int filter_test_full_path_size(const filter& f, uint64_t length);
// -10 when `name` equals an EA black_ea_name ignoring ASCII case, else 0.
int filter_test_ea(const filter& f, const std::string& name);

// ---- Built-in name list --------------------------------------------------
// Items that are never synced whatever the filter file says: editor and
// system scratch files, desktop metadata, and names another system cannot
// hold. Used by InBlackList (client/local/worker-filter.h).

// Checks a base name (name with extension) and the components of its
// directory part ("/" or "\" separated) against the built-in list. Returns
// the diagnostic of the first rule that matches ("bad ext", "bad name",
// "bad prefix", "bad char", "bad dir"), or nullptr when none does.
const char* builtin_black_reason(const std::wstring& dir_part, const std::wstring& base_name);
