// A pointer for tests on wlroots compositors, played through a virtual pointer
// device from commands on standard input, one a line: "move X Y" (layout points),
// "press", "release" (the left button), "sleep MS".   test_pointer LAYOUT_WIDTH LAYOUT_HEIGHT
#include <linux/input-event-codes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wayland-client.h>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

static struct wl_seat* seat;
static struct zwlr_virtual_pointer_manager_v1* manager;

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  (void)data, (void)version;
  if (strcmp(interface, wl_seat_interface.name) == 0)
    seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
  else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
    manager = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name) { (void)data, (void)registry, (void)name; }

static const struct wl_registry_listener listener = {global, global_remove};

static uint32_t now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint32_t)(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s LAYOUT_WIDTH LAYOUT_HEIGHT < commands\n", argv[0]);
    return 2;
  }
  const uint32_t width = (uint32_t)atoi(argv[1]), height = (uint32_t)atoi(argv[2]);
  struct wl_display* display = wl_display_connect(NULL);
  if (!display) return fprintf(stderr, "test_pointer: no Wayland display\n"), 1;
  wl_registry_add_listener(wl_display_get_registry(display), &listener, NULL);
  wl_display_roundtrip(display);
  if (!manager) return fprintf(stderr, "test_pointer: the compositor has no virtual pointers\n"), 1;
  struct zwlr_virtual_pointer_v1* pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
  wl_display_roundtrip(display);
  char line[128];
  unsigned x, y, ms;
  while (fgets(line, sizeof line, stdin)) {
    if (sscanf(line, "move %u %u", &x, &y) == 2) {
      zwlr_virtual_pointer_v1_motion_absolute(pointer, now_ms(), x, y, width, height);
    } else if (strncmp(line, "press", 5) == 0 || strncmp(line, "release", 7) == 0) {
      zwlr_virtual_pointer_v1_button(pointer, now_ms(), BTN_LEFT,
                                     line[0] == 'p' ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    } else if (sscanf(line, "sleep %u", &ms) == 1) {
      wl_display_flush(display);
      nanosleep(&(struct timespec){ms / 1000, (long)(ms % 1000) * 1000000L}, NULL);
      continue;
    } else {
      fprintf(stderr, "test_pointer: unknown command: %s", line);
      return 2;
    }
    zwlr_virtual_pointer_v1_frame(pointer);
    wl_display_roundtrip(display);
  }
  zwlr_virtual_pointer_v1_destroy(pointer);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
