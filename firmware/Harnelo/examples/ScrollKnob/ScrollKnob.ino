// ScrollKnob - a rotary encoder that turns the mouse wheel through Harnelo.
//
// Wiring (Uno, Nano or another ATmega328P board; a KY-040 style module or
// a bare encoder with its common pin on GND):
//   CLK (A) -> pin 2, DT (B) -> pin 3, SW (knob push) -> pin 4
//   +       -> 5V,    GND    -> GND
// Each click scrolls one wheel notch. Pushing the knob switches to fine
// mode, a quarter notch per click, for programs that scroll smoothly; the
// on-board LED is lit while fine mode is on.

#include <Harnelo.h>

const long BaudRate = 115200;  // choose the same rate in Harnelo

Harnelo harnelo;  // sends its lines on Serial

// Pins 2 and 3 are the two external interrupt pins of an Uno, so no
// encoder edge is missed while loop() waits for Serial.
const uint8_t EncoderPinA = 2;
const uint8_t EncoderPinB = 3;
const uint8_t ModeButtonPin = 4;
const uint8_t FineModeLedPin = LED_BUILTIN;

// Most encoders click once per full quadrature cycle (4 edges); some click
// every half cycle, for those use 2.
const int StepsPerDetent = 4;
const long CoarseAmount = Harnelo::WheelNotch;
const long FineAmount = Harnelo::WheelNotch / 4;

// Clockwise scrolls down the page, which is the wheel turned towards the
// user (a negative amount). Use 1 to reverse the knob.
const long ClockwiseSign = -1;
const unsigned long ReportIntervalMs = 10;

// Indexed by (previous A B << 2) | current A B. A legal Gray-code step
// counts +1 (clockwise) or -1; a jump over a state is contact bounce and
// counts nothing.
const int8_t StepForTransition[16] = {
  0, -1, 1, 0,
  1, 0, 0, -1,
  -1, 0, 0, 1,
  0, 1, -1, 0
};

volatile uint8_t encoderPins = 0;
volatile int pendingSteps = 0;

PushButton modeButton(ModeButtonPin);
bool fineMode = false;
unsigned long lastReportMs = 0;

uint8_t readEncoderPins() {
  return (digitalRead(EncoderPinA) << 1) | digitalRead(EncoderPinB);
}

void onEncoderEdge() {
  uint8_t current = readEncoderPins();
  pendingSteps += StepForTransition[(encoderPins << 2) | current];
  encoderPins = current;
}

// Whole clicks since the last call; a half-turned click stays pending.
int takeDetents() {
  noInterrupts();
  int detents = pendingSteps / StepsPerDetent;
  pendingSteps -= detents * StepsPerDetent;
  interrupts();
  return detents;
}

void updateMode() {
  if (modeButton.changed() && modeButton.isPressed()) {
    fineMode = !fineMode;
    digitalWrite(FineModeLedPin, fineMode ? HIGH : LOW);
  }
}

void reportRotation() {
  int detents = takeDetents();
  if (detents != 0) {
    long amountPerDetent = fineMode ? FineAmount : CoarseAmount;
    harnelo.turnWheel(ClockwiseSign * detents * amountPerDetent);
  }
}

void setup() {
  Serial.begin(BaudRate);
  pinMode(EncoderPinA, INPUT_PULLUP);
  pinMode(EncoderPinB, INPUT_PULLUP);
  pinMode(FineModeLedPin, OUTPUT);
  modeButton.begin();

  encoderPins = readEncoderPins();
  attachInterrupt(digitalPinToInterrupt(EncoderPinA), onEncoderEdge, CHANGE);
  attachInterrupt(digitalPinToInterrupt(EncoderPinB), onEncoderEdge, CHANGE);
}

void loop() {
  updateMode();

  // Clicks turned within one interval go out as a single wheel line.
  unsigned long now = millis();
  if (now - lastReportMs >= ReportIntervalMs) {
    lastReportMs = now;
    reportRotation();
  }
}
