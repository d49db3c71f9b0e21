// Picks the way to inject on Linux: XTest in X11 sessions, where it knows the
// user's layout and places the cursor exactly; the kernel's uinput device in
// any other session (Wayland, even when the toolkit runs through Xwayland,
// or no display server at all), where XTest reaches X programs at most.

#include "heldinputguard.h"
#include "uinputinput.h"
#include "uinputlayoutfollower.h"
#include "x11input.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

const std::string ThroughKernel = "Input goes through the kernel (uinput): ";

struct Route
{
    InputSystem system;
    // Which way and why, in words for the user.
    std::string said;
};

// What says that this is a Wayland session, beside the X server: the window
// itself or the environment. Empty when nothing does.
// Without a window the application is no QGuiApplication, and has no screens.
bool isGuiApplication()
{
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
}

std::string waylandSign()
{
    if (isGuiApplication() && QGuiApplication::platformName() == QLatin1String("wayland"))
        return "the window runs on Wayland";
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return "WAYLAND_DISPLAY is set";
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
        return "XDG_SESSION_TYPE is wayland";
    return {};
}

// sudo keeps DISPLAY and drops the Wayland variables, and a user service or
// ssh -X may have DISPLAY alone, so the X server is asked what it is.
Route routeForSession()
{
    const std::string wayland = waylandSign();
    if (!wayland.empty())
        return {InputSystem::Uinput, ThroughKernel + wayland + ", so this is a Wayland session."};
    const XServerFacts x = inspectXServer();
    if (!x.reachable) {
        const std::string where = x.name.empty() ? " (DISPLAY is not set)" : " at " + x.name;
        return {InputSystem::Uinput, ThroughKernel + "no X server answers" + where + "."};
    }
    const std::string throughXTest = "Input goes to the X server " + x.name + " through XTest: ";
    // uinput would act on this computer, not on the display the window is on.
    if (x.overNetwork) {
        return {InputSystem::X11,
                throughXTest + "it is reached over the network (as with ssh -X), so the pointer and keys act"
                    " on that display, which may be another computer's."
                    + (x.xwayland ? " It is Xwayland: only X programs there receive them." : "")};
    }
    if (x.xwayland) {
        return {InputSystem::Uinput,
                ThroughKernel + "the X server " + x.name + " is Xwayland, so this is a Wayland session."};
    }
    return {InputSystem::X11, throughXTest + "this is an X11 session."};
}

// The absolute pointer spans the whole desktop, as a compositor maps it:
// every screen, whether or not the toolkit counts it a sibling of the primary.
DesktopArea currentDesktop()
{
    QRect desktop;
    if (isGuiApplication()) {
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

// The layout follows the session's as it changes, from the event loop.
std::string typeWithLayout(UinputInput &input, const std::string &keyboardLayout)
{
    UinputInput *backend = &input;
    auto follower = std::make_shared<KeyboardLayoutFollower>(
        keyboardLayout, [backend](std::shared_ptr<const KeyboardLayout> layout) { backend->useLayout(std::move(layout)); });
    input.useLayout(follower->layout());
    input.keep(follower);
    return " Keyboard layout " + follower->description() + ".";
}

InputSetup useUinput(const std::optional<DesktopArea> &desktop, const std::string &keyboardLayout)
{
    std::string error;
    if (auto input = UinputInput::create(desktop.value_or(currentDesktop()), error)) {
        const std::string layout = typeWithLayout(*input, keyboardLayout);
        if (!desktop)
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
        return {std::move(input), {}, layout};
    }
    return {createNoInput(),
            "Harnelo cannot move the mouse or press keys: " + error
                + ". Load the uinput module (sudo modprobe uinput) and install the harnelo"
                  " package, whose udev rule lets the logged-in user use /dev/uinput;"
                  " if you just installed it, log out and in again."};
}

Route routeFor(InputSystem system)
{
    switch (system) {
    case InputSystem::X11:
        return {system, "Input goes to the X server through XTest, as --input x11 asks."};
    case InputSystem::Uinput:
        return {system, "Input goes through the kernel (uinput), as --input uinput asks."};
    case InputSystem::Automatic:
        break;
    }
    return routeForSession();
}

} // namespace

InputSetup createInputBackend(InputSystem system, const std::optional<DesktopArea> &desktop,
                              const std::string &keyboardLayout)
{
    const Route route = routeFor(system);
    InputSetup setup = route.system == InputSystem::X11 ? useX11() : useUinput(desktop, keyboardLayout);
    // The uinput backend leaves what it says of the layout in the route.
    setup.route = route.said + setup.route;
    // The kernel releases what a uinput device held once it is closed; and
    // without a backend nothing is held.
    if (route.system != InputSystem::X11 || !setup.problem.empty())
        HeldInputGuard::dismiss();
    return setup;
}
