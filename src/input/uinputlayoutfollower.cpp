#include "uinputlayoutfollower.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QTimer>

#include <xcb/xcb.h>
// xkb.h names a member "explicit", which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>

#include <cstdlib>

namespace {

const char KeyboardSettings[] = "/etc/default/keyboard";
// More than any real settings file; the rest is not read.
constexpr qint64 MaxSettingsSize = 64 * 1024;
// Changes come in bursts (a keymap is sent in parts, an editor writes a
// file in steps): one reload after they settle.
constexpr int SettleMs = 100;

std::optional<LayoutNames> systemSettings()
{
    QFile file(QString::fromLatin1(KeyboardSettings));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return layoutNamesFromKeyboardSettings(file.read(MaxSettingsSize).toStdString());
}

// Keymap changes and switches between its layouts; not every key's state.
void selectKeymapEvents(xcb_connection_t *connection)
{
    const std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY
                                 | XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
    const std::uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS
                                   | XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_KEY_ACTIONS
                                   | XCB_XKB_MAP_PART_VIRTUAL_MODS;
    xcb_xkb_select_events_details_t details{};
    details.affectNewKeyboard = details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
    details.affectState = details.stateDetails = XCB_XKB_STATE_PART_GROUP_LOCK;
    xcb_xkb_select_events_aux(connection, XCB_XKB_ID_USE_CORE_KBD, events, 0, 0, mapParts, mapParts, &details);
    xcb_flush(connection);
}

} // namespace

struct KeyboardLayoutFollower::Watch
{
    xcb_connection_t *x = nullptr;
    std::uint8_t xkbEvents = 0;
    std::unique_ptr<QSocketNotifier> xEvents;
    std::unique_ptr<QFileSystemWatcher> file;
    QTimer settle;

    ~Watch()
    {
        xEvents.reset();
        if (x)
            xcb_disconnect(x);
    }

    // The X server of DISPLAY with XKB, or none.
    void connectToX()
    {
        x = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(x)
            || !xkb_x11_setup_xkb_extension(x, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                            XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr,
                                            &xkbEvents, nullptr)) {
            xcb_disconnect(x);
            x = nullptr;
        }
    }

    bool keymapChanged()
    {
        bool changed = false;
        while (xcb_generic_event_t *event = xcb_poll_for_event(x)) {
            changed |= (event->response_type & 0x7f) == xkbEvents;
            std::free(event);
        }
        if (xcb_connection_has_error(x))
            xEvents->setEnabled(false);
        return changed;
    }
};

KeyboardLayoutFollower::KeyboardLayoutFollower(const std::string &argument, Changed changed)
    : argument(argument), changed(std::move(changed)), watch(std::make_unique<Watch>())
{
    if (argument.empty())
        watch->connectToX();
    load();
    if (!argument.empty() || !QCoreApplication::instance())
        return;
    watch->settle.setSingleShot(true);
    watch->settle.setInterval(SettleMs);
    QObject::connect(&watch->settle, &QTimer::timeout, [this] { reload(); });
    if (watch->x) {
        selectKeymapEvents(watch->x);
        watch->xEvents = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(watch->x), QSocketNotifier::Read);
        QObject::connect(watch->xEvents.get(), &QSocketNotifier::activated, [this] {
            if (watch->keymapChanged())
                watch->settle.start();
        });
        // Events that came while the layout was read.
        if (watch->keymapChanged())
            watch->settle.start();
    } else if (QFile::exists(QString::fromLatin1(KeyboardSettings))) {
        watch->file = std::make_unique<QFileSystemWatcher>(QStringList{QString::fromLatin1(KeyboardSettings)});
        QObject::connect(watch->file.get(), &QFileSystemWatcher::fileChanged, [this] { watch->settle.start(); });
    }
}

KeyboardLayoutFollower::~KeyboardLayoutFollower() = default;

std::string KeyboardLayoutFollower::description() const
{
    if (!current)
        return "none: not even us compiles; is xkb-data installed?";
    return current->name() + " (" + source + ")";
}

void KeyboardLayoutFollower::load()
{
    if (!argument.empty()) {
        if (const std::optional<LayoutNames> names = layoutNamesFromArgument(argument))
            current = compileKeyboardLayout(*names);
        source = "from --layout";
        if (current)
            return;
    }
    if (watch->x) {
        current = readXServerLayout(watch->x);
        source = "from the X server";
        if (current)
            return;
    }
    if (const std::optional<LayoutNames> names = systemSettings()) {
        current = compileKeyboardLayout(*names);
        source = std::string("from ") + KeyboardSettings;
        if (current)
            return;
    }
    current = compileKeyboardLayout({{}, "us", {}, {}});
    source = "the default: neither an X server nor " + std::string(KeyboardSettings) + " names one";
}

void KeyboardLayoutFollower::reload()
{
    // An editor may replace the file, which ends its watch.
    if (watch->file && watch->file->files().isEmpty())
        watch->file->addPath(QString::fromLatin1(KeyboardSettings));
    load();
    changed(current);
}
