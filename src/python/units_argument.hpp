#pragma once

#include <memory>
#include <optional>

#include "engine/units/units_reduction.hpp"
#include "python/py_ref.hpp"

namespace kov::python {

// The samples of one search call with their units: pint quantities stripped to numbers, the
// units read by kov_sr.units (the one place units are parsed) and converted for the engine.
struct UnitsArguments {
    PyRef inputs;
    PyRef ys;
    std::shared_ptr<const GivenUnits> units;  // null: no units given or carried
};

// Empty optional with a Python error set (ValueError naming the column for a unit that cannot be
// read or a count that does not match).
[[nodiscard]] std::optional<UnitsArguments> read_units(PyObject* inputs, PyObject* ys,
                                                       PyObject* units, PyObject* target_units,
                                                       bool one_column);

}  // namespace kov::python
