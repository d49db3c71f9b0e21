#pragma once

// Stands in for the Arduino core on this computer, with just what the
// library in firmware/Harnelo calls, so that its own source runs in tests.

#include <cstddef>
#include <cstdint>
#include <string>

struct Print
{
    virtual ~Print() = default;
    virtual size_t write(const uint8_t *buffer, size_t size) = 0;
    size_t write(const char *buffer, size_t size) { return write(reinterpret_cast<const uint8_t *>(buffer), size); }
};

// A port that keeps what is written to it and counts the writes.
struct CapturingPort : Print
{
    using Print::write;
    size_t write(const uint8_t *buffer, size_t size) override
    {
        bytes.append(reinterpret_cast<const char *>(buffer), size);
        ++writes;
        return size;
    }
    std::string bytes;
    int writes = 0;
};
inline CapturingPort Serial;

// PushButton.h, which Harnelo.h includes, needs these to compile; no test
// calls them.
enum : uint8_t { LOW = 0, HIGH = 1, INPUT_PULLUP = 2 };
void pinMode(uint8_t pin, uint8_t mode);
int digitalRead(uint8_t pin);
unsigned long millis();
