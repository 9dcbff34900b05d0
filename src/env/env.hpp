// The process-wide environment as the other subsystems see it.
#pragma once

#include "module/common.hpp"

namespace vq {

// Calls `spec_env.<getter>()` on the module's current spec_env, so a
// replaced environment or an overridden getter is honoured.
py::object env_get(PyObject* getter);
#define VQ_ENV(getter) ::vq::env_get(VQ_NAME(getter))

// True for text made only of digits (Unicode Decimal or Digit).
bool is_digit_str(PyObject* s);

}  // namespace vq
