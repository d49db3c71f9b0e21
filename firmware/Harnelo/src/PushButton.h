// PushButton.h - a debounced push button wired from a pin to GND.
//
// The pin uses the internal pull-up, so the button reads LOW while pressed.

#ifndef HARNELO_PUSH_BUTTON_H
#define HARNELO_PUSH_BUTTON_H

#include <Arduino.h>

class PushButton {
public:
  // Contacts bounce for a few milliseconds; a level must hold this long.
  static const unsigned long SettleMs = 20;

  explicit PushButton(uint8_t pin) : pin_(pin) {}

  void begin() {
    pinMode(pin_, INPUT_PULLUP);
    pressed_ = readPressed();
    lastReading_ = pressed_;
    lastChangeMs_ = millis();
  }

  // Call from loop(); returns true once for every settled press or release.
  bool changed() {
    bool reading = readPressed();
    unsigned long now = millis();
    if (reading != lastReading_) {
      lastReading_ = reading;
      lastChangeMs_ = now;
      return false;
    }
    if (reading == pressed_ || now - lastChangeMs_ < SettleMs) {
      return false;
    }
    pressed_ = reading;
    return true;
  }

  bool isPressed() const { return pressed_; }

private:
  bool readPressed() const { return digitalRead(pin_) == LOW; }

  uint8_t pin_;
  bool pressed_ = false;
  bool lastReading_ = false;
  unsigned long lastChangeMs_ = 0;
};

#endif
