#pragma once
#include <cstdint>
#include <cstdio>

// A one-line live display for a person watching the copy: the track being
// read, a map of its sectors received so far ('#') and still to come ('.'),
// and the share of the disk's 683 sectors stored. It is drawn where the
// cursor stands (after "Dumping disk contents... ") and the cursor is moved
// back to its start with backspaces, so erasing it leaves the screen exactly
// as it was and the next message completes the progress line as usual.
struct progress_display {
    std::FILE* out = nullptr;  // nullptr: no display (standard error is no terminal)
    int shown = 0;             // characters of the display on screen now
};

inline constexpr int PROGRESS_MAX_CHARS = 48;

// Composes the display text into `text` (room for PROGRESS_MAX_CHARS + 1) and
// returns its length.
int progress_compose(char* text, int track, std::uint32_t seen, int stored);

// Draws (or redraws) the display; nothing when `display->out` is null.
void progress_draw(progress_display* display, int track, std::uint32_t seen, int stored);

// Blanks the display and leaves the cursor where the display began.
void progress_erase(progress_display* display);
