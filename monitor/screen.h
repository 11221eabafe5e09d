// The live screen: a pure layout of the monitor's state into rows of at most
// the terminal's width (RenderScreen), and the painter that turns rows into
// terminal output, rewriting only rows that changed (ScreenPainter).
//
// Nothing here wraps: every row is cut to the width, paths are shortened in
// the middle, and the bottom row stays one column short of the corner so the
// terminal never scrolls. Not thread-safe.
#pragma once

#include <string>
#include <vector>

#include "monitor/monitor-state.h"

namespace monitor {

struct ScreenRow {
  enum Style { kNormal, kBar, kHeader, kError, kDim };
  std::string text;  // screen-safe UTF-8, at most the width in columns
  Style style = kNormal;
  bool operator==(const ScreenRow& o) const { return text == o.text && style == o.style; }
  bool operator!=(const ScreenRow& o) const { return !(*this == o); }
};

// Exactly `height` rows (fewer only when height < 1).
std::vector<ScreenRow> RenderScreen(const MonitorState& s, int width, int height, TimePoint now);

class ScreenPainter {
 public:
  // Escape sequences that switch to the alternate screen and hide the cursor,
  // and the ones that undo that.
  static std::string Enter();
  static std::string Leave();

  // Output that brings the terminal from the last painted frame to `rows`.
  // A size change (or the first frame) repaints everything.
  std::string Paint(const std::vector<ScreenRow>& rows, int width, int height);
  void Invalidate() { m_last.clear(); }

 private:
  std::vector<ScreenRow> m_last;
  int m_width = 0;
  int m_height = 0;
};

}  // namespace monitor
