// Text from the daemon (paths, sessions) shown on a terminal, in log lines
// and in JSON. The bytes are meant to be UTF-8 but come from another process:
// invalid sequences and control characters (which could move the cursor or
// reorder the screen) are made visible instead of passed through.
//
// Terminal widths come from our own table (wide East Asian characters and
// emoji take two columns, combining marks none), so the layout does not
// depend on the process locale. Thread-safe (no state).
#pragma once

#include <cstdint>
#include <string>

namespace monitor {

// Decodes one code point at `i` and advances `i`. Returns false for a byte
// that does not start a valid sequence (overlong forms, surrogates and values
// above U+10FFFF included); `i` then advances by one byte.
[[nodiscard]] bool NextCodePoint(const std::string& s, size_t& i, uint32_t& cp);

// Columns a code point takes on a terminal: 0 (combining, zero-width), 1 or 2.
// Only meaningful for code points that IsUnsafe() does not flag.
int CharWidth(uint32_t cp);
// C0 and C1 controls, DEL, line/paragraph separators and the bidirectional
// overrides and isolates: none of them may reach a terminal raw.
bool IsUnsafe(uint32_t cp);

// For the screen: valid UTF-8 with invalid bytes as U+FFFD and unsafe
// characters as "?".
std::string ForScreen(const std::string& raw);
// For plain log lines: printable text unchanged; invalid bytes and control
// bytes as \xNN, other unsafe characters as \u{XXXX}. Never holds a newline.
std::string ForLog(const std::string& raw);
// A JSON string literal (with quotes); invalid bytes become U+FFFD, so the
// output is always valid UTF-8.
std::string JsonString(const std::string& raw);

// A session as the monitor shows it: its first 4 characters (2 when it has
// fewer than 16, none when fewer than 8) and "***". The session is the
// credential the server accepts, and the monitor's lines end up in journals
// and bug reports; the start is enough to tell two daemons apart. Empty
// stays empty. The result is raw text like the input (pass it to ForLog...).
std::string MaskSession(const std::string& raw);

// Columns taken by ForScreen() output.
int DisplayWidth(const std::string& screen_text);
// Cuts screen text to at most `width` columns, ending in "…" when cut.
std::string FitRight(const std::string& screen_text, int width);
// Shortens screen text to at most `width` columns by replacing its middle
// with "…", so both the start of a path and its file name stay visible.
std::string ShortenMiddle(const std::string& screen_text, int width);
// Pads with blanks to exactly `width` columns (text must already fit).
std::string PadRight(const std::string& screen_text, int width);

}  // namespace monitor
