#pragma once

#include <vector>

// The evdev key code (KEY_A, ...) of the key that a Windows virtual-key code
// names, or 0 when the code names no key. evdev codes are key positions: the
// keyboard layout the session uses decides which character a key types.
int evdevKeyForVirtualKey(int virtualKey);

// Every evdev key code the table maps to, each once, in ascending order: the
// keys a virtual keyboard must declare before it can press them.
std::vector<int> mappedEvdevKeys();
