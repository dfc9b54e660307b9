// trayhost: a notification area for tests under an X server of their own. It owns the system-tray
// selection of its screen, docks every icon that asks in a row of 24-pixel cells of its own window and
// prints "READY <window>" once, then "DOCK <icon window>" and "GONE <icon window>" as icons come and go.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

xcb_atom_t Atom(xcb_connection_t* c, const std::string& name) {
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, name.size(), name.c_str()), nullptr);
    const xcb_atom_t atom = r ? r->atom : XCB_ATOM_NONE;
    free(r);
    return atom;
}

void Client(xcb_connection_t* c, xcb_window_t to, xcb_window_t about, xcb_atom_t type, uint32_t mask,
            std::initializer_list<uint32_t> data) {
    xcb_client_message_event_t e;
    memset(&e, 0, sizeof e);
    e.response_type = XCB_CLIENT_MESSAGE;
    e.format = 32;
    e.window = about;
    e.type = type;
    int i = 0;
    for (uint32_t d : data) e.data.data32[i++] = d;
    xcb_send_event(c, 0, to, mask, reinterpret_cast<const char*>(&e));
}

}  // namespace

int main() {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "trayhost: no X server\n");
        return 1;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&it);
    xcb_screen_t* screen = it.data;
    const xcb_atom_t selection = Atom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const xcb_atom_t opcode = Atom(c, "_NET_SYSTEM_TRAY_OPCODE");
    const xcb_atom_t manager = Atom(c, "MANAGER");
    const xcb_atom_t orientation = Atom(c, "_NET_SYSTEM_TRAY_ORIENTATION");
    const xcb_atom_t xembed = Atom(c, "_XEMBED");

    // The area: a strip at the screen's bottom right, above whatever the tests place.
    const uint16_t width = 24 * 8, height = 24;
    const xcb_window_t area = xcb_generate_id(c);
    const uint32_t values[] = {screen->white_pixel, 1, XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, area, screen->root, screen->width_in_pixels - width,
                      screen->height_in_pixels - height, width, height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    const uint32_t horizontal = 0;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, area, orientation, XCB_ATOM_CARDINAL, 32, 1, &horizontal);
    xcb_map_window(c, area);
    xcb_set_selection_owner(c, area, selection, XCB_CURRENT_TIME);
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const bool ours = owner && owner->owner == area;
    free(owner);
    if (!ours) {
        fprintf(stderr, "trayhost: another notification area owns the selection\n");
        return 1;
    }
    // Programs already running learn of the new area.
    Client(c, screen->root, screen->root, manager, XCB_EVENT_MASK_STRUCTURE_NOTIFY, {XCB_CURRENT_TIME, selection, area, 0, 0});
    xcb_flush(c);
    printf("READY %u\n", area);
    fflush(stdout);

    std::vector<xcb_window_t> icons;
    auto place = [&] {
        for (size_t i = 0; i < icons.size(); ++i) {
            const uint32_t g[] = {static_cast<uint32_t>(24 * i + 1), 1, 22, 22};
            xcb_configure_window(c, icons[i], XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, g);
        }
    };
    while (xcb_generic_event_t* e = xcb_wait_for_event(c)) {
        const uint8_t type = e->response_type & 0x7f;
        if (type == XCB_CLIENT_MESSAGE) {
            auto* m = reinterpret_cast<xcb_client_message_event_t*>(e);
            // SYSTEM_TRAY_REQUEST_DOCK: the icon's window in the third word.
            if (m->type == opcode && m->data.data32[1] == 0) {
                const xcb_window_t icon = m->data.data32[2];
                const uint32_t mask[] = {XCB_EVENT_MASK_STRUCTURE_NOTIFY};
                xcb_change_window_attributes(c, icon, XCB_CW_EVENT_MASK, mask);
                xcb_reparent_window(c, icon, area, static_cast<int16_t>(24 * icons.size() + 1), 1);
                icons.push_back(icon);
                place();
                xcb_map_window(c, icon);
                Client(c, icon, icon, xembed, XCB_EVENT_MASK_NO_EVENT, {XCB_CURRENT_TIME, 0, 0, area, 0});  // EMBEDDED_NOTIFY
                xcb_flush(c);
                printf("DOCK %u\n", icon);
                fflush(stdout);
            }
        } else if (type == XCB_DESTROY_NOTIFY || type == XCB_REPARENT_NOTIFY) {
            const xcb_window_t gone = type == XCB_DESTROY_NOTIFY ? reinterpret_cast<xcb_destroy_notify_event_t*>(e)->window
                                      : reinterpret_cast<xcb_reparent_notify_event_t*>(e)->parent != area
                                          ? reinterpret_cast<xcb_reparent_notify_event_t*>(e)->window
                                          : XCB_WINDOW_NONE;
            for (size_t i = 0; i < icons.size(); ++i)
                if (icons[i] == gone) {
                    icons.erase(icons.begin() + static_cast<long>(i));
                    place();
                    xcb_flush(c);
                    printf("GONE %u\n", gone);
                    fflush(stdout);
                    break;
                }
        } else if (type == XCB_SELECTION_CLEAR) {
            free(e);
            break;
        }
        free(e);
    }
    xcb_disconnect(c);
    return 0;
}
