#include "python/conversion.hpp"

#include <bit>
#include <cstring>
#include <string_view>

#if KOV_HAVE_SYSINFO
#include <sys/sysinfo.h>
#elif KOV_HAVE_SYSCONF_PHYS_PAGES
#include <unistd.h>
#endif

#include "python/errors.hpp"

namespace kov::python {
namespace {

constexpr const char* vector_message = "Input must be a 1D list or NumPy array of floats";
constexpr const char* matrix_message = "Input must be a 2D list or 2D NumPy array of floats";
constexpr const char* not_contiguous_message = "The given array is not contiguous";

// numpy.ndarray, looked up on the first conversion so that importing kov_sr does not import NumPy.
// When NumPy is not installed no argument can be an array, and every input takes the generic path.
struct NumpyArrayType {
    bool looked_up = false;
    PyObject* type = nullptr;  // owned for the life of the process; null without NumPy
};
NumpyArrayType numpy_array;

// 1 for an ndarray (subclasses included), 0 otherwise, -1 with an error set.
int is_numpy_array(PyObject* object) {
    if (!numpy_array.looked_up) {
        PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
        if (numpy) {
            numpy_array.type = PyObject_GetAttrString(numpy.get(), "ndarray");
            if (numpy_array.type == nullptr) return -1;
        } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
        } else {
            return -1;
        }
        numpy_array.looked_up = true;
    }
    if (numpy_array.type == nullptr) return 0;
    return PyObject_IsInstance(object, numpy_array.type);
}

// Buffer formats that describe a float64 in the machine's own byte order. Byte-swapped or other
// element types are converted element by element through the generic path instead.
bool is_native_float64(const Py_buffer& view) {
    if (view.itemsize != sizeof(double) || view.format == nullptr) return false;
    const std::string_view format = view.format;
    if (format == "d" || format == "@d" || format == "=d") return true;
    if constexpr (std::endian::native == std::endian::little) return format == "<d";
    return format == ">d" || format == "!d";
}

// A float64 array of the wanted dimension, exported for reading. Holds nothing when the object is
// not such an array; the caller then takes the generic path.
struct Float64Array {
    BufferView buffer;
    bool usable = false;
};

// False with an error set only when the isinstance check itself fails.
bool open_float64_array(PyObject* object, int ndim, Float64Array& array) {
    const int is_array = is_numpy_array(object);
    if (is_array < 0) return false;
    if (is_array == 0) return true;
    if (!array.buffer.acquire(object, PyBUF_RECORDS_RO)) {
        // Arrays of some element types (datetimes, for one) export no buffer: generic path. An
        // interrupt or exhausted memory during the request is not about the array and goes on.
        if (!error_is_about_input()) return false;
        PyErr_Clear();
        return true;
    }
    const Py_buffer& view = array.buffer.view();
    array.usable = view.ndim == ndim && is_native_float64(view);
    return true;
}

// Physical memory and swap in bytes, or 0 where the system does not tell. Without sysinfo (macOS,
// the BSDs) only physical memory is counted, which refuses a little earlier.
double memory_size() {
#if KOV_HAVE_SYSINFO
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return 0.0;
    return (static_cast<double>(info.totalram) + static_cast<double>(info.totalswap)) *
           info.mem_unit;
#elif KOV_HAVE_SYSCONF_PHYS_PAGES
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0.0;
    return static_cast<double>(pages) * static_cast<double>(page_size);
#else
    return 0.0;
#endif
}

// An array can describe far more elements than it occupies (np.broadcast_to repeats one row with a
// zero stride; a memory map pages its file in). Copied row by row, such an array would fail only
// when the machine ran out of memory, which can end the process instead of raising; refuse it up
// front, as NumPy does when asked to copy it. Unknown totals let the allocations decide.
bool copy_fits_in_memory(std::size_t rows, std::size_t columns) {
    const double memory = memory_size();
    const double row_bytes = sizeof(Vector) + static_cast<double>(columns) * sizeof(double);
    return memory <= 0.0 || static_cast<double>(rows) * row_bytes <= memory;
}

double read_double(const char* address) {
    double value;
    std::memcpy(&value, address, sizeof value);  // strided elements need not be aligned
    return value;
}

// Reserves room for the sequence's reported length. A length that cannot be had about the input
// only costs the reservation; false, with the error set, for one that is not (an interrupt).
template <class Container>
bool reserve_length(PyObject* object, Container& out) {
    const Py_ssize_t length = PyObject_Size(object);
    if (length > 0) {
        out.reserve(static_cast<std::size_t>(length));
    } else if (length < 0) {
        if (!error_is_about_input()) return false;
        PyErr_Clear();
    }
    return true;
}

// Appends the elements of a sequence (not a str) converted to doubles. False with an error set.
bool append_sequence(PyObject* object, Vector& out) {
    if (PyUnicode_Check(object) || !PySequence_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "not a sequence");
        return false;
    }
    if (!reserve_length(object, out)) return false;
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) return false;
        out.push_back(value);
    }
    return !PyErr_Occurred();
}

