#include "platform/x11/X11Connection.hpp"

#include "base/Process.hpp"

#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/res.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <array>
#include <cstring>
#include <vector>
#include <utility>

namespace {

const char* coreErrorName(int code)
{
    static constexpr std::array<const char*, 18> names = {
        "Success", "BadRequest", "BadValue", "BadWindow", "BadPixmap", "BadAtom", "BadCursor", "BadFont", "BadMatch",
        "BadDrawable", "BadAccess", "BadAlloc", "BadColor", "BadGC", "BadIDChoice", "BadName", "BadLength",
        "BadImplementation"};
    return code >= 0 && code < static_cast<int>(names.size()) ? names[static_cast<std::size_t>(code)] : "error";
}

bool present(xcb_connection_t* connection, xcb_extension_t* extension)
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
    return data && data->present;
}

} // namespace

PlatformError x11Error(const char* request, const xcb_generic_error_t* error)
{
    int code = error ? error->error_code : 0;
    return PlatformError("X11", code,
                         std::string("the X server refused ") + request + " (" + coreErrorName(code) + ", error "
                             + std::to_string(code) + ")");
}

void x11Check(xcb_connection_t* connection, xcb_void_cookie_t cookie, const char* request)
{
    X11Reply<xcb_generic_error_t> error(xcb_request_check(connection, cookie));
    if (xcb_connection_has_error(connection))
        throw X11ConnectionLost();
    if (error)
        throw x11Error(request, error.get());
}

