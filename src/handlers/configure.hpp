// The steps shared by both handler builders: level, formatter, filter, attach.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

using MakeFormatter = Ref (*)() noexcept;

// self.<handler_attr>.setLevel(self.<level_attr>), .setFormatter(make()),
// .addFilter(self._handler_filter), then self._logger.addHandler(it); the
// handler attribute is read again for each step.
int configure_and_attach(PyObject* self, PyObject* handler_attr, PyObject* level_attr,
                         MakeFormatter make) noexcept;

}  // namespace lm
