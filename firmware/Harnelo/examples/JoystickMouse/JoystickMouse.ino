// JoystickMouse - an analog joystick module drives the mouse through Harnelo.
//
// Wiring (Uno, Nano or another ATmega328P board):
//   joystick +5V -> 5V, GND -> GND, VRx -> A0, VRy -> A1
//   joystick SW  -> pin 2 (the stick's push button, shorts to GND)
// Tilting the stick moves the cursor; pushing it down is the left button.
// Leave the stick centred while the board starts: its resting position is
// measured then.

#include <Harnelo.h>

const long BaudRate = 115200;  // choose the same rate in Harnelo

Harnelo harnelo;  // sends its lines on Serial

const uint8_t XAxisPin = A0;
const uint8_t YAxisPin = A1;
const uint8_t StickButtonPin = 2;

// A released stick rarely returns to exactly the same reading, so small
// offsets from the resting position count as centred.
const int DeadZone = 40;
const int FullDeflection = 470;  // offset beyond the dead zone that gives MaxStep
const long MaxStep = 12;         // pixels per report at full deflection
const unsigned long ReportIntervalMs = 10;

// Use -1 for an axis that moves the cursor the wrong way.
const int XDirection = 1;
const int YDirection = 1;

PushButton stickButton(StickButtonPin);
int restingX = 512;
int restingY = 512;
unsigned long lastReportMs = 0;

int averageReading(uint8_t pin) {
  long sum = 0;
  for (uint8_t i = 0; i < 16; ++i) {
    sum += analogRead(pin);
  }
  return sum / 16;
}

// The step grows with the square of the deflection: a gentle tilt gives
// single pixels for aiming, a full tilt crosses the screen quickly.
int axisStep(int reading, int resting) {
  int offset = reading - resting;
  long beyondDeadZone = (offset < 0 ? -offset : offset) - DeadZone;
  if (beyondDeadZone <= 0) {
    return 0;
  }
  if (beyondDeadZone > FullDeflection) {
    beyondDeadZone = FullDeflection;
  }
  long step = MaxStep * beyondDeadZone * beyondDeadZone /
              ((long)FullDeflection * FullDeflection);
  if (step == 0) {
    step = 1;
  }
  return offset < 0 ? -step : step;
}

void reportStickButton() {
  if (!stickButton.changed()) {
    return;
  }
  if (stickButton.isPressed()) {
    harnelo.pressButton(Harnelo::LeftButton);
  } else {
    harnelo.releaseButton(Harnelo::LeftButton);
  }
}

void reportMovement() {
  int dx = XDirection * axisStep(analogRead(XAxisPin), restingX);
  int dy = YDirection * axisStep(analogRead(YAxisPin), restingY);
  if (dx != 0 || dy != 0) {
    harnelo.moveBy(dx, dy);
  }
}

void setup() {
  Serial.begin(BaudRate);
  stickButton.begin();
  restingX = averageReading(XAxisPin);
  restingY = averageReading(YAxisPin);
}

void loop() {
  reportStickButton();

  // Moves go out at a steady pace instead of as fast as the loop runs.
  unsigned long now = millis();
  if (now - lastReportMs >= ReportIntervalMs) {
    lastReportMs = now;
    reportMovement();
  }
}
