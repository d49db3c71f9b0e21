#include "HarneloMouse.h"

HarneloMouse Mouse;

void HarneloMouse::begin() {
  Harnelo::beginSerial();
}

void HarneloMouse::end() {
  setButtons(0);
}

void HarneloMouse::click(uint8_t b) {
  press(b);
  release(b);
}

void HarneloMouse::move(signed char x, signed char y, signed char wheel, signed char pan) {
  if (x != 0 || y != 0) {
    harnelo_.moveBy(x, y);
  }
  if (wheel != 0) {
    harnelo_.turnWheel(wheel * Harnelo::WheelNotch);
  }
  if (pan != 0) {
    harnelo_.turnHorizontalWheel(pan * Harnelo::WheelNotch);
  }
}

void HarneloMouse::press(uint8_t b) {
  setButtons(buttons_ | b);
}

void HarneloMouse::release(uint8_t b) {
  setButtons(buttons_ & ~b);
}

bool HarneloMouse::isPressed(uint8_t b) {
  return (buttons_ & b) != 0;
}

// Sends a line for each button that goes down or up.
void HarneloMouse::setButtons(uint8_t buttons) {
  static const struct {
    uint8_t bit;
    Harnelo::MouseButton button;
  } buttonLines[] = {
    { MOUSE_LEFT, Harnelo::LeftButton },
    { MOUSE_RIGHT, Harnelo::RightButton },
    { MOUSE_MIDDLE, Harnelo::MiddleButton },
    { MOUSE_BACKWARD, Harnelo::BackButton },
    { MOUSE_FORWARD, Harnelo::ForwardButton },
  };
  buttons &= MOUSE_ALL;
  for (const auto &line : buttonLines) {
    if (((buttons ^ buttons_) & line.bit) == 0) {
      continue;
    }
    if (buttons & line.bit) {
      harnelo_.pressButton(line.button);
    } else {
      harnelo_.releaseButton(line.button);
    }
  }
  buttons_ = buttons;
}
