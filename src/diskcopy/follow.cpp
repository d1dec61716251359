#include "diskcopy/follow.h"

#include <bit>

#include "diskcopy/d64.h"

namespace {

void next_track(track_follow* follow) {
    ++follow->track;
    follow->seen = 0;
    follow->rejected = 0;
    follow->unplaced = 0;
    follow->inferred_from = 0;
}

// Ends the current track when it has had a rejected packet and every sector
// is accounted for.
void end_if_accounted(track_follow* follow) {
    if (follow->rejected == 0) return;
    const int accounted = std::popcount(follow->seen) + follow->rejected + follow->unplaced;
    if (accounted < sectors_on_track(follow->track)) return;
    const int ended = follow->track;
    next_track(follow);
    follow->inferred_from = ended;
}

}  // namespace

int follow_track_for(const track_follow* follow, int last) {
    if (follow->inferred_from != 0 && last) return follow->inferred_from;
    return follow->track;
}

void follow_accepted(track_follow* follow, int track, int sector, int last) {
    if (track != follow->track) {
        // The late last packet of the track before: its end was counted already.
        follow->inferred_from = 0;
        return;
    }
    follow->inferred_from = 0;
    if (sector >= 0 && sector < sectors_on_track(track))
        follow->seen |= 1u << sector;
    else
        ++follow->unplaced;
    if (last)
        next_track(follow);
    else
        end_if_accounted(follow);
}

void follow_rejected(track_follow* follow) {
    follow->inferred_from = 0;
    ++follow->rejected;
    end_if_accounted(follow);
}

void follow_retries_exhausted(track_follow* follow) { next_track(follow); }
