#include "HarneloKeyboard.h"

HarneloKeyboard Keyboard;

// The computer's layout decides what a key types, so these only give a
// sketch that picks a layout something to pass to begin().
const uint8_t KeyboardLayout_da_DK[1] = {};
const uint8_t KeyboardLayout_de_DE[1] = {};
const uint8_t KeyboardLayout_en_US[1] = {};
const uint8_t KeyboardLayout_es_ES[1] = {};
const uint8_t KeyboardLayout_fr_FR[1] = {};
const uint8_t KeyboardLayout_hu_HU[1] = {};
const uint8_t KeyboardLayout_it_IT[1] = {};
const uint8_t KeyboardLayout_pt_PT[1] = {};
const uint8_t KeyboardLayout_sv_SE[1] = {};

namespace {

const uint8_t ModifierCount = 8;
const uint8_t LeftShiftBit = 1 << (KEY_LEFT_SHIFT - KEY_LEFT_CTRL);

// Indexed by code - KEY_LEFT_CTRL.
const uint8_t modifierKeys[ModifierCount] PROGMEM = {
  Vk::LeftControl, Vk::LeftShift, Vk::LeftAlt, Vk::LeftWin,
  Vk::RightControl, Vk::RightShift, Vk::RightAlt, Vk::RightWin
};

struct SpecialKey {
  uint8_t code;
  uint8_t virtualKey;
};

// The KEY_ codes that do not come in a run (the function keys and keypad
// digits do, see strokeForCode).
const SpecialKey specialKeys[] PROGMEM = {
  { KEY_RETURN, Vk::Enter },
  { KEY_ESC, Vk::Escape },
  { KEY_BACKSPACE, Vk::Backspace },
  { KEY_TAB, Vk::Tab },
  { KEY_CAPS_LOCK, Vk::CapsLock },
  { KEY_PRINT_SCREEN, Vk::PrintScreen },
  { KEY_SCROLL_LOCK, Vk::ScrollLock },
  { KEY_PAUSE, Vk::Pause },
  { KEY_INSERT, Vk::Insert },
  { KEY_HOME, Vk::Home },
  { KEY_PAGE_UP, Vk::PageUp },
  { KEY_DELETE, Vk::Delete },
  { KEY_END, Vk::End },
  { KEY_PAGE_DOWN, Vk::PageDown },
  { KEY_RIGHT_ARROW, Vk::RightArrow },
  { KEY_LEFT_ARROW, Vk::LeftArrow },
  { KEY_DOWN_ARROW, Vk::DownArrow },
  { KEY_UP_ARROW, Vk::UpArrow },
  { KEY_NUM_LOCK, Vk::NumLock },
  { KEY_KP_SLASH, Vk::KeypadDivide },
  { KEY_KP_ASTERISK, Vk::KeypadMultiply },
  { KEY_KP_MINUS, Vk::KeypadSubtract },
  { KEY_KP_PLUS, Vk::KeypadAdd },
  { KEY_KP_ENTER, Vk::Enter },  // keypad Enter has no virtual key of its own
  { KEY_KP_0, Vk::Keypad0 },
  { KEY_KP_DOT, Vk::KeypadDecimal },
  { KEY_MENU, Vk::Apps },
};

struct PunctuationKey {
  char plain;
  char shifted;
  uint8_t virtualKey;
};

// What each punctuation key of a US keyboard types, without and with Shift.
const PunctuationKey punctuationKeys[] PROGMEM = {
  { '`', '~', Vk::Grave },
  { '-', '_', Vk::Minus },
  { '=', '+', Vk::Equals },
  { '[', '{', Vk::LeftBracket },
  { ']', '}', Vk::RightBracket },
  { '\\', '|', Vk::Backslash },
  { ';', ':', Vk::Semicolon },
  { '\'', '"', Vk::Quote },
  { ',', '<', Vk::Comma },
  { '.', '>', Vk::Period },
  { '/', '?', Vk::Slash },
};

// What the digit keys 0-9 type with Shift on a US keyboard.
const char shiftedDigits[10] PROGMEM = { ')', '!', '@', '#', '$', '%', '^', '&', '*', '(' };

const uint8_t Escape = 27;

bool inRange(uint8_t value, uint8_t first, uint8_t last) {
  return value >= first && value <= last;
}

}  // namespace

