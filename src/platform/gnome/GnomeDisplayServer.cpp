#include "platform/gnome/GnomeDisplayServer.hpp"

#include "platform/gnome/GnomeRestoreToken.hpp"
#include "platform/portal/PortalSession.hpp"
#include "platform/wayland/WaylandSeatKeymap.hpp"

#include <cstdlib>
#include <string_view>

GnomeDisplayServer::GnomeDisplayServer()
    : connection_({false, {}, {}}), screenCast_(GnomeScreenCast::defaultTokenFile()),
      remoteDesktop_(restoreTokenFile("remote-desktop-token")),
      inputEvents_(remoteDesktop_, [this]() -> std::optional<std::set<std::uint32_t>> {
          try {
              return connection_.run([](WaylandSession& session) { return waylandLayoutKeysyms(session); });
          } catch (const std::exception&) {
              return std::nullopt;
          }
      },
      // Text the layout cannot type goes through the clipboard of the desktop's XWayland,
      // which the desktop shares with every client.
      PasteRoute{[this] { return clipboard_.available(); },
                                  [this](const std::string& text, const std::function<void()>& pasteKey) {
                                      clipboard_.pasteWith(text, pasteKey);
                                  }})
{
    // Grants kept from an earlier process share the screen, and allow input where the portal
    // keeps that, again without a dialog.
    screenCast_.resume();
    remoteDesktop_.resume();
}

GnomeDisplayServer::~GnomeDisplayServer()
{
    connection_.disconnect();
}

std::unique_ptr<GnomeDisplayServer> GnomeDisplayServer::ifOffered()
{
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
    if (!display || !*display || !desktops)
        return nullptr;
    // A colon-separated list ("ubuntu:GNOME").
    bool gnome = false;
    std::string_view rest = desktops;
    while (!rest.empty() && !gnome) {
        const auto colon = rest.find(':');
        gnome = rest.substr(0, colon) == "GNOME";
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    }
    if (!gnome)
        return nullptr;
    try {
        if (PortalSession().version().value_or(0) == 0)
            return nullptr;
    } catch (const std::exception&) {
        return nullptr;
    }
    return std::make_unique<GnomeDisplayServer>();
}

void GnomeDisplayServer::requestCaptureConsent()
{
    // As a first prompt does: a user who has answered is not asked again here.
    if (screenCast_.consent() == GnomeScreenCast::Consent::notAsked)
        screenCast_.ask();
}

void GnomeDisplayServer::openCaptureSettings()
{
    // The dialog is where the user changes their answer.
    screenCast_.ask();
}

void GnomeDisplayServer::requestInputConsent()
{
    // Unlike the screen, input is asked for again while it is not granted: the portal keeps
    // no answer, and only a request shows the dialog.
    if (remoteDesktop_.consent() != GnomeRemoteDesktop::Consent::granted)
        remoteDesktop_.ask();
}

