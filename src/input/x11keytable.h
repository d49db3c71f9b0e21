#pragma once

// The X keysym of the key that a Windows virtual-key code names on a US layout,
// or 0 when the code names no key.
unsigned long keysymForVirtualKey(int virtualKey);
