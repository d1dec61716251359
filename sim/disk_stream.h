#pragma once
// Faults of the "ws" disk stream (--ws-fault KIND:N[,N...]). Packet numbers
// count every packet sent for the command, the first is 1; a duplicated
// packet counts twice.

inline constexpr int STREAM_FAULT_SLOTS = 8;

enum stream_fault_kind {
    STREAM_BAD_CHECK,     // packet N: a wrong check byte
    STREAM_RETRIES,       // track T: half its sectors, then the retries-exhausted packet
    STREAM_BAD_CODE,      // packet N: a sector code that is no GCR code
    STREAM_OUT_OF_RANGE,  // packet N: sector number 31, beyond every track
    STREAM_DUPLICATE,     // packet N: sent twice, the first copy without the last-sector mark
    STREAM_SILENT,        // after packet N: nothing more goes out
    STREAM_HANGUP,        // after packet N: the pty is closed
    STREAM_FAULT_KINDS,
};

struct stream_faults {
    int at[STREAM_FAULT_KINDS][STREAM_FAULT_SLOTS] = {};  // packet or track numbers, 0 ends a list
};

// Parses "KIND:N[,N...]" into `faults`; on error writes a message naming
// `option` to standard error and returns false.
bool parse_stream_fault(const char* option, const char* text, stream_faults* faults);