void HarneloKeyboard::begin() {
  Harnelo::beginSerial();
}

void HarneloKeyboard::begin(const uint8_t *) {
  begin();
}

void HarneloKeyboard::end() {
  releaseAll();
}

size_t HarneloKeyboard::press(uint8_t k) {
  return pressStroke(strokeForCode(k));
}

size_t HarneloKeyboard::release(uint8_t k) {
  return releaseStroke(strokeForCode(k));
}

// Sketches written for the standard library write single KEY_ codes from
// 0x80 up (KEY_RETURN, KEY_F1), which UTF-8 lead bytes would clash with.
size_t HarneloKeyboard::write(uint8_t k) {
  bool continuesCharacter = text_.midCharacter() && (k & 0xC0) == 0x80;
  if (k >= 0x80 && !continuesCharacter) {
    text_.reset();
    return tapStroke(strokeForCode(k));
  }
  size_t taken = takeTextByte(k);
  harnelo_.endText();
  return taken;
}

// Unlike Print's own version, carries on past a byte that types nothing, so
// that one such byte does not cut off the rest of the text.
size_t HarneloKeyboard::write(const uint8_t *buffer, size_t size) {
  size_t taken = 0;
  for (size_t i = 0; i < size; ++i) {
    taken += takeTextByte(buffer[i]);
  }
  harnelo_.endText();
  return taken;
}

// Print's own version hands the text over a byte at a time, to write(k).
size_t HarneloKeyboard::print(const __FlashStringHelper *text) {
  const char *next = reinterpret_cast<const char *>(text);
  size_t taken = 0;
  for (uint8_t byte = pgm_read_byte(next); byte != 0; byte = pgm_read_byte(++next)) {
    taken += takeTextByte(byte);
  }
  harnelo_.endText();
  return taken;
}

size_t HarneloKeyboard::println(const __FlashStringHelper *text) {
  size_t taken = print(text);
  return taken + println();
}

int HarneloKeyboard::releaseAll() {
  int released = 0;
  for (uint8_t i = 0; i < MaxHeldKeys; ++i) {
    if (keys_[i] != 0) {
      letGoKey(keys_[i]);
      ++released;
    }
  }
  return released + setModifiers(0);
}

size_t HarneloKeyboard::pressStroke(KeyStroke stroke) {
  if (stroke.virtualKey == 0 && stroke.modifiers == 0) {
    return 0;
  }
  bool keyFits = stroke.virtualKey == 0 || slotOf(stroke.virtualKey) != nullptr ||
                 slotOf(0) != nullptr;
  if (!keyFits) {
    return 0;
  }
  setModifiers(modifiers_ | stroke.modifiers);
  holdKey(stroke.virtualKey);
  return 1;
}

size_t HarneloKeyboard::releaseStroke(KeyStroke stroke) {
  if (stroke.virtualKey == 0 && stroke.modifiers == 0) {
    return 0;
  }
  letGoKey(stroke.virtualKey);
  setModifiers(modifiers_ & ~stroke.modifiers);
  return 1;
}

size_t HarneloKeyboard::tapStroke(KeyStroke stroke) {
  if (pressStroke(stroke) == 0) {
    return 0;
  }
  return releaseStroke(stroke);
}

size_t HarneloKeyboard::takeTextByte(uint8_t byte) {
  uint32_t character = text_.take(byte);
  if (character == Utf8Decoder::NoCharacter) {
    return text_.midCharacter() ? 1 : 0;
  }
  return typeCharacter(character) ? 1 : 0;
}

bool HarneloKeyboard::typeCharacter(uint32_t character) {
  if (character == '\r') {
    return true;  // the Return of a "\r\n" line end comes with its '\n'
  }
  KeyStroke stroke = character < 0x80 ? strokeForCharacter(character) : KeyStroke{ 0, 0 };
  bool onlyAKey = character == '\b' || character == Escape;
  if (onlyAKey || (modifiers_ != 0 && stroke.virtualKey != 0)) {
    return tapStroke(stroke) != 0;
  }
  return harnelo_.typeCharacter(character);
}

