// A small terminal for the screen tests: applies the subset of escape
// sequences a full-screen program needs (cursor position, erase, alternate
// screen, attributes) and records anything that a correct program must never
// cause: writing past the right edge (a wrap), scrolling, raw control
// characters, sequences it does not know. Character widths come from the C
// library's wcwidth in a UTF-8 locale, independently of the monitor's table.
#pragma once

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace montest {

class VtScreen {
 public:
  VtScreen(int rows, int cols) { Resize(rows, cols); }

  void Resize(int rows, int cols) {
    m_rows = rows;
    m_cols = cols;
    m_main.assign(static_cast<size_t>(rows),
                  std::vector<std::string>(static_cast<size_t>(cols), " "));
    m_alt = m_main;
    m_r = m_c = 0;
  }

  void Feed(const std::string& bytes) {
    m_pending += bytes;
    size_t i = 0;
    while (i < m_pending.size()) {
      const size_t used = Step(i);
      if (used == 0) break;  // incomplete sequence: wait for more
      i += used;
    }
    m_pending.erase(0, i);
  }

  // Row text, cells joined (wide characters once), trailing blanks kept.
  std::string Row(int r) const {
    std::string s;
    for (const std::string& cell : Cells()[static_cast<size_t>(r)]) s += cell;
    return s;
  }
  std::string All() const {
    std::string s;
    for (int r = 0; r < m_rows; ++r) s += Row(r) + "\n";
    return s;
  }
  bool alternate() const { return m_in_alt; }
  // Everything a correct full-screen program never causes; empty when fine.
  const std::string& faults() const { return m_faults; }

 private:
  std::vector<std::vector<std::string>>& Cells() { return m_in_alt ? m_alt : m_main; }
  const std::vector<std::vector<std::string>>& Cells() const { return m_in_alt ? m_alt : m_main; }
  void Fault(const std::string& f) {
    if (m_faults.size() < 2000) m_faults += f + "\n";
  }
  void Clear(int r, int from, int to) {
    for (int c = from; c < to; ++c) Cells()[static_cast<size_t>(r)][static_cast<size_t>(c)] = " ";
  }

  void NewLine() {
    if (m_r + 1 < m_rows) {
      ++m_r;
    } else if (m_in_alt) {
      Fault("scrolled");
    } else {
      auto& cells = Cells();
      cells.erase(cells.begin());
      cells.emplace_back(static_cast<size_t>(m_cols), " ");
    }
  }

  // Consumes one character or sequence at `i`; 0 when it is incomplete.
  size_t Step(size_t i) {
    const std::string& s = m_pending;
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b == 0x1b) {
      if (i + 1 >= s.size()) return 0;
      if (s[i + 1] != '[') {
        Fault("unknown escape ESC " + std::string(1, s[i + 1]));
        return 2;
      }
      size_t j = i + 2;
      while (j < s.size() && (s[j] == '?' || s[j] == ';' || (s[j] >= '0' && s[j] <= '9'))) ++j;
      if (j >= s.size()) return 0;
      Csi(s.substr(i + 2, j - i - 2), s[j]);
      return j - i + 1;
    }
    if (b == '\r') {
      m_c = 0;
      return 1;
    }
    if (b == '\n') {
      NewLine();
      return 1;
    }
    if (b < 0x20 || b == 0x7f) {
      Fault("raw control character " + std::to_string(b));
      return 1;
    }
    std::mbstate_t st{};
    wchar_t wc = 0;
    const size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &st);
    if (n == static_cast<size_t>(-2)) return 0;
    if (n == static_cast<size_t>(-1) || n == 0) {
      Fault("invalid UTF-8");
      return 1;
    }
    const int w = ::wcwidth(wc);
    const std::string ch = s.substr(i, n);
    if (w < 0) {
      Fault("unprintable character U+" + std::to_string(static_cast<long>(wc)));
    } else if (w == 0) {
      if (m_c > 0) Cells()[static_cast<size_t>(m_r)][static_cast<size_t>(m_c - 1)] += ch;
    } else if (m_c + w > m_cols && m_in_alt) {
      Fault("wrapped on row " + std::to_string(m_r));
    } else {
      if (m_c + w > m_cols) {  // plain output after the screen: wraps as usual
        m_c = 0;
        NewLine();
      }
      auto& row = Cells()[static_cast<size_t>(m_r)];
      row[static_cast<size_t>(m_c)] = ch;
      if (w == 2) row[static_cast<size_t>(m_c + 1)] = "";
      m_c += w;
    }
    return n;
  }

  void Csi(const std::string& params, char final) {
    std::vector<int> p;
    std::string priv = params.size() > 0 && params[0] == '?' ? "?" : "";
    std::string rest = priv.empty() ? params : params.substr(1);
    size_t at = 0;
    while (at <= rest.size() && !rest.empty()) {
      const size_t semi = rest.find(';', at);
      p.push_back(std::atoi(rest.substr(at, semi - at).c_str()));
      if (semi == std::string::npos) break;
      at = semi + 1;
    }
    auto arg = [&](size_t k, int def) { return k < p.size() && p[k] > 0 ? p[k] : def; };
    if (!priv.empty()) {
      if ((final == 'h' || final == 'l') && !p.empty() && p[0] == 1049) {
        // Like xterm: the cursor is saved on entry and restored on exit.
        if (final == 'h') {
          m_saved_r = m_r;
          m_saved_c = m_c;
          m_in_alt = true;
          for (int r = 0; r < m_rows; ++r) Clear(r, 0, m_cols);
        } else {
          m_in_alt = false;
          m_r = std::min(m_saved_r, m_rows - 1);
          m_c = std::min(m_saved_c, m_cols - 1);
        }
      } else if (!((final == 'h' || final == 'l') && !p.empty() && p[0] == 25)) {
        Fault("unknown private sequence " + params + final);
      }
      return;
    }
    switch (final) {
      case 'H':
      case 'f':
        m_r = arg(0, 1) - 1;
        m_c = arg(1, 1) - 1;
        if (m_r >= m_rows || m_c >= m_cols) Fault("cursor outside the screen");
        if (m_r >= m_rows) m_r = m_rows - 1;
        if (m_c >= m_cols) m_c = m_cols - 1;
        break;
      case 'K':
        // At the right edge the cursor sits on the last cell, which goes too.
        if (p.empty() || p[0] == 0)
          Clear(m_r, std::min(m_c, m_cols - 1), m_cols);
        else if (p[0] == 2)
          Clear(m_r, 0, m_cols);
        break;
      case 'J':
        if (!p.empty() && p[0] == 2) {
          for (int r = 0; r < m_rows; ++r) Clear(r, 0, m_cols);
        } else {
          Clear(m_r, std::min(m_c, m_cols - 1), m_cols);
          for (int r = m_r + 1; r < m_rows; ++r) Clear(r, 0, m_cols);
        }
        break;
      case 'm':
        break;
      default:
        Fault(std::string("unknown sequence ") + params + final);
    }
  }

  int m_rows = 0, m_cols = 0;
  int m_r = 0, m_c = 0;
  int m_saved_r = 0, m_saved_c = 0;
  bool m_in_alt = false;
  std::vector<std::vector<std::string>> m_main, m_alt;
  std::string m_pending;
  std::string m_faults;
};

}  // namespace montest
