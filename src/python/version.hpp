#pragma once

#include "python/py_ref.hpp"

namespace kov::python {

// The package's version as pyproject.toml states it, handed to the build by scikit-build-core
// ("0+unknown" in a build without it).
[[nodiscard]] const char* package_version() noexcept;

// Sets kov_sr._core.__version__. False with a Python error set.
[[nodiscard]] bool add_version(PyObject* module);

// Warns (kov_sr.versions.PickleVersionWarning) when `pickled`, the version that wrote a pickle of
// `what`, is newer than this one: the pickle may hold what this version cannot read. False with a
// Python error set (the warning raised as an error included).
[[nodiscard]] bool check_pickled_version(PyObject* pickled, const char* what);

}  // namespace kov::python
