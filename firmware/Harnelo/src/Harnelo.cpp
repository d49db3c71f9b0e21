#include "Harnelo.h"

namespace {

const uint8_t MouseDevice = 0;
const uint8_t KeyboardDevice = 1;

const uint8_t WheelCode = 6;
const uint8_t MoveToCode = 7;
const uint8_t MoveByCode = 8;

const uint8_t KeyDownCode = 0;
const uint8_t KeyUpCode = 1;

// The longest line, "0 8 -2147483648 -2147483648\r\n", takes 29 bytes.
const uint8_t MaxLineLength = 32;

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

// One write per line: the line reaches the port whole, and a Print that
// sends each write as a packet (USB, network) sends one per event.
void Harnelo::sendLine(uint8_t fieldCount, uint8_t device, uint8_t code,
                       int32_t first, int32_t second) {
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
