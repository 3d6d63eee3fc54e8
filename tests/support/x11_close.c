/*
 * x11_close: ask top-level X11 windows to close, the way a window manager
 * does when the user clicks the close button.
 *
 *   x11_close [-d DISPLAY] [-p PID] [-l] <title-prefix>
 *
 * Every mapped top-level window whose _NET_WM_NAME or WM_NAME starts with
 * the prefix gets a WM_PROTOCOLS/WM_DELETE_WINDOW client message.  Tests
 * use this to quit OBS cleanly: OBS on Linux exits on SIGTERM without
 * running its shutdown path, so module unload code only runs after a
 * window close.
 *
 * -p PID  only windows whose _NET_WM_PID is PID (so a demo run on a real
 *         desktop never closes the user's own OBS).
 * -l      only list the matching windows, send nothing; an empty prefix
 *         then lists every titled window.
 *
 * Exit status: 0 when at least one matching window was found (and, unless
 * -l, the message was sent), 1 when none matched, 2 on usage or display
 * errors.
 */
/* strdup/strndup also under a strict -std=c11. */
#define _POSIX_C_SOURCE 200809L

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static Atom atom_net_wm_name;
static Atom atom_net_wm_pid;
static Atom atom_utf8_string;
static Atom atom_wm_protocols;
static Atom atom_wm_delete_window;

/* Returns a malloc'd title of the window or NULL. */
static char *window_title(Display *dpy, Window w)
{
	Atom type = None;
	int format = 0;
	unsigned long count = 0, after = 0;
	unsigned char *data = NULL;

	if (XGetWindowProperty(dpy, w, atom_net_wm_name, 0, 4096, False,
			       atom_utf8_string, &type, &format, &count, &after,
			       &data) == Success &&
	    data && type == atom_utf8_string && format == 8) {
		char *title = strndup((const char *)data, count);
		XFree(data);
		return title;
	}
	if (data)
		XFree(data);

	char *name = NULL;
	if (XFetchName(dpy, w, &name) && name) {
		char *title = strdup(name);
		XFree(name);
		return title;
	}
	return NULL;
}

/* Returns the _NET_WM_PID of the window, or -1 when it has none. */
static long window_pid(Display *dpy, Window w)
{
	Atom type = None;
	int format = 0;
	unsigned long count = 0, after = 0;
	unsigned char *data = NULL;
	long pid = -1;

	if (XGetWindowProperty(dpy, w, atom_net_wm_pid, 0, 1, False,
			       XA_CARDINAL, &type, &format, &count, &after,
			       &data) == Success &&
	    data && type == XA_CARDINAL && format == 32 && count == 1)
		pid = (long)*(unsigned long *)data;
	if (data)
		XFree(data);
	return pid;
}

static int supports_delete(Display *dpy, Window w)
{
	Atom *protocols = NULL;
	int count = 0, found = 0;

	if (XGetWMProtocols(dpy, w, &protocols, &count)) {
		for (int i = 0; i < count; i++)
			if (protocols[i] == atom_wm_delete_window)
				found = 1;
		XFree(protocols);
	}
	return found;
}

static int is_viewable(Display *dpy, Window w)
{
	XWindowAttributes attrs;
	if (!XGetWindowAttributes(dpy, w, &attrs))
		return 0;
	return attrs.map_state == IsViewable;
}

static void send_delete(Display *dpy, Window w)
{
	XEvent ev;
	memset(&ev, 0, sizeof(ev));
	ev.xclient.type = ClientMessage;
	ev.xclient.window = w;
	ev.xclient.message_type = atom_wm_protocols;
	ev.xclient.format = 32;
	ev.xclient.data.l[0] = (long)atom_wm_delete_window;
	ev.xclient.data.l[1] = CurrentTime;
	XSendEvent(dpy, w, False, NoEventMask, &ev);
}

static int ignore_errors(Display *dpy, XErrorEvent *err)
{
	/* Windows may vanish while we walk the tree; that is not fatal. */
	(void)dpy;
	(void)err;
	return 0;
}

int main(int argc, char **argv)
{
	const char *display_name = NULL;
	const char *prefix = NULL;
	long only_pid = -1;
	int list_only = 0, bad_usage = 0;

	for (int i = 1; i < argc && !bad_usage; i++) {
		if (!strcmp(argv[i], "-d") && i + 1 < argc) {
			display_name = argv[++i];
		} else if (!strcmp(argv[i], "-p") && i + 1 < argc) {
			char *end = NULL;
			only_pid = strtol(argv[++i], &end, 10);
			bad_usage = !*argv[i] || *end || only_pid <= 0;
		} else if (!strcmp(argv[i], "-l")) {
			list_only = 1;
		} else if (!prefix) {
			prefix = argv[i];
		} else {
			bad_usage = 1;
		}
	}
	/* An empty prefix would close every window on the display. */
	if (bad_usage || !prefix || (!*prefix && !list_only)) {
		fprintf(stderr,
			"usage: %s [-d DISPLAY] [-p PID] [-l] <title-prefix>\n",
			argv[0]);
		return 2;
	}

	Display *dpy = XOpenDisplay(display_name);
	if (!dpy) {
		fprintf(stderr, "x11_close: cannot open display %s\n",
			XDisplayName(display_name));
		return 2;
	}
	XSetErrorHandler(ignore_errors);

	atom_net_wm_name = XInternAtom(dpy, "_NET_WM_NAME", False);
	atom_net_wm_pid = XInternAtom(dpy, "_NET_WM_PID", False);
	atom_utf8_string = XInternAtom(dpy, "UTF8_STRING", False);
	atom_wm_protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
	atom_wm_delete_window = XInternAtom(dpy, "WM_DELETE_WINDOW", False);

	Window root = DefaultRootWindow(dpy), parent = None;
	Window *children = NULL;
	unsigned int count = 0;
	size_t prefix_len = strlen(prefix);
	int matched = 0;

	if (!XQueryTree(dpy, root, &root, &parent, &children, &count)) {
		fprintf(stderr, "x11_close: cannot list windows\n");
		XCloseDisplay(dpy);
		return 2;
	}

	for (unsigned int i = 0; i < count; i++) {
		Window w = children[i];
		char *title = window_title(dpy, w);
		if (!title)
			continue;
		/* OBS keeps many hidden dialogs around; a window manager
		 * never closes unmapped windows either, so skip them. */
		if (!strncmp(title, prefix, prefix_len) &&
		    is_viewable(dpy, w) &&
		    (only_pid < 0 || window_pid(dpy, w) == only_pid)) {
			matched++;
			if (list_only) {
				printf("0x%lx %ld %s\n", (unsigned long)w,
				       window_pid(dpy, w), title);
			} else if (supports_delete(dpy, w)) {
				send_delete(dpy, w);
				printf("closing 0x%lx %s\n", (unsigned long)w,
				       title);
			} else {
				/* Without WM_DELETE_WINDOW a window manager
				 * would kill the client; we only report. */
				fprintf(stderr,
					"x11_close: 0x%lx '%s' does not accept WM_DELETE_WINDOW\n",
					(unsigned long)w, title);
				matched--;
			}
		}
		free(title);
	}
	if (children)
		XFree(children);

	XSync(dpy, False);
	XCloseDisplay(dpy);
	return matched > 0 ? 0 : 1;
}
