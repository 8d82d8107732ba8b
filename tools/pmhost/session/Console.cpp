#include "Console.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

struct Lock {
  CRITICAL_SECTION section;
  Lock() { InitializeCriticalSection(&section); }
};
Lock gLock;

class Held {
 public:
  Held() { EnterCriticalSection(&gLock.section); }
  ~Held() { LeaveCriticalSection(&gLock.section); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
};

struct Bar {
  bool enabled = false;
  bool shown = false;
  bool atOnce = false;  // no quiet start
  int32_t images = 1, index = 0;
  int32_t done = 0, total = 0;
  ULONGLONG started = 0, drawn = 0;
  size_t width = 0;  // characters on screen
};
Bar gBar;

constexpr int32_t kBarWidth = 40;
// Runs shorter than this get no bar at all.
constexpr ULONGLONG kQuietMs = 500;
// Redrawn when the bar has had time to move, not at every report.
constexpr ULONGLONG kRedrawMs = 100;

std::string BarText() {
  const double within = gBar.total > 0 ? std::clamp(double(gBar.done) / gBar.total, 0.0, 1.0) : 0.0;
  const double fraction = std::clamp((gBar.index + within) / std::max(gBar.images, 1), 0.0, 1.0);
  const auto filled = static_cast<size_t>(fraction * kBarWidth);
  std::string text = "[" + std::string(filled, '#') + std::string(size_t(kBarWidth) - filled, '.') + "] ";
  char tail[64];
  if (gBar.images > 1)
    std::snprintf(tail, sizeof tail, "%3d%% image %d of %d", int(fraction * 100), std::min(gBar.index + 1, gBar.images),
                  gBar.images);
  else
    std::snprintf(tail, sizeof tail, "%3d%% (%d/%d)", int(fraction * 100), gBar.done, gBar.total);
  return text + tail;
}

void Draw(bool force) {
  if (!gBar.enabled) return;
  const ULONGLONG now = GetTickCount64();
  if (!gBar.shown && !gBar.atOnce && now - gBar.started < kQuietMs) return;
  if (gBar.shown && !force && now - gBar.drawn < kRedrawMs) return;
  std::string text = BarText();
  const size_t width = text.size();
  if (width < gBar.width) text.append(gBar.width - width, ' ');
  std::fprintf(stderr, "\r%s", text.c_str());
  std::fflush(stderr);
  gBar.shown = true;
  gBar.drawn = now;
  gBar.width = width;
}

void Erase() {
  if (!gBar.shown) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(gBar.width), "");
  std::fflush(stderr);
  gBar.shown = false;
}

void Print(FILE* stream, const char* format, va_list args) {
  const Held held;
  const bool shown = gBar.shown;
  Erase();
  std::vfprintf(stream, format, args);
  std::fflush(stream);
  if (shown) Draw(true);
}

}  // namespace

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stdout, format, args);
  va_end(args);
}

void Warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stderr, format, args);
  va_end(args);
}

void BarBegin(int32_t images, bool enabled, bool atOnce) {
  const Held held;
  gBar = Bar{};
  gBar.enabled = enabled;
  gBar.atOnce = atOnce;
  gBar.images = std::max(images, 1);
  gBar.started = GetTickCount64();
}

void BarImage(int32_t index) {
  const Held held;
  gBar.index = index;
  gBar.done = gBar.total = 0;
  Draw(false);
}

void BarProgress(int32_t done, int32_t total) {
  const Held held;
  gBar.done = done;
  gBar.total = total;
  Draw(total > 0 && done == total);
}

void BarEnd() {
  const Held held;
  if (gBar.shown) {
    gBar.index = gBar.images;
    gBar.done = gBar.total;
    Draw(true);
    std::fputs("\n", stderr);
    std::fflush(stderr);
  }
  gBar = Bar{};
}

void BarAbandon() {
  if (!gBar.shown) return;
  gBar.shown = false;
  gBar.enabled = false;
  std::fputs("\n", stderr);
  std::fflush(stderr);
}
