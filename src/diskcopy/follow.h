#pragma once
#include <cstdint>

// Which track the copy stream is on. Packets carry a sector number but no
// track number: a track ends at its packet with the last-sector mark, or at a
// packet with the retries-exhausted mark.
//
// A packet that fails the check byte may have been the track's last, and then
// its mark is lost. The adapter sends one packet per sector of a track, so a
// track that has had a rejected packet is taken as ended once every one of its
// sectors is accounted for: distinct sector numbers received, plus rejected
// packets, plus accepted packets whose sector number was unusable, reach the
// track's sector count. Duplicates add nothing, so a repeated sector does not
// end a track early. Should the inferred end still come one packet too soon
// (the rejected packet was itself a duplicate), the track's real last packet
// arrives next with its mark; a track of one marked packet cannot exist, so
// that packet is given back to the track before. Tracks without a rejected
// packet end at the mark alone, exactly as the stream defines them.
struct track_follow {
    int track = 1;                    // the current track; past 35 the copy is complete
    std::uint32_t seen = 0;           // bit s: sector s of the current track arrived
    int rejected = 0;                 // packets of the current track failing the check byte
    int unplaced = 0;                 // accepted packets of the current track with no usable number
    int inferred_from = 0;            // the track before, while its end was inferred and the
                                      // current track has had no packet yet; else 0
};

// The track an accepted packet belongs to: the current one, or the track
// before when its end was inferred and this first packet after it carries the
// last-sector mark.
int follow_track_for(const track_follow* follow, int last);

// Accounts for an accepted packet stored (or refused) on `track` with the
// decoded `sector` number and its last-sector mark.
void follow_accepted(track_follow* follow, int track, int sector, int last);

// Accounts for a packet that failed the check byte.
void follow_rejected(track_follow* follow);

// A retries-exhausted packet: the current track is over.
void follow_retries_exhausted(track_follow* follow);
