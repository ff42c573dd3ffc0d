// A marker object created for the duration of every wait and of each boundary's work. It checks
// nothing in this program; its layout is kept because other modules of the panel share it.
#pragma once

#include <cstdint>

namespace ThreadCancelation {

class CancelationPoint {
public:
    explicit CancelationPoint(int /*unused*/) {}
    CancelationPoint() : CancelationPoint(0) {}
    virtual void check() {}
    virtual ~CancelationPoint() = default;

private:
    uint32_t reserved0_ = 0;
    uint32_t reserved1_ = 1;
    uint16_t reserved2_ = 0;
    uint8_t reserved3_ = 0;
    uint32_t reserved4_ = 0;
};

} // namespace ThreadCancelation
