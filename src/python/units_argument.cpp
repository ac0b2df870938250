// Units of a search call: kov_sr.units._prepare reads them; this file turns its normalized answer
// (dimension names, (numerator, denominator) exponents per column and for the target) into a
// GivenUnits.

#include "python/units_argument.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "python/errors.hpp"

namespace kov::python {
namespace {

bool read_exponents(PyObject* row, std::size_t dimensions, std::vector<Rational>& out) {
    if (!PyTuple_Check(row) || static_cast<std::size_t>(PyTuple_GET_SIZE(row)) != dimensions) {
        raise(PyExc_TypeError, "kov_sr.units gave exponents of the wrong shape");
        return false;
    }
    for (std::size_t d = 0; d < dimensions; ++d) {
        long long num = 0, den = 0;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(row, static_cast<Py_ssize_t>(d)), "LL", &num,
                              &den)) {
            return false;
        }
        if (den <= 0) {
            raise(PyExc_ValueError, "a unit exponent has a zero denominator");
            return false;
        }
        out.emplace_back(static_cast<std::int64_t>(num), static_cast<std::int64_t>(den));
    }
    return true;
}

std::shared_ptr<const GivenUnits> given_units(PyObject* form) {
    PyObject* names = nullptr;
    PyObject* inputs = nullptr;
    PyObject* target = nullptr;
    if (!PyArg_ParseTuple(form, "O!O!O!", &PyTuple_Type, &names, &PyTuple_Type, &inputs,
                          &PyTuple_Type, &target)) {
        return nullptr;
    }
    auto given = std::make_shared<GivenUnits>();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(names, i));
        if (name == nullptr) return nullptr;
        given->dimensions.emplace_back(name);
    }
    const std::size_t dimensions = given->dimensions.size();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(inputs); ++i) {
        given->inputs.emplace_back();
        if (!read_exponents(PyTuple_GET_ITEM(inputs, i), dimensions, given->inputs.back())) {
            return nullptr;
        }
    }
    if (!read_exponents(target, dimensions, given->target)) return nullptr;
    return given;
}

}  // namespace

std::optional<UnitsArguments> read_units(PyObject* inputs, PyObject* ys, PyObject* units,
                                         PyObject* target_units, bool one_column) {
    PyRef module = PyRef::steal(PyImport_ImportModule("kov_sr.units"));
    if (!module) return std::nullopt;
    PyRef prepared = PyRef::steal(PyObject_CallMethod(
        module.get(), "_prepare", "OOOOO", inputs, ys, units ? units : Py_None,
        target_units ? target_units : Py_None, one_column ? Py_True : Py_False));
    if (!prepared) return std::nullopt;
    PyObject* plain_inputs = nullptr;
    PyObject* plain_ys = nullptr;
    PyObject* form = nullptr;
    if (!PyArg_ParseTuple(prepared.get(), "OOO", &plain_inputs, &plain_ys, &form)) {
        return std::nullopt;
    }
    UnitsArguments out{PyRef::borrow(plain_inputs), PyRef::borrow(plain_ys), nullptr};
    if (form != Py_None) {
        try {
            out.units = given_units(form);
        } catch (const std::exception& failure) {
            raise(PyExc_ValueError, std::string("units out of range: ") + failure.what());
            return std::nullopt;
        }
        if (!out.units) return std::nullopt;
    }
    return out;
}

}  // namespace kov::python
