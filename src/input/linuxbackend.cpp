// Picks the way to inject on Linux: XTest in X11 sessions, where it knows the
// user's layout and places the cursor exactly; the kernel's uinput device in
// any other session (Wayland, even when the toolkit runs through Xwayland,
// or no display server at all), where XTest reaches nothing.

#include "uinputinput.h"
#include "x11input.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

bool isWaylandSession()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
}

bool isX11Session()
{
    if (isWaylandSession())
        return false;
    const bool toolkitOnX11 = qGuiApp && qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return toolkitOnX11 || !qEnvironmentVariableIsEmpty("DISPLAY");
}

// The absolute pointer spans the whole desktop, as a compositor maps it:
// every screen, whether or not the toolkit counts it a sibling of the primary.
DesktopArea currentDesktop()
{
    QRect desktop;
    if (qGuiApp) {
        for (const QScreen *screen : QGuiApplication::screens())
            desktop |= screen->geometry();
    }
    if (desktop.isEmpty())
        return {};
    return {desktop.x(), desktop.y(), desktop.width(), desktop.height()};
}

InputSetup useX11()
{
    std::string error;
    if (auto input = X11Input::create(error))
        return {std::move(input), {}};
    return {createNoInput(),
            "Harnelo cannot move the mouse or press keys: " + error
                + ". In a Wayland or console session start it with --input uinput."};
}

InputSetup useUinput()
{
    std::string error;
    if (auto input = UinputInput::create(currentDesktop(), error)) {
        input->followDesktop(currentDesktop);
        // Paced events go on from the event loop. The timer lives in the
        // scheduler the backend keeps, so it dies with the backend.
        if (QCoreApplication::instance()) {
            auto timer = std::make_shared<QTimer>();
            timer->setSingleShot(true);
            timer->setTimerType(Qt::PreciseTimer);
            UinputInput *backend = input.get();
            QObject::connect(timer.get(), &QTimer::timeout, [backend] { backend->writeDue(); });
            input->whenWaiting([timer](UinputInput::Clock::time_point at) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(at - UinputInput::Clock::now());
                timer->start(std::max(wait, std::chrono::milliseconds(0)));
            });
        }
        return {std::move(input), {}};
    }
    return {createNoInput(),
            "Harnelo cannot move the mouse or press keys: " + error
                + ". Load the uinput module (sudo modprobe uinput) and install the harnelo"
                  " package, whose udev rule lets the logged-in user use /dev/uinput;"
                  " if you just installed it, log out and in again."};
}

} // namespace

InputSetup createInputBackend(InputSystem system)
{
    switch (system) {
    case InputSystem::X11:
        return useX11();
    case InputSystem::Uinput:
        return useUinput();
    case InputSystem::Automatic:
        break;
    }
    return isX11Session() ? useX11() : useUinput();
}
