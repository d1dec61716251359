// "de 0x%x": the drive's error channel. After "OK" the adapter sends one
// length byte and that many bytes of status text (--status, default
// "00, OK,00,00"), without a terminator.
#include <cstring>

#include "commands.h"

namespace {

constexpr std::size_t STATUS_TEXT_MAX = 255;  // what one length byte can count

}  // namespace

bool handle_status(sim_context* ctx, const sim_request* request) {
    if (!sim_sleep_ms(ctx, ctx->options->delay_ms)) return false;
    if (!sim_reply(ctx, sim_drive_reply(request))) return sim_live(ctx);
    const char* text = ctx->options->status_text;
    std::size_t length = std::strlen(text);
    if (length > STATUS_TEXT_MAX) length = STATUS_TEXT_MAX;
    const auto length_byte = static_cast<unsigned char>(length);
    if (!sim_send_payload(ctx, &length_byte, 1)) return false;
    return sim_send_payload(ctx, text, length);
}