// Raises the conversion's fixed message in place of any error about the input.
template <class T>
std::optional<T> fail_with(PyObject* type, const char* message) {
    if (PyErr_Occurred()) {
        if (!error_is_about_input()) return std::nullopt;
        PyErr_Clear();
    }
    raise(type, message);
    return std::nullopt;
}

}  // namespace

std::optional<Vector> convert_to_vec(PyObject* object) {
    Float64Array array;
    if (!open_float64_array(object, 1, array)) return std::nullopt;
    if (array.usable) {
        const Py_buffer& view = array.buffer.view();
        const Py_ssize_t count = view.shape[0];
        // One element or none is contiguous whatever its stride, as NumPy flags it.
        if (count > 1 && view.strides[0] != static_cast<Py_ssize_t>(sizeof(double))) {
            raise(PyExc_TypeError, not_contiguous_message);
            return std::nullopt;
        }
        Vector out(static_cast<std::size_t>(count));
        if (count > 0) std::memcpy(out.data(), view.buf, out.size() * sizeof(double));
        return out;
    }
    Vector out;
    if (!append_sequence(object, out)) return fail_with<Vector>(PyExc_ValueError, vector_message);
    return out;
}

std::optional<Matrix> convert_to_matrix(PyObject* object) {
    Float64Array array;
    if (!open_float64_array(object, 2, array)) return std::nullopt;
    if (array.usable) {
        const Py_buffer& view = array.buffer.view();
        const auto rows = static_cast<std::size_t>(view.shape[0]);
        const auto columns = static_cast<std::size_t>(view.shape[1]);
        const char* base = static_cast<const char*>(view.buf);
        if (!copy_fits_in_memory(rows, columns)) {
            PyErr_NoMemory();
            return std::nullopt;
        }
        // Rows are sized one by one: a shape (0, 2**40) array is an empty matrix, not a request
        // for one row of 2**40 values to copy from.
        Matrix out(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            out[i].resize(columns);
            // Negative strides need no special case: buf points at element [0, 0].
            const char* row = base + static_cast<Py_ssize_t>(i) * view.strides[0];
            if (view.strides[1] == static_cast<Py_ssize_t>(sizeof(double))) {
                if (columns > 0) std::memcpy(out[i].data(), row, columns * sizeof(double));
                continue;
            }
            for (std::size_t j = 0; j < columns; ++j) {
                out[i][j] = read_double(row + static_cast<Py_ssize_t>(j) * view.strides[1]);
            }
        }
        return out;
    }
    if (PyUnicode_Check(object) || !PySequence_Check(object)) {
        return fail_with<Matrix>(PyExc_ValueError, matrix_message);
    }
    Matrix out;
    if (!reserve_length(object, out)) return std::nullopt;
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return fail_with<Matrix>(PyExc_ValueError, matrix_message);
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        // Rows given as arrays are read through the sequence protocol too, never the fast path.
        Vector row;
        if (!append_sequence(item.get(), row)) {
            return fail_with<Matrix>(PyExc_ValueError, matrix_message);
        }
        out.push_back(std::move(row));
    }
    if (PyErr_Occurred()) return fail_with<Matrix>(PyExc_ValueError, matrix_message);
    return out;
}

}  // namespace kov::python
