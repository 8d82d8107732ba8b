// What pmhost prints: lines on stdout and stderr, and one progress bar on
// stderr that spans every image of the run. Lines printed while the bar is
// showing appear above it; the bar is drawn again below them. Safe to call
// from any thread (the dialog watcher prints too).
#pragma once

#include <cstdint>
#include <cstdio>

// printf to stdout / stderr, around the bar (mingw-w64's own printf, which
// knows %zu).
void Say(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
void Warn(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

// The bar covers `images` images of equal weight; it appears only on runs
// that take more than a moment, and never when `enabled` is false.
void BarBegin(int32_t images, bool enabled, bool atOnce = false);
// The image being worked on now, 0-based.
void BarImage(int32_t index);
// The module's own progress report for the current image.
void BarProgress(int32_t done, int32_t total);
// Draws the bar's final state and ends its line (if it was showing).
void BarEnd();
// Takes the bar off the screen at once, without waiting for another thread
// (for the crash and timeout reports).
void BarAbandon();
