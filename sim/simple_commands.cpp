// Commands that answer with a reply code alone: the drive works for --delay
// milliseconds, then the adapter says "OK" (or the code of --reply).
#include "commands.h"

bool handle_drive_command(sim_context* ctx, const sim_request* request) {
    if (!sim_sleep_ms(ctx, ctx->options->delay_ms)) return false;
    sim_reply(ctx, sim_drive_reply(request));
    return true;
}

bool handle_unknown(sim_context* ctx, const sim_request*) {
    sim_reply(ctx, "KO");
    return true;
}
