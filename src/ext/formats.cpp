// The format functions of marlet._ext.
#include "ext.hpp"

namespace marlet_ext {

std::span<const PyMethodDef> format_methods() noexcept { return {}; }

}  // namespace marlet_ext
