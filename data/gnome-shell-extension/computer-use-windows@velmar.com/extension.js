/*
 * Velmar Computer Use windows: exports the desktop's window list on the shell's own
 * session-bus connection, for Velmar Computer Use, which reads it to list, place and
 * picture windows. GNOME on Wayland tells ordinary programs nothing of other programs'
 * windows; the shell knows them all.
 *
 * Object /com/velmar/ComputerUse/Windows, interface com.velmar.ComputerUse.Windows:
 *
 *   List() -> s     a JSON array, one object per window, front to back:
 *                     id         the window's stable sequence number, which mutter gives
 *                                each window once, counting up from 1 for the shell's
 *                                life, and never reuses: it fits in 32 bits without a
 *                                sign, unlike get_id(), which is above 2^32 for Wayland
 *                                clients
 *                     title      the title ("" when there is none)
 *                     app_id     the sandboxed application's id, else the .desktop id the
 *                                shell matched the window to (without ".desktop"), else
 *                                the window's class; "" when none is known
 *                     app_name   the application's name where the shell knows it, else ""
 *                     pid        the client's process id (0 when unknown)
 *                     frame      {x, y, width, height}: the window's frame in logical
 *                                pixels of the desktop, without the shadow
 *                     workspace  the workspace's index, -1 when on all of them
 *                     shown      not minimized and on the active workspace
 *                     x11        an X client (of XWayland)
 *   Version         property (u): the version of this protocol, 1. Fields are only ever
 *                   added within a version.
 *
 * Only windows a user would find in a window switcher are listed: no override-redirect
 * menus and tooltips, no windows that ask to be left out of the taskbar, no docks or
 * desktops.
 */

const { Gio, Meta, Shell } = imports.gi;

const OBJECT_PATH = '/com/velmar/ComputerUse/Windows';
const PROTOCOL_VERSION = 1;

const INTERFACE = `
<node>
  <interface name="com.velmar.ComputerUse.Windows">
    <method name="List">
      <arg type="s" direction="out" name="windows"/>
    </method>
    <property name="Version" type="u" access="read"/>
  </interface>
</node>`;

// The kinds of window a window switcher shows.
const LISTED_TYPES = [
    Meta.WindowType.NORMAL,
    Meta.WindowType.DIALOG,
    Meta.WindowType.MODAL_DIALOG,
    Meta.WindowType.UTILITY,
];

function listed(window) {
    return !window.is_override_redirect() && !window.is_skip_taskbar() &&
        LISTED_TYPES.includes(window.get_window_type());
}

function applicationOf(window, tracker) {
    let app = null;
    try {
        app = tracker.get_window_app(window);
    } catch (e) {
        app = null;
    }
    // A window the shell matched to no .desktop file gets an application made up for it,
    // whose id ("window:N") means nothing outside the shell.
    const known = app && !app.is_window_backed();
    let appID = window.get_sandboxed_app_id() || '';
    if (!appID && known)
        appID = (app.get_id() || '').replace(/\.desktop$/, '');
    if (!appID)
        appID = window.get_wm_class() || '';
    return { appID, appName: known ? app.get_name() || '' : '' };
}

function describe(window, activeWorkspace, tracker) {
    const rect = window.get_frame_rect();
    const onAll = window.is_on_all_workspaces();
    const workspace = window.get_workspace();
    const { appID, appName } = applicationOf(window, tracker);
    return {
        id: window.get_stable_sequence(),
        title: window.get_title() || '',
        app_id: appID,
        app_name: appName,
        pid: Math.max(0, window.get_pid()),
        frame: { x: rect.x, y: rect.y, width: rect.width, height: rect.height },
        workspace: onAll || !workspace ? -1 : workspace.index(),
        shown: !window.minimized && window.located_on_workspace(activeWorkspace),
        x11: window.get_client_type() === Meta.WindowClientType.X11,
    };
}

class WindowList {
    List() {
        const activeWorkspace = global.workspace_manager.get_active_workspace();
        const tracker = Shell.WindowTracker.get_default();
        // The actors are in stacking order from the bottom; the list goes from the top.
        const windows = global.get_window_actors()
            .map(actor => actor.get_meta_window())
            .filter(window => window && listed(window));
        return JSON.stringify(windows.reverse().map(window => describe(window, activeWorkspace, tracker)));
    }

    get Version() {
        return PROTOCOL_VERSION;
    }
}

class Extension {
    enable() {
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE, new WindowList());
        this._object.export(Gio.DBus.session, OBJECT_PATH);
    }

    disable() {
        if (this._object) {
            this._object.unexport();
            this._object = null;
        }
    }
}

function init() {
    return new Extension();
}
