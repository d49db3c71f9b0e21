#pragma once

#include "inputbackend.h"

#include <array>
#include <bitset>
#include <cstdint>

struct tagINPUT;

// What this process could learn of another one's mandatory integrity level.
struct IntegrityProbe
{
    enum class Result { Level, Denied, Unknown };
    Result result = Result::Unknown;
    unsigned long level = 0; // a SECURITY_MANDATORY_*_RID, when result is Level
};

// Whether Windows drops input that a process at integrity level own injects
// into a window of the probed process. A process that may not even be looked
// at most likely runs with higher rights; only from the system's own level
// is there nothing higher to fear.
bool integrityBlocksInput(unsigned long own, IntegrityProbe target);

// Injects input through user32. Cursor placement is left to the toolkit.
// Characters go as Unicode keystrokes rather than the layout's keys, so
// every one types as written and none is ever skipped.
class WindowsInput final : public InputBackend
{
public:
    // How inputs reach Windows: SendInput unless told otherwise.
    using InputSender = unsigned (*)(unsigned count, tagINPUT *inputs, int size);
    explicit WindowsInput(InputSender send = nullptr);

    void pressButton(MouseButton button) override;
    void releaseButton(MouseButton button) override;
    void sendKey(int virtualKey, bool down) override;
    void typeCharacter(char32_t character) override;
    void releaseAllKeys() override;
    std::string takeError() override;

protected:
    void sendWheel(int amount) override;
    void sendHorizontalWheel(int amount) override;
    void flush() override;

private:
    // Looks at the window with the focus once a batch (and for every event
    // outside one): what layout it types with and whether Windows lets this
    // process reach it. Says so when it does not.
    void lookAtForeground();
    // Every input goes to Windows through here, all of one call at once so
    // that nothing else comes between them. Says what did not go through.
    bool inject(tagINPUT *inputs, unsigned count, const char *what);
    void noteError(const std::string &error);

    InputSender send_input;
    std::bitset<256> held_keys;
    // The scan code each held key went down with, for its release.
    std::array<std::uint16_t, 256> held_scan_codes{};
    std::string first_error;

    bool foreground_seen_in_batch = false;
    void *foreground_layout = nullptr;
    // The last window with the focus that was judged, and what to say when
    // Windows keeps input from it; empty when it does not.
    void *judged_window = nullptr;
    unsigned long judged_process = 0;
    std::string foreground_refusal;
    unsigned long own_integrity;
};
