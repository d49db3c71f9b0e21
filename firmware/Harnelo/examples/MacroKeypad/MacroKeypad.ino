// MacroKeypad - four push buttons that each type a keyboard shortcut.
//
// Wiring (Uno, Nano or another ATmega328P board): one push button from each
// of pins 4, 5, 6 and 7 to GND. No resistors: the internal pull-ups are used.
//
// Pressing a button types its whole shortcut at once: the keys go down in
// the listed order and come up in reverse, so the modifier (Ctrl, Alt) is
// held before the letter reaches the computer and let go after it.

#include <Harnelo.h>

const long BaudRate = 115200;  // choose the same rate in Harnelo

Harnelo harnelo;  // sends its lines on Serial

const uint8_t MaxShortcutKeys = 4;

// Unused places in keys stay 0, which is no key.
struct MacroButton {
  PushButton button;
  uint8_t keys[MaxShortcutKeys];
};

MacroButton macroButtons[] = {
  { PushButton(4), { Vk::Control, 'C' } },  // copy
  { PushButton(5), { Vk::Control, 'V' } },  // paste
  { PushButton(6), { Vk::Control, 'Z' } },  // undo
  { PushButton(7), { Vk::Alt, Vk::Tab } },  // back to the previous window
};

const uint8_t MacroButtonCount = sizeof(macroButtons) / sizeof(macroButtons[0]);

uint8_t shortcutLength(const uint8_t *keys) {
  uint8_t length = 0;
  while (length < MaxShortcutKeys && keys[length] != 0) {
    ++length;
  }
  return length;
}

void setup() {
  Serial.begin(BaudRate);
  for (uint8_t i = 0; i < MacroButtonCount; ++i) {
    macroButtons[i].button.begin();
  }
}

void loop() {
  for (uint8_t i = 0; i < MacroButtonCount; ++i) {
    MacroButton &macro = macroButtons[i];
    if (macro.button.changed() && macro.button.isPressed()) {
      harnelo.typeShortcut(macro.keys, shortcutLength(macro.keys));
    }
  }
}
