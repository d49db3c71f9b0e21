// HarneloKeyboard.h - the standard Keyboard library's Keyboard, typing
// through Harnelo. A sketch written for a Leonardo or Micro runs on an Uno
// or Nano once its include line changes:
//
//   #include <Keyboard.h>         // before
//   #include <HarneloKeyboard.h>  // after
//
// Keyboard.begin() starts Serial at 115200 (choose that rate in Harnelo)
// unless the sketch started it already; see Harnelo::beginSerial().
//
// print(), println() and write() type text as it is written, whatever the
// computer's keyboard layout: "Grüße", "€" or an emoji come out as they
// read in the sketch (string literals are UTF-8). Text goes out in text
// lines of several dozen characters each, a call's text all before the
// call returns. '\n' is Return, '\t' Tab, '\b' Backspace and 27 Escape.
// '\r' is skipped, so println()'s "\r\n" is one Return, and so are other
// control characters and bytes that are not UTF-8. While the sketch holds a
// modifier (press(KEY_LEFT_CTRL)), characters that a US keyboard has go as
// keys instead, so that shortcuts such as Ctrl+C reach programs as they
// would from a keyboard.
//
// press(), release() and write(k) of one byte take the KEY_ codes below, as
// in the standard library: write(KEY_RETURN) taps Return. A single byte from
// 0x80 up is a KEY_ code, not part of a UTF-8 character, unless it finishes
// one that an earlier call left unfinished; type non-ASCII text with print().
// Keys go down and up in key lines, as Harnelo.h describes; a character
// given to press() is the key that carries it, with Shift held for capitals
// and the symbols a US keyboard shifts. The layout given to begin() is
// accepted and changes nothing.
//
// Like the USB library, Keyboard holds up to 6 keys at once besides the 8
// modifiers, and a press beyond that returns 0.

#ifndef HARNELO_KEYBOARD_H
#define HARNELO_KEYBOARD_H

#include <Arduino.h>

#include "Harnelo.h"

#define KEY_LEFT_CTRL 0x80
#define KEY_LEFT_SHIFT 0x81
#define KEY_LEFT_ALT 0x82
#define KEY_LEFT_GUI 0x83
#define KEY_RIGHT_CTRL 0x84
#define KEY_RIGHT_SHIFT 0x85
#define KEY_RIGHT_ALT 0x86
#define KEY_RIGHT_GUI 0x87

#define KEY_RETURN 0xB0
#define KEY_ESC 0xB1
#define KEY_BACKSPACE 0xB2
#define KEY_TAB 0xB3
#define KEY_CAPS_LOCK 0xC1
#define KEY_F1 0xC2
#define KEY_F2 0xC3
#define KEY_F3 0xC4
#define KEY_F4 0xC5
#define KEY_F5 0xC6
#define KEY_F6 0xC7
#define KEY_F7 0xC8
#define KEY_F8 0xC9
#define KEY_F9 0xCA
#define KEY_F10 0xCB
#define KEY_F11 0xCC
#define KEY_F12 0xCD
#define KEY_PRINT_SCREEN 0xCE
#define KEY_SCROLL_LOCK 0xCF
#define KEY_PAUSE 0xD0
#define KEY_INSERT 0xD1
#define KEY_HOME 0xD2
#define KEY_PAGE_UP 0xD3
#define KEY_DELETE 0xD4
#define KEY_END 0xD5
#define KEY_PAGE_DOWN 0xD6
#define KEY_RIGHT_ARROW 0xD7
#define KEY_LEFT_ARROW 0xD8
#define KEY_DOWN_ARROW 0xD9
#define KEY_UP_ARROW 0xDA
#define KEY_NUM_LOCK 0xDB
#define KEY_KP_SLASH 0xDC
#define KEY_KP_ASTERISK 0xDD
#define KEY_KP_MINUS 0xDE
#define KEY_KP_PLUS 0xDF
#define KEY_KP_ENTER 0xE0
#define KEY_KP_1 0xE1
#define KEY_KP_2 0xE2
#define KEY_KP_3 0xE3
#define KEY_KP_4 0xE4
#define KEY_KP_5 0xE5
#define KEY_KP_6 0xE6
#define KEY_KP_7 0xE7
#define KEY_KP_8 0xE8
#define KEY_KP_9 0xE9
#define KEY_KP_0 0xEA
#define KEY_KP_DOT 0xEB
#define KEY_MENU 0xED
#define KEY_F13 0xF0
#define KEY_F14 0xF1
#define KEY_F15 0xF2
#define KEY_F16 0xF3
#define KEY_F17 0xF4
#define KEY_F18 0xF5
#define KEY_F19 0xF6
#define KEY_F20 0xF7
#define KEY_F21 0xF8
#define KEY_F22 0xF9
#define KEY_F23 0xFA
#define KEY_F24 0xFB

// Names a sketch may pass to Keyboard.begin(layout).
extern const uint8_t KeyboardLayout_da_DK[];
extern const uint8_t KeyboardLayout_de_DE[];
extern const uint8_t KeyboardLayout_en_US[];
extern const uint8_t KeyboardLayout_es_ES[];
extern const uint8_t KeyboardLayout_fr_FR[];
extern const uint8_t KeyboardLayout_hu_HU[];
extern const uint8_t KeyboardLayout_it_IT[];
extern const uint8_t KeyboardLayout_pt_PT[];
extern const uint8_t KeyboardLayout_sv_SE[];

class HarneloKeyboard : public Print {
public:
  static const uint8_t MaxHeldKeys = 6;

  void begin();
  void begin(const uint8_t *layout);
  // Releases every key still held.
  void end();

  // Each returns 1, or 0 when k has no key (or, for press, when 6 keys are
  // already held); nothing is sent then.
  size_t press(uint8_t k);
  size_t release(uint8_t k);

  // Types k, a character or a KEY_ code; returns 1, or 0 when it sends
  // nothing for k. write('\r') sends nothing and returns 1.
  size_t write(uint8_t k) override;

  // Types the text, UTF-8; returns how many of its bytes were typed, were
  // '\r', or wait for the rest of their character.
  size_t write(const uint8_t *buffer, size_t size) override;
  using Print::write;

  // Text kept in flash, print(F("...")), typed as print("...") types it.
  size_t print(const __FlashStringHelper *text);
  size_t println(const __FlashStringHelper *text);
  using Print::print;
  using Print::println;

  // Returns how many keys, modifiers included, it released.
  int releaseAll();

private:
  // The virtual key a code types (0 for none) and the modifiers it needs,
  // one bit per modifier from KEY_LEFT_CTRL (bit 0) to KEY_RIGHT_GUI (bit 7).
  struct KeyStroke {
    uint8_t virtualKey;
    uint8_t modifiers;
  };

  size_t pressStroke(KeyStroke stroke);
  size_t releaseStroke(KeyStroke stroke);
  size_t tapStroke(KeyStroke stroke);
  size_t takeTextByte(uint8_t byte);
  bool typeCharacter(uint32_t character);
  uint8_t setModifiers(uint8_t modifiers);
  uint8_t *slotOf(uint8_t virtualKey);
  void holdKey(uint8_t virtualKey);
  void letGoKey(uint8_t virtualKey);

  static KeyStroke strokeForCode(uint8_t k);
  static KeyStroke strokeForCharacter(uint8_t c);

  Harnelo harnelo_;
  Utf8Decoder text_;
  uint8_t modifiers_ = 0;
  uint8_t keys_[MaxHeldKeys] = {};  // held virtual keys; 0 is a free place
};

extern HarneloKeyboard Keyboard;

#endif
