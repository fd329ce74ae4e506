#include "workspace/image_slot.h"

namespace vantrel {

void ClearSlot(TImageSlot& slot) { slot = TImageSlot{}; }

}  // namespace vantrel
