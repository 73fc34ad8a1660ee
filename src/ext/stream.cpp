// The stream functions of marlet._ext.
#include "ext.hpp"

namespace marlet_ext {

std::span<const PyMethodDef> stream_methods() noexcept { return {}; }

}  // namespace marlet_ext
