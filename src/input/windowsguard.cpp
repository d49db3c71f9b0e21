// The guard on Windows: not there yet, every note does nothing.

#include "heldinputguard.h"

std::optional<int> HeldInputGuard::start(int, char **)
{
    return std::nullopt;
}

void HeldInputGuard::dismiss() {}
void HeldInputGuard::engage(const std::string &) {}
void HeldInputGuard::noteKey(std::uint32_t, bool) {}
void HeldInputGuard::noteButton(std::uint32_t, bool) {}
