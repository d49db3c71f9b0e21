#include "Harnelo.h"

namespace {

const uint8_t MouseDevice = 0;
const uint8_t KeyboardDevice = 1;
const uint8_t TextDevice = 2;

const uint8_t WheelCode = 6;
const uint8_t MoveToCode = 7;
const uint8_t MoveByCode = 8;
const uint8_t HorizontalWheelCode = 13;

const uint8_t KeyDownCode = 0;
const uint8_t KeyUpCode = 1;

// The longest line, "0 8 -2147483648 -2147483648\r\n", takes 29 bytes.
const uint8_t MaxLineLength = 32;

// Harnelo drops a line of more than 256 bytes before its line feed; a text
// line's CR is one of them.
const uint8_t MaxTextLineLength = 255;

// " 1114111", the widest character field.
const uint8_t MaxCharacterFieldLength = 8;

// Writes value in base 10 at text and returns the end of what it wrote.
char *appendNumber(char *text, int32_t value) {
  // Taken as unsigned, -2147483648 has a magnitude too.
  uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
  if (value < 0) {
    *text++ = '-';
  }
  char digits[10];
  uint8_t count = 0;
  do {
    digits[count++] = '0' + magnitude % 10;
    magnitude /= 10;
  } while (magnitude != 0);
  while (count > 0) {
    *text++ = digits[--count];
  }
  return text;
}

// Serial.begin() on an AVR board switches on the UART's transmitter and its
// receive interrupt. Boot loaders poll the UART: one may leave the
// transmitter on, but not the interrupt.
bool serialStarted() {
#if defined(UCSR0B) && defined(TXEN0) && defined(RXCIE0)
  const uint8_t startedBits = (1 << TXEN0) | (1 << RXCIE0);
  return (UCSR0B & startedBits) == startedBits;
#else
  return false;
#endif
}

// Whether a text line may carry character: Harnelo ignores a whole line
// with a control character other than tab and line feed, a surrogate or a
// number beyond Unicode.
bool isTypable(uint32_t character) {
  if (character == '\t' || character == '\n') {
    return true;
  }
  bool control = character < 0x20 || (character >= 0x7F && character <= 0x9F);
  bool surrogate = character >= 0xD800 && character <= 0xDFFF;
  return !control && !surrogate && character <= 0x10FFFF;
}

}  // namespace

const int32_t Harnelo::WheelNotch;
const long Harnelo::SerialBaudRate;

void Harnelo::beginSerial() {
  if (!serialStarted()) {
    Serial.begin(SerialBaudRate);
  }
}

void Harnelo::moveBy(int32_t dx, int32_t dy) {
  sendLine(4, MouseDevice, MoveByCode, dx, dy);
}

void Harnelo::moveTo(int32_t x, int32_t y) {
  sendLine(4, MouseDevice, MoveToCode, x, y);
}

void Harnelo::turnWheel(int32_t amount) {
  sendLine(3, MouseDevice, WheelCode, amount);
}

void Harnelo::turnHorizontalWheel(int32_t amount) {
  sendLine(3, MouseDevice, HorizontalWheelCode, amount);
}

void Harnelo::pressButton(MouseButton button) {
  sendLine(2, MouseDevice, button);
}

void Harnelo::releaseButton(MouseButton button) {
  sendLine(2, MouseDevice, button + 1);
}

void Harnelo::pressKey(uint8_t key) {
  sendLine(3, KeyboardDevice, KeyDownCode, key);
}

void Harnelo::releaseKey(uint8_t key) {
  sendLine(3, KeyboardDevice, KeyUpCode, key);
}

void Harnelo::tapKey(uint8_t key) {
  pressKey(key);
  releaseKey(key);
}

void Harnelo::typeShortcut(const uint8_t *keys, uint8_t count) {
  for (uint8_t i = 0; i < count; ++i) {
    pressKey(keys[i]);
  }
  for (uint8_t i = count; i > 0; --i) {
    releaseKey(keys[i - 1]);
  }
}

void Harnelo::typeText(const char *text) {
  Utf8Decoder decoder;
  for (; *text != '\0'; ++text) {
    uint32_t character = decoder.take(*text);
    if (character != Utf8Decoder::NoCharacter) {
      typeCharacter(character);
    }
  }
  endText();
}

// A text line goes out field by field as it fills, so that no buffer the
// size of a line takes the board's RAM.
bool Harnelo::typeCharacter(uint32_t character) {
  if (!isTypable(character)) {
    return false;
  }
  char field[MaxCharacterFieldLength];
  field[0] = ' ';
  uint8_t fieldLength = appendNumber(field + 1, character) - field;
  if (textLineLength_ + fieldLength > MaxTextLineLength) {
    endText();
  }
  if (textLineLength_ == 0) {
    out_.write(uint8_t('0' + TextDevice));
    textLineLength_ = 1;
  }
  out_.write(field, fieldLength);
  textLineLength_ += fieldLength;
  return true;
}

void Harnelo::endText() {
  if (textLineLength_ != 0) {
    out_.write("\r\n", 2);
    textLineLength_ = 0;
  }
}

// One write per line: the line reaches the port whole, and a Print that
// sends each write as a packet (USB, network) sends one per event.
void Harnelo::sendLine(uint8_t fieldCount, uint8_t device, uint8_t code,
                       int32_t first, int32_t second) {
  endText();
  const int32_t fields[] = { device, code, first, second };
  const uint8_t maxFields = sizeof(fields) / sizeof(fields[0]);
  char line[MaxLineLength];
  char *end = line;
  for (uint8_t i = 0; i < fieldCount && i < maxFields; ++i) {
    if (i > 0) {
      *end++ = ' ';
    }
    end = appendNumber(end, fields[i]);
  }
  *end++ = '\r';
  *end++ = '\n';
  out_.write(line, end - line);
}

uint32_t Utf8Decoder::take(uint8_t byte) {
  if (remaining_ != 0) {
    if ((byte & 0xC0) == 0x80) {
      character_ = (character_ << 6) | (byte & 0x3F);
      return --remaining_ == 0 ? finished() : NoCharacter;
    }
    // The character was cut short; byte may still start the next one.
    remaining_ = 0;
  }
  if (byte < 0x80) {
    return byte;
  }
  if ((byte & 0xE0) == 0xC0) {
    start(byte & 0x1F, 2);
  } else if ((byte & 0xF0) == 0xE0) {
    start(byte & 0x0F, 3);
  } else if ((byte & 0xF8) == 0xF0) {
    start(byte & 0x07, 4);
  }
  return NoCharacter;
}

void Utf8Decoder::start(uint32_t leadBits, uint8_t length) {
  character_ = leadBits;
  length_ = length;
  remaining_ = length - 1;
}

// An overlong form would let one character hide behind another's bytes.
uint32_t Utf8Decoder::finished() const {
  const uint32_t shortest = length_ == 2 ? 0x80 : length_ == 3 ? 0x800 : 0x10000;
  bool surrogate = character_ >= 0xD800 && character_ <= 0xDFFF;
  if (character_ < shortest || surrogate || character_ > 0x10FFFF) {
    return NoCharacter;
  }
  return character_;
}
