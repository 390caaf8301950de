// Import of agents.transmute.cuebook: the loading rules, then the marker table. The module has no
// functions, types or state of its own. Tested in tests/test_cuebook.py and tests/test_cuebook_import.py.
#include "assemble.hpp"
#include "module.hpp"

namespace cuebook {
namespace {

bool fill_module(PyObject* module) { return assemble_table(module); }

transmute::NativeModule cuebook_module{{
    .def_name = "cuebook",
    .short_name = "cuebook",
    .full_name = "agents.transmute.cuebook",
    .doc = "Source-platform markers: PLATFORM_MARKERS, built from agents.transmute.originscan at import.",
    .fill = fill_module,
    .binds_builtins = true,
    // Loading is refused by the module itself in any interpreter but the first.
    .interpreters = transmute::Interpreters::supported,
}};

}  // namespace
}  // namespace cuebook

PyMODINIT_FUNC PyInit_cuebook(void) { return cuebook::cuebook_module.init(); }