// Sends a line for each modifier that goes down or up; returns how many.
uint8_t HarneloKeyboard::setModifiers(uint8_t modifiers) {
  uint8_t changes = 0;
  for (uint8_t i = 0; i < ModifierCount; ++i) {
    uint8_t bit = 1 << i;
    if (((modifiers ^ modifiers_) & bit) == 0) {
      continue;
    }
    uint8_t key = pgm_read_byte(&modifierKeys[i]);
    if (modifiers & bit) {
      harnelo_.pressKey(key);
    } else {
      harnelo_.releaseKey(key);
    }
    ++changes;
  }
  modifiers_ = modifiers;
  return changes;
}

uint8_t *HarneloKeyboard::slotOf(uint8_t virtualKey) {
  for (uint8_t i = 0; i < MaxHeldKeys; ++i) {
    if (keys_[i] == virtualKey) {
      return &keys_[i];
    }
  }
  return nullptr;
}

// A key already held is not sent again, as a USB report would not repeat it.
void HarneloKeyboard::holdKey(uint8_t virtualKey) {
  if (virtualKey == 0 || slotOf(virtualKey) != nullptr) {
    return;
  }
  uint8_t *freeSlot = slotOf(0);
  if (freeSlot != nullptr) {
    *freeSlot = virtualKey;
    harnelo_.pressKey(virtualKey);
  }
}

void HarneloKeyboard::letGoKey(uint8_t virtualKey) {
  uint8_t *slot = virtualKey == 0 ? nullptr : slotOf(virtualKey);
  if (slot != nullptr) {
    *slot = 0;
    harnelo_.releaseKey(virtualKey);
  }
}

HarneloKeyboard::KeyStroke HarneloKeyboard::strokeForCode(uint8_t k) {
  if (k < KEY_LEFT_CTRL) {
    return strokeForCharacter(k);
  }
  if (k < KEY_LEFT_CTRL + ModifierCount) {
    return { 0, uint8_t(1 << (k - KEY_LEFT_CTRL)) };
  }
  if (inRange(k, KEY_F1, KEY_F12)) {
    return { uint8_t(Vk::F1 + (k - KEY_F1)), 0 };
  }
  if (inRange(k, KEY_F13, KEY_F24)) {
    return { uint8_t(Vk::F1 + 12 + (k - KEY_F13)), 0 };
  }
  if (inRange(k, KEY_KP_1, KEY_KP_9)) {
    return { uint8_t(Vk::Keypad0 + 1 + (k - KEY_KP_1)), 0 };
  }
  for (const SpecialKey &key : specialKeys) {
    if (pgm_read_byte(&key.code) == k) {
      return { pgm_read_byte(&key.virtualKey), 0 };
    }
  }
  return { 0, 0 };
}

HarneloKeyboard::KeyStroke HarneloKeyboard::strokeForCharacter(uint8_t c) {
  if (inRange(c, 'a', 'z')) {
    return { uint8_t(c - 'a' + 'A'), 0 };
  }
  if (inRange(c, 'A', 'Z')) {
    return { c, LeftShiftBit };
  }
  if (inRange(c, '0', '9')) {
    return { c, 0 };
  }
  for (uint8_t digit = 0; digit < 10; ++digit) {
    if ((uint8_t)pgm_read_byte(&shiftedDigits[digit]) == c) {
      return { uint8_t('0' + digit), LeftShiftBit };
    }
  }
  for (const PunctuationKey &key : punctuationKeys) {
    if ((uint8_t)pgm_read_byte(&key.plain) == c) {
      return { pgm_read_byte(&key.virtualKey), 0 };
    }
    if ((uint8_t)pgm_read_byte(&key.shifted) == c) {
      return { pgm_read_byte(&key.virtualKey), LeftShiftBit };
    }
  }
  switch (c) {
    case ' ': return { Vk::Space, 0 };
    case '\n': return { Vk::Enter, 0 };
    case '\t': return { Vk::Tab, 0 };
    case '\b': return { Vk::Backspace, 0 };
    case Escape: return { Vk::Escape, 0 };
    default: return { 0, 0 };
  }
}
