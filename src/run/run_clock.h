// Pauses and the tick count of the update run. The program uses the system's;
// tests drive a whole run in an instant with a clock of their own.
#pragma once

#include <cstdint>

namespace corvana {

class RunClock {
public:
    virtual ~RunClock() = default;
    virtual void Pause(uint32_t dwMs) = 0;
    virtual uint32_t TickCount() = 0;
};

class SystemClock : public RunClock {
public:
    void Pause(uint32_t dwMs) override;
    uint32_t TickCount() override;
};

}  // namespace corvana
