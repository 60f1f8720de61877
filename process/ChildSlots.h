#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "process/ChildHandle.h"

namespace kelmo::process {

// One slot per command of a run, each owning the child handle launched for
// it or nothing. Destruction destroys the handles from the last to the
// first, so the close order follows the pipeline backwards.
class ChildSlots {
public:
    explicit ChildSlots(std::size_t count) : slots_(count) {}
    // A handle whose close fails throws (outside unwinding); the handles
    // before it are then closed quietly.
    ~ChildSlots() noexcept(false);

    ChildSlots(const ChildSlots&) = delete;
    ChildSlots& operator=(const ChildSlots&) = delete;

    // Takes ownership of handle for slot i.
    void store(std::size_t i, std::unique_ptr<ChildHandle> handle) noexcept {
        slots_[i] = std::move(handle);
    }
    // The handle in slot i; the slot must be filled.
    ChildHandle& operator[](std::size_t i) noexcept { return *slots_[i]; }

private:
    std::vector<std::unique_ptr<ChildHandle>> slots_;
};

}  // namespace kelmo::process
