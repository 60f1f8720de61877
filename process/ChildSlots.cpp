#include "process/ChildSlots.h"

namespace kelmo::process {

ChildSlots::~ChildSlots() noexcept(false) {
    for (std::size_t i = slots_.size(); i-- > 0;) {
        // Not through unique_ptr::reset, which is noexcept: a close failure
        // outside unwinding must reach the caller. delete frees the storage
        // even when the destructor throws; the remaining slots are then
        // destroyed with the vector, during unwinding, quietly.
        delete slots_[i].release();
    }
}

}  // namespace kelmo::process