X11Session::X11Session(xcb_connection_t* connection, int screenNumber, bool redirectWindows) : connection(connection)
{
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    screen = screens.data;
    root = screen->root;

    // Ask for everything at once, then collect: one round trip instead of a dozen.
    xcb_extension_t* extensions[] = {&xcb_randr_id, &xcb_shm_id, &xcb_composite_id, &xcb_xfixes_id, &xcb_test_id,
                                     &xcb_res_id};
    for (auto* extension : extensions)
        xcb_prefetch_extension_data(connection, extension);

    struct Name {
        xcb_atom_t* atom;
        const char* text;
    };
    const Name names[] = {{&atoms.netClientListStacking, "_NET_CLIENT_LIST_STACKING"},
                          {&atoms.wmState, "WM_STATE"},
                          {&atoms.netWMName, "_NET_WM_NAME"},
                          {&atoms.utf8String, "UTF8_STRING"},
                          {&atoms.netWMPid, "_NET_WM_PID"},
                          {&atoms.netWMWindowType, "_NET_WM_WINDOW_TYPE"},
                          {&atoms.netWMWindowTypeDesktop, "_NET_WM_WINDOW_TYPE_DESKTOP"},
                          {&atoms.netWMWindowTypeDock, "_NET_WM_WINDOW_TYPE_DOCK"},
                          {&atoms.netWMState, "_NET_WM_STATE"},
                          {&atoms.netWMStateAbove, "_NET_WM_STATE_ABOVE"},
                          {&atoms.netWMStateBelow, "_NET_WM_STATE_BELOW"},
                          {&atoms.gtkApplicationID, "_GTK_APPLICATION_ID"},
                          {&atoms.kdeDesktopFile, "_KDE_NET_WM_DESKTOP_FILE"},
                          {&atoms.bamfDesktopFile, "BAMF_DESKTOP_FILE"}};
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const auto& name : names)
        cookies.push_back(xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name.text)), name.text));
    static constexpr char xwaylandExtension[] = "XWAYLAND";
    const auto xwaylandQuery = xcb_query_extension(connection, sizeof xwaylandExtension - 1, xwaylandExtension);

    hasRandR = present(connection, &xcb_randr_id);
    hasShm = present(connection, &xcb_shm_id);
    hasComposite = present(connection, &xcb_composite_id);
    hasXFixes = present(connection, &xcb_xfixes_id);
    hasXTest = present(connection, &xcb_test_id);
    hasXRes = present(connection, &xcb_res_id);

    // The servers keep per-client versions of these extensions: a client must say which
    // version it speaks before its first real request.
    xcb_randr_query_version_cookie_t randrVersion{};
    xcb_composite_query_version_cookie_t compositeVersion{};
    xcb_xfixes_query_version_cookie_t xfixesVersion{};
    xcb_res_query_version_cookie_t resVersion{};
    if (hasRandR)
        randrVersion = xcb_randr_query_version(connection, 1, 5);
    if (hasComposite)
        compositeVersion = xcb_composite_query_version(connection, 0, 4);
    if (hasXFixes)
        xfixesVersion = xcb_xfixes_query_version(connection, 4, 0);
    if (hasXRes)
        resVersion = xcb_res_query_version(connection, 1, 2);

    for (std::size_t i = 0; i < cookies.size(); ++i) {
        X11Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookies[i], nullptr));
        *names[i].atom = reply ? reply->atom : XCB_NONE;
    }
    {
        X11Reply<xcb_query_extension_reply_t> reply(xcb_query_extension_reply(connection, xwaylandQuery, nullptr));
        socketOwnerProcessID = peerProcessID(xcb_get_file_descriptor(connection));
        isXWayland = (reply && reply->present) || processName(socketOwnerProcessID) == "Xwayland";
    }
    if (hasRandR) {
        X11Reply<xcb_randr_query_version_reply_t> reply(xcb_randr_query_version_reply(connection, randrVersion, nullptr));
        // GetOutputPrimary and GetScreenResourcesCurrent need 1.3.
        hasRandR = reply && (reply->major_version > 1 || reply->minor_version >= 3);
    }
    if (hasRandR) {
        randrEvent_ = xcb_get_extension_data(connection, &xcb_randr_id)->first_event;
        xcb_randr_select_input(connection, root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                                   | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    if (hasComposite) {
        X11Reply<xcb_composite_query_version_reply_t> reply(
            xcb_composite_query_version_reply(connection, compositeVersion, nullptr));
        // NameWindowPixmap came with 0.2.
        hasComposite = reply && (reply->major_version > 0 || reply->minor_version >= 2);
    }
    if (hasXFixes) {
        X11Reply<xcb_xfixes_query_version_reply_t> reply(xcb_xfixes_query_version_reply(connection, xfixesVersion, nullptr));
        hasXFixes = reply != nullptr;
    }
    if (hasXRes) {
        X11Reply<xcb_res_query_version_reply_t> reply(xcb_res_query_version_reply(connection, resVersion, nullptr));
        // QueryClientIds came with 1.2.
        hasXRes = reply && (reply->server_major > 1 || reply->server_minor >= 2);
    }
    if (hasComposite && redirectWindows) {
        // Automatic redirection leaves the screen looking as before; the server keeps each
        // top-level window's pixels in a pixmap of its own while this connection lives.
        X11Reply<xcb_generic_error_t> error(xcb_request_check(
            connection, xcb_composite_redirect_subwindows_checked(connection, root, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
        compositeRedirected = !error && !xcb_connection_has_error(connection);
    }
}

void X11Session::noteEvent(const xcb_generic_event_t& event)
{
    const std::uint8_t type = event.response_type & 0x7f;
    if (randrEvent_ && (type == *randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == *randrEvent_ + XCB_RANDR_NOTIFY))
        displayLayout.reset();
}

X11Session::~X11Session()
{
    releaseSharedMemory();
}

X11SharedMemory* X11Session::sharedMemory(std::size_t bytes)
{
    if (!hasShm || shmFailed_)
        return nullptr;
    if (shm_.data && shm_.size >= bytes)
        return &shm_;
    releaseSharedMemory();
    // Round up so that small changes of size do not make a new segment each time.
    std::size_t size = (bytes + (1u << 20) - 1) & ~static_cast<std::size_t>((1u << 20) - 1);
    int shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (shmid < 0) {
        shmFailed_ = true;
        return nullptr;
    }
    void* data = shmat(shmid, nullptr, 0);
    if (data == reinterpret_cast<void*>(-1)) {
        shmctl(shmid, IPC_RMID, nullptr);
        shmFailed_ = true;
        return nullptr;
    }
    std::uint32_t segment = xcb_generate_id(connection);
    X11Reply<xcb_generic_error_t> error(
        xcb_request_check(connection, xcb_shm_attach_checked(connection, segment, static_cast<std::uint32_t>(shmid), 0)));
    // The segment is removed once both sides have detached; marking it now means a crash
    // leaves nothing behind.
    shmctl(shmid, IPC_RMID, nullptr);
    if (error || xcb_connection_has_error(connection)) {
        // A display on another machine cannot share our memory: plain GetImage serves.
        shmdt(data);
        shmFailed_ = true;
        return nullptr;
    }
    shm_ = {segment, shmid, static_cast<std::uint8_t*>(data), size};
    return &shm_;
}

void X11Session::releaseSharedMemory()
{
    if (!shm_.data)
        return;
    if (!xcb_connection_has_error(connection))
        xcb_shm_detach(connection, shm_.segment);
    shmdt(shm_.data);
    shm_ = {};
}

X11Connection::X11Connection(std::string displayName) : X11Connection(X11ConnectionOptions{})
{
    options_.displayName = std::move(displayName);
}

X11Connection::X11Connection(X11ConnectionOptions options) : options_(std::move(options)) {}

X11Connection::~X11Connection()
{
    std::lock_guard lock(mutex_);
    drop();
}

void X11Connection::disconnect()
{
    std::lock_guard lock(mutex_);
    drop();
}

void X11Connection::releaseSharedMemory()
{
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock() && session_)
        session_->releaseSharedMemory();
}

void X11Connection::drop()
{
    if (!session_)
        return;
    xcb_connection_t* connection = session_->connection;
    session_.reset();
    xcb_disconnect(connection);
}

void X11Connection::pollEvents()
{
    if (!session_)
        return;
    while (X11Reply<xcb_generic_event_t> event{xcb_poll_for_event(session_->connection)}) {
        session_->noteEvent(*event);
        if (options_.onEvent)
            options_.onEvent(*event);
    }
}

std::string X11Connection::describedName() const
{
    if (!options_.displayName.empty())
        return options_.displayName;
    const char* fromEnvironment = std::getenv("DISPLAY");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : "(no DISPLAY set)";
}

X11Session& X11Connection::connectedSession()
{
    if (session_ && !xcb_connection_has_error(session_->connection))
        return *session_;
    drop();
    int screenNumber = 0;
    const std::string& name = options_.displayName;
    xcb_connection_t* connection = xcb_connect(name.empty() ? nullptr : name.c_str(), &screenNumber);
    if (int error = xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        throw PlatformError("X11", error, "cannot open the X display " + describedName());
    }
    session_ = std::make_unique<X11Session>(connection, screenNumber, options_.redirectWindows);
    if (xcb_connection_has_error(connection)) {
        drop();
        throw PlatformError("X11", 0, "the X display " + describedName() + " closed the connection");
    }
    if (options_.onConnect) {
        // A connection whose set-up did not finish is not used: the next call starts over.
        try {
            options_.onConnect(*session_);
        } catch (...) {
            drop();
            throw;
        }
    }
    return *session_;
}
