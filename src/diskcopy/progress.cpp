#include "diskcopy/progress.h"

#include "diskcopy/d64.h"

namespace {

// Writes `text`, blanks whatever of a longer earlier display is left over,
// then steps back over all of it, in one write so the screen never shows a
// half-drawn line.
void put_over(progress_display* display, const char* text, int length) {
    char out[3 * PROGRESS_MAX_CHARS];
    int n = 0;
    for (int i = 0; i < length; ++i) out[n++] = text[i];
    const int width = length > display->shown ? length : display->shown;
    for (int i = length; i < width; ++i) out[n++] = ' ';
    for (int i = 0; i < width; ++i) out[n++] = '\b';
    std::fwrite(out, 1, static_cast<std::size_t>(n), display->out);
    std::fflush(display->out);
    display->shown = length;
}

}  // namespace

int progress_compose(char* text, int track, std::uint32_t seen, int stored) {
    const int count = sectors_on_track(track);
    int n = std::snprintf(text, PROGRESS_MAX_CHARS + 1, "track %2d/%d [", track, D64_TRACKS);
    for (int s = 0; s < count; ++s) text[n++] = (seen >> s) & 1u ? '#' : '.';
    n += std::snprintf(text + n, static_cast<std::size_t>(PROGRESS_MAX_CHARS + 1 - n), "] %3d%%",
                       stored * 100 / D64_SECTORS);
    return n;
}

void progress_draw(progress_display* display, int track, std::uint32_t seen, int stored) {
    if (display->out == nullptr || track > D64_TRACKS) return;
    char text[PROGRESS_MAX_CHARS + 1];
    const int length = progress_compose(text, track, seen, stored);
    put_over(display, text, length);
}

void progress_erase(progress_display* display) {
    if (display->out == nullptr || display->shown == 0) return;
    put_over(display, "", 0);
}
