// Builds PLATFORM_MARKERS at import. Tested in tests/test_cuebook.py and tests/test_cuebook_import.py.
#pragma once

#include "pyref.hpp"

namespace cuebook {

// Binds Marker and the ten platform constants from agents.transmute.originscan in `module`, calls
// Marker once per row and binds the finished table. Returns false with an exception set on failure.
bool assemble_table(PyObject* module);

}  // namespace cuebook
