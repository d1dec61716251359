#pragma once
// Output helpers the session needs beyond those handlers use (commands.h).
#include <cstdint>

#include "commands.h"

inline constexpr long HANGUP_DRAIN_LIMIT_MS = 2000;

std::int64_t sim_now_ns();
// Waits until the host has read all but `leave` of the bytes sent, for at most
// `limit_ms`. False when the limit passed or a stop was requested.
bool sim_drain(sim_context* ctx, int leave, long limit_ms);
// Closes the master after letting the host read what was sent.
void sim_hang_up(sim_context* ctx);
