#include "app/key_map.hpp"

#include "app/board.hpp"
#include "app/end_request.hpp"
#include "pipeline/key_codes.hpp"

void rebuild_key_map(Display& display, Stream& active, PostProcessWorker& post) {
    // Composed aside and put in place at once: a window closed meanwhile
    // still finds its Escape action.
    CallbackMap keys = active.get_callbacks();
    keys[KEY_ESCAPE] = callback_end;
    keys[KEY_SPACE] = callback_switch;
    keys[KEY_R] = callback_reset;
    for (const auto& entry : post.get_callbacks()) keys[entry.first] = entry.second;
    display.replace_callbacks(keys);
}
